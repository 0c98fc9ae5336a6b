// SPDX-License-Identifier: MIT
// Monotonic time in milliseconds, for every thread that measures an age.
#pragma once

#include <cstdint>

// Milliseconds on CLOCK_MONOTONIC, which a change of the wall clock (a board
// that sets its time from the network after boot) does not move. Always
// positive, so 0 is free to mean "never" in a stored time.
int64_t MonotonicMs();
