// STUB: to be replaced.
#include "supervise/mainloop.h"
std::atomic<int> StopFlag;
DebugInfo gDebugInfo;
const char *PsCommand = "ps";
void wardend_loop(int, ConfigDb *) {}
void *WdtThread(void *) { return nullptr; }
int CheckThreadInterval(struct timeval *, int) { return 0; }
