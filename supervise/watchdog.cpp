// STUB: to be replaced.
#include "supervise/watchdog.h"
int WdtOpen() { return -1; }
void WdtKeepAlive() {}
void WdtBoardRequest() {}
void WdtClose() {}
