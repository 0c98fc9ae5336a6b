// STUB: to be replaced.
#include "wardend/signals.h"
void sig_handler(int) {}
void StopHandler(int) {}
void InstallSignalHandlers() {}
int SignalWorkerStart(ThreadArg *) { return 0; }
void SignalWorkerStop() {}
