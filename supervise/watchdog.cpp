// The hardware watchdog descriptor. Used by the main loop (open, first
// requests, final close), the watchdog thread (keep-alives) and every
// running system termination (keep-alives and the close), possibly at once.
#include "supervise/watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>

namespace {

constexpr const char *kWatchdogDevice = "/dev/watchdog";

// The board driver's own request: group 'W', number 12, int-sized, read.
// Computed rather than written out so the encoding fits every target.
constexpr unsigned long kBoardRequest = _IOR('W', 12, int);

// Guards gWdtFd. The descriptor is -1 whenever it is not open; a close marks
// it -1 before releasing the lock, so no later request or close can reach the
// same number after some other open has reused it.
std::mutex gWdtLock;
int gWdtFd = -1;

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

void WdtClose() {
  std::lock_guard<std::mutex> lock(gWdtLock);
  if (gWdtFd < 0) return;
  // No magic character is written first: a driver that keeps the watchdog
  // running after an unexpected close must keep doing so.
  int fd = gWdtFd;
  gWdtFd = -1;
  close(fd);
}
