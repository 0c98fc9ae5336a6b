// SPDX-License-Identifier: MIT
// The hardware watchdog descriptor, the watchdog thread and its timing
// statistics. Threads: the descriptor is used from several threads at once,
// always under its own lock; see docs/design.md.
#include "supervise/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>

#include "common/clock.h"
#include "common/errtext.h"
#include "common/log.h"
#include "common/sleep.h"
#include "supervise/stall.h"

DebugInfo gDebugInfo;

namespace {

constexpr const char *kUnit = "supervise";

constexpr const char *kWatchdogDevice = "/dev/watchdog";

// The board driver's own request: group 'W', number 12, int-sized, read.
// Computed rather than written out so the encoding fits every target.
constexpr unsigned long kBoardRequest = _IOR('W', 12, int);

// Guards gWdtFd. The descriptor is -1 whenever it is not open; a close marks
// it -1 before releasing the lock, so no later request or close can reach the
// same number after some other open has reused it.
std::mutex gWdtLock;
int gWdtFd = -1;

// The dump shows the refresh time on the wall clock, as a reader of the log
// knows it; only the intervals are measured on the monotonic clock.
void PublishWdtTime() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  gDebugInfo.WdtTimeSec.store(static_cast<long long>(tv.tv_sec));
  gDebugInfo.WdtTimeUsec.store(static_cast<long>(tv.tv_usec));
}

// Late intervals on their way from the watchdog thread (the only writer) to
// WdtReport: interval i (counted from 0) goes into slot i % kLateSlots
// before gLateNoted becomes i + 1. The words are sequentially consistent,
// so a reader that still sees gLateNoted < i + kLateSlots after reading
// slot i knows that the slot was not yet being overwritten. Twice the slots
// that are logged, so that the latest WDT_LATE_QUEUE are safe from a writer
// that is filling the next one; a power of two, so that the slot numbers
// stay in step when the count wraps.
constexpr uint32_t kLateSlots = 2 * WDT_LATE_QUEUE;
static_assert((kLateSlots & (kLateSlots - 1)) == 0, "the slot count must be a power of two");
std::atomic<int> gLateQueue[kLateSlots];
std::atomic<uint32_t> gLateNoted{0};

// Changes between accepted and refused keep-alives, odd while they are
// refused, and the error of the refusal that began the latest run of them.
// Written under gWdtLock by whichever thread made the keep-alive.
std::atomic<uint32_t> gFailTurns{0};
std::atomic<int> gFailTurnErrno{0};

// What WdtReport has logged so far; only WdtReport uses them, under its own
// lock, which the watchdog thread never takes.
std::mutex gReportLock;
uint32_t gLateLogged = 0;
uint32_t gTurnsLogged = 0;

// The device's answer to a keep-alive; err is 0 when it was accepted. The
// caller holds gWdtLock, so the turns stay in step with WdtFailing.
void NoteKeepAlive(int err) {
  if (err == 0) {
    gDebugInfo.WdtMonoMs.store(MonotonicMs());
    if (gDebugInfo.WdtFailing.load() != 0) {
      gDebugInfo.WdtFailing.store(0);
      gFailTurns.fetch_add(1);
    }
    return;
  }
  gDebugInfo.CntWdtFail.fetch_add(1);
  gDebugInfo.WdtFailErrno.store(err);
  if (gDebugInfo.WdtFailing.load() == 0) {
    gDebugInfo.WdtFailing.store(1);
    gFailTurnErrno.store(err);
    gFailTurns.fetch_add(1);
  }
}

}  // namespace

int EffectiveRefresh(int32_t refresh) { return refresh > 0 ? refresh : 1; }

int WdtOpen() {
  std::lock_guard<std::mutex> lock(gWdtLock);
  int fd = open(kWatchdogDevice, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  if (gWdtFd >= 0) close(gWdtFd);
  gWdtFd = fd;
  return 0;
}

void WdtKeepAlive() {
  std::lock_guard<std::mutex> lock(gWdtLock);
  if (gWdtFd < 0) return;
  // A refused keep-alive is tried again at the next refresh like any other;
  // it is only noted, so that the status and the log can tell that the
  // board is unprotected.
  const int result = ioctl(gWdtFd, WDIOC_KEEPALIVE, static_cast<int *>(nullptr));
  NoteKeepAlive(result == 0 ? 0 : (errno != 0 ? errno : EIO));
}

void WdtBoardRequest() {
  std::lock_guard<std::mutex> lock(gWdtLock);
  if (gWdtFd < 0) return;
  (void)ioctl(gWdtFd, kBoardRequest, static_cast<int *>(nullptr));
}

int WdtBootStatus(int *flags) {
  std::lock_guard<std::mutex> lock(gWdtLock);
  if (gWdtFd < 0 || flags == nullptr) return -1;
  int status = 0;
  if (ioctl(gWdtFd, WDIOC_GETBOOTSTATUS, &status) != 0) return -1;
  *flags = status;
  return 0;
}

void WdtClose() {
  std::lock_guard<std::mutex> lock(gWdtLock);
  if (gWdtFd < 0) return;
  // No magic character is written first: a driver that keeps the watchdog
  // running after an unexpected close must keep doing so.
  int fd = gWdtFd;
  gWdtFd = -1;
  close(fd);
}

int CheckThreadIntervalAt(int64_t *timeMs, int limit, int64_t nowMs) {
  int64_t elapsed = nowMs - *timeMs;
  *timeMs = nowMs;
  if (elapsed > INT_MAX) elapsed = INT_MAX;
  if (elapsed < INT_MIN) elapsed = INT_MIN;
  if (elapsed > static_cast<int64_t>(limit) * 1000) {
    gDebugInfo.CntWdtLate.fetch_add(1);
    const uint32_t noted = gLateNoted.load();
    gLateQueue[noted % kLateSlots].store(static_cast<int>(elapsed));
    gLateNoted.store(noted + 1);
  }
  return static_cast<int>(elapsed);
}

int CheckThreadInterval(int64_t *timeMs, int limit) { return CheckThreadIntervalAt(timeMs, limit, MonotonicMs()); }

void WdtReport() {
  std::lock_guard<std::mutex> lock(gReportLock);
  const uint32_t noted = gLateNoted.load();
  // Unsigned differences: the counts may wrap.
  if (noted - gLateLogged > static_cast<uint32_t>(WDT_LATE_QUEUE)) gLateLogged = noted - WDT_LATE_QUEUE;
  for (; gLateLogged != noted; gLateLogged++) {
    const int elapsed = gLateQueue[gLateLogged % kLateSlots].load();
    // Overwritten (or being overwritten) by a later interval while it was read.
    if (gLateNoted.load() - gLateLogged >= kLateSlots) continue;
    LOG_AS(kUnit, "CheckThreadInterval", LOG_WARNING, "Thread interval is too long [%d.%03dsec]", elapsed / 1000,
           elapsed % 1000);
  }
  const uint32_t turns = gFailTurns.load();
  for (; gTurnsLogged != turns; gTurnsLogged++) {
    // Even: the keep-alives were accepted until this turn, which began the
    // refusals; odd: this turn ended them.
    if (gTurnsLogged % 2 == 0) {
      char text[128];
      LOG_AS(kUnit, "WdtKeepAlive", LOG_CRIT, "WDT refresh fail! : %s",
             ErrText(gFailTurnErrno.load(), text, sizeof text));
    } else {
      LOG_AS(kUnit, "WdtKeepAlive", LOG_CRIT, "WDT refresh recovered");
    }
  }
}

void *WdtThread(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  PublishWdtTime();
  int64_t lastMs = MonotonicMs();
  // Once supervision has stalled the refreshes stop for good, so that the
  // hardware resets the board.
  while (arg->Stop->load() == 0) {
    // The period is read at every pass so that a re-read takes effect.
    SleepSeconds(EffectiveRefresh(arg->Config->WdtRefresh.load()));
    // A daemon that is stopping lets its cyclic thread end first; that is
    // no stall.
    if (!RefreshStopped() && arg->Stop->load() == 0) {
      int seconds = SupervisionStalled(arg->Config->StallTimeout.load());
      if (seconds > 0) {
        // Stopped before the report, which may block in the log: a
        // termination must not refresh meanwhile.
        StopRefresh(seconds);
        LOG_AT(kUnit, LOG_CRIT, "Supervision stalled for %d sec, watchdog refresh stopped", seconds);
      }
    }
    if (RefreshStopped()) continue;
    WdtKeepAlive();
    int64_t limit = 2 * static_cast<int64_t>(EffectiveRefresh(arg->Config->WdtRefresh.load()));
    if (limit > INT_MAX) limit = INT_MAX;
    int interval = CheckThreadInterval(&lastMs, static_cast<int>(limit));
    PublishWdtTime();
    gDebugInfo.CurWdtInterval.store(interval);
    if (interval > gDebugInfo.MaxWdtInterval.load()) gDebugInfo.MaxWdtInterval.store(interval);
  }
  return nullptr;
}
