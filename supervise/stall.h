// How the watchdog thread learns that supervision lives, without the table's
// lock: the cyclic thread marks its progress in atomic words, a termination
// says that it has begun, and the watchdog thread judges from those words
// whether the pass has stalled.
//
// Threads: the marks are stored by the cyclic thread (and the main loop once,
// before the threads start), TerminationStarted by whichever thread brings
// the board down, and everything is loaded by the watchdog thread.
#pragma once

#include <cstdint>

#include "common/clock.h"

// The main loop, before the threads start: the time from here counts as
// progress until the first pass (a cyclic thread that never runs stalls).
void ResetPassProgress();
// The cyclic thread, before it waits for the table's lock: the time spent
// waiting (for a long re-read or a configuration dump) is not a stall.
void PassWaitsForTable();
// The cyclic thread, once it holds the table, and again when the pass ends:
// the pass is measured from here.
void PassProgress();
// A termination has begun: it keeps the watchdog refreshed itself until it
// closes it, so from here on nothing is judged a stall.
void TerminationStarted();

// The judgement on given values: the seconds since markMs when they reach
// timeout, else 0 (also when timeout is 0 or less, while the pass waits for
// the table, and once a termination has begun).
int StalledSeconds(int64_t markMs, bool waiting, bool terminating, int32_t timeout, int64_t nowMs);
// The same on the current marks and the current time.
int SupervisionStalled(int32_t timeout);
