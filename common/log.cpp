// STUB: to be replaced.
#include "common/log.h"
int LogDebug = 0;
LogHookFn LogHook = nullptr;
void LogOpen(const char *, int, int) {}
void LogClose() {}
int LogMessage(const char *, const char *, int, int, const char *, ...) { return 0; }
