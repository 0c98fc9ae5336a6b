// SPDX-License-Identifier: MIT
// The once-a-second supervision pass and the cyclic thread that runs it.
#pragma once

#include "readconfig/config.h"
#include "supervise/mainloop.h"
#include "supervise/terminate.h"

// Pass results.
constexpr int SUPERVISE_OK = 0;
constexpr int SUPERVISE_DEAD = 1;
constexpr int SUPERVISE_NO_HEALTH_CHECK = 2;

// One pass over the table under ThreadArg.Mutex: counts down every entry's
// health-check and alive timers and checks the entries whose timers ran out.
// The first failure ends the pass; *index is then the failing entry (-1 when
// none failed), and terminate (when not null) is called with TERM_REBOOT and
// the reason text while the mutex is still held, so a re-read can neither
// release the failing entry's name nor the table the termination walks.
// Once a termination has begun the pass only takes and releases the table:
// it judges nothing and returns SUPERVISE_OK.
int SuperviseProcess(ThreadArg *arg, int *index, TerminateAction terminate);

// The reason text of a failed pass ("Detect that the process [%s] %s."),
// cut to 256 bytes; entries outside 0..99 are named "unknown". The caller
// holds the table's mutex.
constexpr int SUPERVISE_REASON_SIZE = 256;
void BuildDownReason(const ConfigDb *db, int result, int index, char *reason /* 256 bytes */);

void PowerSwInit();
void PowerSwExit();
int PowerSwPushed();

// The cyclic thread: a pass a second (ending in DoSystemTerminate on a
// failure) and the power-button hook, until the stop flag is set.
void *CyclicThread(void *arg);
