// SPDX-License-Identifier: MIT
// Shell command runner and number conversion. No state; safe in any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// CmdExec results.
constexpr int CMD_OK = 0;
constexpr int CMD_NO_COMMAND = -1;
constexpr int CMD_PIPE_FAIL = -2;
constexpr int CMD_NO_OUTPUT = -3;

// Runs command through the shell and keeps the last line of its standard
// output (without newline) in output, which always ends up NUL-terminated.
[[nodiscard]] int CmdExec(const char *command, char *output, int size);

// What CmdExec would keep of a command whose whole output is the length
// bytes at data: the last line, cut into the same chunks of size - 1
// characters, and the same result (CMD_OK or CMD_NO_OUTPUT).
[[nodiscard]] int LastOutputLine(const char *data, size_t length, char *output, int size);

// system(3) of command; -1 for a null command.
int CmdSystem(const char *command);

// strtol with a signed 32-bit range test and no trailing characters allowed.
// 0: stored in *destination; 1: refused, *destination unchanged.
[[nodiscard]] int Str2Num(const char *text, int base, int32_t *destination);
