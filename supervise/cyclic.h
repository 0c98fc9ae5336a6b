// The once-a-second supervision pass, run by CyclicThread.
#pragma once

#include "readconfig/config.h"
#include "supervise/mainloop.h"

// Pass results.
constexpr int SUPERVISE_OK = 0;
constexpr int SUPERVISE_DEAD = 1;
constexpr int SUPERVISE_NO_HEALTH_CHECK = 2;

int SuperviseProcess(ThreadArg *arg, int *index);
int SuperviseProcessAlive(ProcEntry *entry);
int SuperviseProcessAlive_Respawn(ProcEntry *entry, char *command /* 260 bytes */);

// The reason text of a failed pass ("Detect that the process [%s] %s."),
// cut to 256 bytes; entries outside 0..99 are named "unknown". The caller
// holds the table's mutex.
constexpr int SUPERVISE_REASON_SIZE = 256;
void BuildDownReason(const ConfigDb *db, int result, int index, char *reason /* 256 bytes */);

void PowerSwInit();
void PowerSwExit();
int PowerSwPushed();
