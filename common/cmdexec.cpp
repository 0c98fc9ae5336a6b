// STUB: to be replaced.
#include "common/cmdexec.h"
int CmdExec(const char *, char *output, int) { output[0] = 0; return CMD_NO_OUTPUT; }
int CmdSystem(const char *) { return -1; }
int Str2Num(const char *, int, int32_t *) { return 1; }
