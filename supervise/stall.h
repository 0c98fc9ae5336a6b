// SPDX-License-Identifier: MIT
// How the watchdog thread learns that supervision lives, without the table's
// lock: the cyclic thread marks its progress in atomic words, a termination
// marks each of its steps, and the watchdog thread judges from those words
// whether supervision has stalled. A stall stops every refresh for good.
//
// Threads: every word is atomic; who stores and loads which is in docs/design.md.
#pragma once

#include <cstdint>

#include "common/clock.h"

// Where the termination stands, as the watchdog thread judges it.
enum TermPhase : int32_t {
  TERM_PHASE_NONE = 0,        // no termination: the pass is judged
  TERM_PHASE_STEPS = 1,       // its steps are judged, each on its own
  TERM_PHASE_FINAL_WAIT = 2,  // the power commands have run: nothing is judged
  TERM_PHASE_ENDED = 3,       // it returned (the board did not go down)
};

// The words the judgement reads, loaded together.
struct ProgressMarks {
  int64_t PassMarkMs;  // the pass's last progress
  int32_t Phase;       // TermPhase of the first termination
  int64_t TermMarkMs;  // when its current step began
};

// The main loop, before the threads start: the time from here counts as
// progress until the first pass (a cyclic thread that never runs stalls),
// and no termination has begun and no stall been judged.
void ResetPassProgress();
// The cyclic thread, once it holds the table, and again when the pass ends.
// The time it waits for the table before (behind a re-read, a dump or a
// status reply) counts like any other time of the pass.
void PassProgress();

// A termination begins: true for the first one of the daemon's life, which
// owns the board from here and whose steps are judged from now on; false for
// any later one, which must leave the board to the first.
[[nodiscard]] bool TerminationBegins();
// Whether a termination has begun: the pass stops judging then.
bool TerminationBegun();
// The first termination begins its next step.
void TerminationProgress();
// The first termination has run its power commands and waits for the system
// to go down; then it has returned.
void TerminationFinalWait();
void TerminationEnded();
// Whether the first termination has returned.
bool TerminationOver();

// The watchdog thread has judged a stall of stalledSeconds: from here on
// nobody refreshes the device, neither that thread nor a termination.
void StopRefresh(int stalledSeconds);
bool RefreshStopped();
// The stall that stopped the refreshes, in seconds; 0 while they run.
int StalledAtStop();

// The judgement on given values: the seconds since the mark that counts (the
// termination's while its steps run, else the pass's) when they reach
// timeout, else 0 (also when timeout is 0 or less, and once the termination
// has run its power commands).
int StalledSeconds(const ProgressMarks &marks, int32_t timeout, int64_t nowMs);
// The same on the current words and the current time.
int SupervisionStalled(int32_t timeout);
