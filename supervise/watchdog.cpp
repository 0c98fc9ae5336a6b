// The hardware watchdog descriptor, the watchdog thread and its timing
// statistics. The descriptor is used by the main loop (open, first requests,
// final close), the watchdog thread (keep-alives) and every running system
// termination (keep-alives and the close), possibly at once.
#include "supervise/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <mutex>

#include "common/clock.h"
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

// A refresh period of 0 would make the watchdog thread spin and a negative
// one would sleep (as an unsigned count) far past any watchdog timeout, so
// both are taken as 1 second. Large positive values are honoured as given.
int EffectiveRefresh(const ConfigDb *db) {
  int32_t refresh = db->WdtRefresh.load();
  return refresh > 0 ? refresh : 1;
}

int32_t Milliseconds(const struct timeval &tv) {
  // Wraps on purpose: only the difference of two such values is used.
  uint32_t ms = static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
  return static_cast<int32_t>(ms);
}

void PublishWdtTime(const struct timeval &tv) {
  gDebugInfo.WdtTimeSec.store(static_cast<long long>(tv.tv_sec));
  gDebugInfo.WdtTimeUsec.store(static_cast<long>(tv.tv_usec));
}

}  // namespace

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
  // The result is not looked at: there is nothing better to do than to try
  // again at the next refresh.
  (void)ioctl(gWdtFd, WDIOC_KEEPALIVE, static_cast<int *>(nullptr));
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

int CheckThreadIntervalAt(struct timeval *time, int limit, const struct timeval *now) {
  uint32_t previous = static_cast<uint32_t>(Milliseconds(*time));
  uint32_t current = static_cast<uint32_t>(Milliseconds(*now));
  // Unsigned subtraction wraps without undefined behaviour; the result is a
  // signed count as long as the true interval fits in one.
  int32_t elapsed = static_cast<int32_t>(current - previous);
  *time = *now;
  if (static_cast<int64_t>(elapsed) > static_cast<int64_t>(limit) * 1000) {
    LOG_AS(kUnit, "CheckThreadInterval", LOG_WARNING, "Thread interval is too long [%d.%03dsec]",
           static_cast<int>(elapsed / 1000), static_cast<int>(elapsed % 1000));
  }
  return elapsed;
}

int CheckThreadInterval(struct timeval *time, int limit) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return CheckThreadIntervalAt(time, limit, &now);
}

void *WdtThread(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  struct timeval last;
  gettimeofday(&last, nullptr);
  PublishWdtTime(last);
  gDebugInfo.WdtMonoMs.store(MonotonicMs());
  // Once supervision has stalled the refreshes stop for good, so that the
  // hardware resets the board.
  while (arg->Stop->load() == 0) {
    // The period is read at every pass so that a re-read takes effect.
    SleepSeconds(EffectiveRefresh(arg->Config));
    // A daemon that is stopping lets its cyclic thread end first; that is
    // no stall.
    if (!RefreshStopped() && arg->Stop->load() == 0) {
      int seconds = SupervisionStalled(arg->Config->StallTimeout.load());
      if (seconds > 0) {
        // Stopped before the report, which may block in the log: a
        // termination must not refresh meanwhile.
        StopRefresh();
        LOG_AT(kUnit, LOG_CRIT, "Supervision stalled for %d sec, watchdog refresh stopped", seconds);
      }
    }
    if (RefreshStopped()) continue;
    WdtKeepAlive();
    gDebugInfo.WdtMonoMs.store(MonotonicMs());
    int64_t limit = 2 * static_cast<int64_t>(EffectiveRefresh(arg->Config));
    if (limit > INT_MAX) limit = INT_MAX;
    int interval = CheckThreadInterval(&last, static_cast<int>(limit));
    if (static_cast<int64_t>(interval) > limit * 1000) gDebugInfo.CntWdtLate.fetch_add(1);
    PublishWdtTime(last);
    gDebugInfo.CurWdtInterval.store(interval);
    if (interval > gDebugInfo.MaxWdtInterval.load()) gDebugInfo.MaxWdtInterval.store(interval);
  }
  return nullptr;
}
