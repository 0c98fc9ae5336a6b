// SPDX-License-Identifier: MIT
// Logging: the one way every report reaches the system log.
// Threads: any; LogDebug is set before the others start (docs/design.md).
#pragma once

#include <climits>
#include <syslog.h>

// Options bit that asks LogOpen for debug mode (the source suffix on every line).
constexpr int LOG_DEBUG_REQUEST = INT_MIN;  // 0x80000000

// Size of the message buffer of one call; the text itself is at most 253 characters.
constexpr int LOG_LINE_SIZE = 256;
// Size of the buffer the text is formatted into before the debug suffix:
// a text is cut to 253 characters.
constexpr int LOG_TEXT_SIZE = LOG_LINE_SIZE - 2;

extern int LogDebug;

// Tests and tools may divert finished lines here instead of syslog(3).
// Set it before any thread starts; nobody changes it later.
using LogHookFn = void (*)(int priority, const char *line);
extern LogHookFn LogHook;

void LogOpen(const char *identity, int options, int facility);
void LogClose();
int LogMessage(const char *unit, const char *function, int line, int priority,
               const char *format, ...) __attribute__((format(printf, 5, 6)));

// Every call site names its unit; this fills in the function and the line.
#define LOG_AT(unit, priority, ...) LogMessage(unit, __func__, __LINE__, priority, __VA_ARGS__)
// A line that a helper writes for the operation it serves: the debug suffix
// names the operation (the one a reader of the log knows), with the helper's
// source line.
#define LOG_AS(unit, function, priority, ...) LogMessage(unit, function, __LINE__, priority, __VA_ARGS__)
