// SPDX-License-Identifier: MIT
// Progress marks of the supervision pass and of the termination, and the
// stall judgement of the watchdog thread. Threads: every word is a lock-free
// atomic; see docs/design.md.
#include "supervise/stall.h"

#include <atomic>
#include <climits>
#include <ctime>

namespace {

std::atomic<int64_t> gPassMarkMs{0};
// Claimed by the first termination with one exchange; never falls again.
std::atomic<int> gTermClaimed{0};
std::atomic<int32_t> gTermPhase{TERM_PHASE_NONE};
std::atomic<int64_t> gTermMarkMs{0};
std::atomic<int> gRefreshStopped{0};
// The judged stall, stored before the stop so that a reader that sees the
// stop also sees its length.
std::atomic<int> gStalledSeconds{0};

static_assert(std::atomic<int64_t>::is_always_lock_free, "the watchdog thread must never wait for a mark");

}  // namespace

void ResetPassProgress() {
  gPassMarkMs.store(MonotonicMs());
  gTermPhase.store(TERM_PHASE_NONE);
  gTermClaimed.store(0);
  gRefreshStopped.store(0);
  gStalledSeconds.store(0);
}

void PassProgress() { gPassMarkMs.store(MonotonicMs()); }

bool TerminationBegins() {
  if (gTermClaimed.exchange(1) != 0) return false;
  // The mark before the phase: a watchdog thread that sees the steps begun
  // also sees their first mark, never an old one.
  gTermMarkMs.store(MonotonicMs());
  gTermPhase.store(TERM_PHASE_STEPS);
  return true;
}

bool TerminationBegun() { return gTermClaimed.load() != 0; }

void TerminationProgress() { gTermMarkMs.store(MonotonicMs()); }

void TerminationFinalWait() { gTermPhase.store(TERM_PHASE_FINAL_WAIT); }

void TerminationEnded() { gTermPhase.store(TERM_PHASE_ENDED); }

bool TerminationOver() { return gTermPhase.load() == TERM_PHASE_ENDED; }

void StopRefresh(int stalledSeconds) {
  gStalledSeconds.store(stalledSeconds > 0 ? stalledSeconds : 1);
  gRefreshStopped.store(1);
}

bool RefreshStopped() { return gRefreshStopped.load() != 0; }

int StalledAtStop() { return gRefreshStopped.load() != 0 ? gStalledSeconds.load() : 0; }

int StalledSeconds(const ProgressMarks &marks, int32_t timeout, int64_t nowMs) {
  if (timeout <= 0) return 0;
  int64_t markMs = marks.PassMarkMs;
  if (marks.Phase == TERM_PHASE_STEPS) {
    markMs = marks.TermMarkMs;
  } else if (marks.Phase != TERM_PHASE_NONE) {
    // The device is closed and the commands have run: the rest is the
    // system's business.
    return 0;
  }
  const int64_t seconds = (nowMs - markMs) / 1000;
  if (seconds < timeout) return 0;
  return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

int SupervisionStalled(int32_t timeout) {
  if (timeout <= 0) return 0;
  ProgressMarks marks;
  // The phase before the termination's mark, the reverse of the order in
  // which a termination stores them when it begins.
  marks.Phase = gTermPhase.load();
  marks.TermMarkMs = gTermMarkMs.load();
  marks.PassMarkMs = gPassMarkMs.load();
  return StalledSeconds(marks, timeout, MonotonicMs());
}
