// STUB: to be replaced.
#include "supervise/terminate.h"
void DoSystemTerminate(int, ConfigDb *, const char *) {}
void SetupPowerLed(int, int) {}
