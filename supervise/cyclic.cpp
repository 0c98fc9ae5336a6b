// STUB: to be replaced.
#include "supervise/cyclic.h"
void *CyclicThread(void *) { return nullptr; }
int SuperviseProcess(ThreadArg *, int *index) { *index = -1; return 0; }
int SuperviseProcessAlive(ProcEntry *) { return 0; }
int SuperviseProcessAlive_Respawn(ProcEntry *, char *) { return 0; }
void PowerSwInit() {}
void PowerSwExit() {}
int PowerSwPushed() { return 0; }
