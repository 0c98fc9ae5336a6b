// SPDX-License-Identifier: MIT
// The hardware watchdog: its descriptor, the thread that refreshes it and the
// timing statistics of those refreshes.
//
// Threads: the descriptor (under the Wdt* calls' lock), gDebugInfo and the reports are shared; see docs/design.md.
#pragma once

#include <atomic>
#include <cstdint>

#include "supervise/mainloop.h"

// Opens "/dev/watchdog" read-write, close-on-exec. 0 on success, -1 on failure
// (errno kept).
int WdtOpen();
// WDIOC_KEEPALIVE, when the device is open. The answer is noted without
// logging: an accepted one stamps WdtMonoMs, a refused one is counted, and a
// change between refused and accepted is left for WdtReport to log.
void WdtKeepAlive();
// The board-specific request (number 12) with argument 0, when open.
void WdtBoardRequest();
// WDIOC_GETBOOTSTATUS, when the device is open: 0 with the driver's
// WDIOF_* flags in *flags, -1 when the driver does not answer.
int WdtBootStatus(int *flags);
// Closes the device once; later calls and keep-alives do nothing.
void WdtClose();

struct DebugInfo {
  std::atomic<long long> WdtTimeSec;
  std::atomic<long> WdtTimeUsec;
  std::atomic<int> CurWdtInterval;
  std::atomic<int> MaxWdtInterval;
  std::atomic<long long> PowerSwTimeSec;
  std::atomic<long> PowerSwTimeUsec;
  std::atomic<int> CurPowerSwInterval;
  std::atomic<int> MaxPowerSwInterval;
  // Not in the dump: the last keep-alive the device accepted, on the
  // monotonic clock (MonotonicMs, 0 before the first), and how many
  // intervals were too long.
  std::atomic<int64_t> WdtMonoMs;
  std::atomic<int> CntWdtLate;
  // Keep-alives the device refused, the error of the latest, and whether the
  // latest keep-alive was refused (1) or accepted (0).
  std::atomic<int> CntWdtFail;
  std::atomic<int> WdtFailErrno;
  std::atomic<int> WdtFailing;
};

extern DebugInfo gDebugInfo;

// The watchdog thread: refreshes the device every WdtRefresh seconds (a
// period of 0 or less counts as 1) until the stop flag is set. With a
// StallTimeout, a supervision pass that has not made progress for that long
// (see supervise/stall.h) is logged once and the refreshes stop.
void *WdtThread(void *arg);

// The refresh period the watchdog thread sleeps for a configured one: 0
// would make it spin and a negative one would sleep (as an unsigned count)
// far past any watchdog timeout, so both are taken as 1 second. Large
// positive values are honoured as given.
int EffectiveRefresh(int32_t refresh);

// Milliseconds since *timeMs, both on the monotonic clock, so that a step of
// the wall clock is never taken for an interval; stores the current time
// into *timeMs. An interval longer than limit seconds is counted in
// CntWdtLate and queued for WdtReport, which warns about it. Called by the
// watchdog thread only.
int CheckThreadInterval(int64_t *timeMs, int limit);
// The same with the current time given by the caller.
int CheckThreadIntervalAt(int64_t *timeMs, int limit, int64_t nowMs);

// Logs what the watchdog thread has noted since the last call: each late
// interval ("Thread interval is too long", LOG_WARNING), and the moments
// keep-alives started to be refused and were accepted again (LOG_CRIT).
// Run by the cyclic thread before each pass, by a termination after each of
// its keep-alives, and by the main loop once the threads have ended; never
// by the watchdog thread. Late intervals beyond the last WDT_LATE_QUEUE that
// were not logged yet are counted but not logged.
constexpr int WDT_LATE_QUEUE = 16;
void WdtReport();
