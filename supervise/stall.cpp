// Progress marks of the supervision pass and the stall judgement of the
// watchdog thread. Marked by the cyclic thread (and once by the main loop),
// a termination's start by the cyclic or the receiver thread, judged on the
// watchdog thread; every word is a lock-free atomic.
#include "supervise/stall.h"

#include <atomic>
#include <climits>
#include <ctime>

namespace {

std::atomic<int64_t> gPassMarkMs{0};
std::atomic<int> gPassWaiting{0};
std::atomic<int> gTerminating{0};

static_assert(std::atomic<int64_t>::is_always_lock_free, "the watchdog thread must never wait for a mark");

}  // namespace

void ResetPassProgress() {
  gPassMarkMs.store(MonotonicMs());
  gPassWaiting.store(0);
}

void PassWaitsForTable() { gPassWaiting.store(1); }

void PassProgress() {
  // The mark first: a watchdog thread that sees the wait ended also sees
  // the new mark, never the one from before the wait.
  gPassMarkMs.store(MonotonicMs());
  gPassWaiting.store(0);
}

void TerminationStarted() { gTerminating.store(1); }

int StalledSeconds(int64_t markMs, bool waiting, bool terminating, int32_t timeout, int64_t nowMs) {
  if (timeout <= 0 || waiting || terminating) return 0;
  const int64_t seconds = (nowMs - markMs) / 1000;
  if (seconds < timeout) return 0;
  return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

int SupervisionStalled(int32_t timeout) {
  if (timeout <= 0) return 0;
  // The waiting flag before the mark, the reverse of the order they are
  // stored in at the end of a wait.
  const bool waiting = gPassWaiting.load() != 0;
  const int64_t mark = gPassMarkMs.load();
  return StalledSeconds(mark, waiting, gTerminating.load() != 0, timeout, MonotonicMs());
}
