// STUB: to be replaced.
#include "readconfig/config.h"
ConfigDb gConfigDb;
int32_t CntLine;
int32_t CntProcess;
void CleanConfig(const char *, ConfigDb *) {}
void StaggerAliveTimers(ConfigDb *) {}
