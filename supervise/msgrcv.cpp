// STUB: to be replaced.
#include "supervise/msgrcv.h"
void *MsgRcvThread(void *) { return nullptr; }
void RecvHealthCheck(const CtrlMsg *, ThreadArg *) {}
