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

void PowerSwInit();
void PowerSwExit();
int PowerSwPushed();
