// SPDX-License-Identifier: MIT
// Used by every thread that waits a number of seconds.
#include "common/sleep.h"

#include <cerrno>
#include <ctime>

void SleepSeconds(int seconds) {
  if (seconds <= 0) return;
  struct timespec left = {seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
