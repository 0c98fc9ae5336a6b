// SPDX-License-Identifier: MIT
// The in-process alive check's ways of asking the system, for the "proc"
// method: the pid file read in the daemon and processes looked up in /proc
// instead of through shell pipelines. Used by the cyclic thread's pass
// (under ThreadArg.Mutex) and by a termination on the cyclic or the
// receiver thread; nothing here keeps state.
#pragma once

#include <cstdint>

#include "readconfig/config.h"

// The most of a pid file that is read: its last 4 KiB. A last line that
// starts before them counts as unreadable.
constexpr int PID_FILE_READ_SIZE = 4096;
// The most of a command line that is searched for the process's name.
constexpr int CMDLINE_READ_SIZE = 4096;

// What "cat <path>" run through CmdExec would leave in output (size bytes):
// the file's last line, cut the same way, and CMD_OK or CMD_NO_OUTPUT. A file
// that is missing, no regular file or cannot be read gives CMD_NO_OUTPUT, as
// cat prints nothing then.
[[nodiscard]] int ReadPidFileLine(const char *path, char *output, int size);

// Whether the process-list pipeline would count pid's line when it looks for
// name: the process exists and is not a zombie, and its line (the command
// line with blanks for NULs, or "[comm]" when it has none) contains name and
// does not contain "grep".
bool ProcessListed(int32_t pid, const char *name);

// The process "pidof -s <name>" names: the highest pid whose first
// command-line word has name as its last path component (the kernel's name
// of the process when it has no command line); zombies are passed over.
// 0 when there is none.
int32_t FindProcessByName(const char *name);

// The pid a termination's sweep signals for entry, in output (size bytes) as
// the pidof command would print it, with CmdExec's results: under
// ALIVE_CHECK_PS the output of command ("pidof -s <procName>") run through
// the shell; under ALIVE_CHECK_PROC the process the alive check would find
// by the entry's pid file, else the one FindProcessByName finds, without
// starting a process.
[[nodiscard]] int FindSweepPid(int32_t method, const ProcEntry *entry, const char *command, char *output, int size);
