// SPDX-License-Identifier: MIT
// Whole-second sleep for every thread that waits a number of seconds.
#pragma once

// Sleeps the whole number of seconds even when signal handlers interrupt the
// sleep: handlers run on any thread, and a cut-short sleep would make a
// once-a-second pass run early. Non-positive values return at once.
void SleepSeconds(int seconds);
