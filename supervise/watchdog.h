// The hardware watchdog: its descriptor, the thread that refreshes it and the
// timing statistics of those refreshes.
//
// The descriptor is shared by the watchdog thread, the main loop and every
// running system termination. All access goes through the Wdt* calls, which
// serialise on a small lock of their own, so a keep-alive can never reach a
// descriptor number that a termination has closed (and that a later open may
// have reused).
//
// gDebugInfo is written by the watchdog thread (and once by the cyclic
// thread) and read by the debug dump and the status server; every field is
// its own atomic word, so a reader may mix values of two refreshes but never
// sees a torn one.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "supervise/mainloop.h"

// Opens "/dev/watchdog" read-write, close-on-exec. 0 on success, -1 on failure
// (errno kept).
int WdtOpen();
// WDIOC_KEEPALIVE, when the device is open; result not examined.
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
  // Not in the dump: the refresh time on the monotonic clock (MonotonicMs,
  // 0 before the thread ran), and how many intervals were reported as too
  // long.
  std::atomic<int64_t> WdtMonoMs;
  std::atomic<int> CntWdtLate;
};

extern DebugInfo gDebugInfo;

// The watchdog thread: refreshes the device every WdtRefresh seconds (a
// period of 0 or less counts as 1) until the stop flag is set. With a
// StallTimeout, a supervision pass that has not made progress for that long
// (see supervise/stall.h) is logged once and the refreshes stop.
void *WdtThread(void *arg);

// Milliseconds since *time (32-bit wrapping arithmetic); stores the current
// time into *time and warns when the interval exceeds limit seconds.
int CheckThreadInterval(struct timeval *time, int limit);
// The same with the current time given by the caller.
int CheckThreadIntervalAt(struct timeval *time, int limit, const struct timeval *now);
