// SPDX-License-Identifier: MIT
// Used by every thread that stamps or measures a time.
#include "common/clock.h"

#include <ctime>

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return ms > 0 ? ms : 1;
}
