// SPDX-License-Identifier: MIT
// System termination and the power LED.
// Threads: DoSystemTerminate runs on the cyclic or the receiver thread; see docs/design.md.
#pragma once

#include <cstdint>

#include "readconfig/config.h"

enum TermMode : int32_t {
  TERM_POWEROFF = 1,
  TERM_REBOOT = 2,
  TERM_SAFEMODE = 3
};

// The mode's one spelling, in the reboot record and the status reply:
// "poweroff", "safemode" or "reboot" (what any other mode runs). Records of
// earlier versions carry the same words, so they are read back unchanged.
const char *TermModeName(int mode);

struct LedCmd {
  int32_t first;
  int32_t second;
};

constexpr unsigned long POWER_LED_REQUEST = 0x1001;

// The two settings the daemon gives the power LED; what they show is the
// LED driver's business.
constexpr LedCmd LED_SYSTEM_DOWN = {6, 500};  // the board is going down
constexpr LedCmd LED_DAEMON_EXIT = {3, 0};    // the daemon stopped normally

// How a caller brings the board down: DoSystemTerminate in the daemon, a
// recording stand-in in tests and in tools that must not.
using TerminateAction = void (*)(int mode, ConfigDb *db, const char *reason);

// Brings the board down; returns only after the final 60-second wait, which
// ends early once the stop flag is raised. Only the daemon's first call does
// so: a later one logs that a termination is in progress and waits until the
// first has returned (or the stop flag is raised). The caller makes sure that
// no re-read releases db's table meanwhile.
void DoSystemTerminate(int mode, ConfigDb *db, const char *reason);
void SetupPowerLed(int first, int second);
inline void SetupPowerLed(const LedCmd &setting) { SetupPowerLed(setting.first, setting.second); }
