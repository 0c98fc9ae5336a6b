// SPDX-License-Identifier: MIT
// The daemon core: command line, single-instance guard, start-up and exit.
// Everything here runs on the main thread; the settings are written before
// any other thread exists and only read afterwards.
#pragma once

extern const char *ConfigPath;
extern const char *PidFilePath;
extern int DetachMode;
extern int DebugMode;
extern int MsgQueId;

// Walks the command line; returns only when every word was accepted and no
// one-shot option (-f, -v) was met. Errors end the program with status 1.
void ParseOptions(int argc, char **argv);
[[noreturn]] void Usage(const char *program);
// The -f option: removes the control queue and ends the program.
[[noreturn]] void ForceDeleteQueue();
// Chooses the pid file path and writes the pid file.
void make_pidfile();
// Removes the pid file that make_pidfile wrote, if any.
void RemovePidFile();
