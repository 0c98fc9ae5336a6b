// The control-queue receiver.
#pragma once

#include <sys/types.h>

#include "common/ctrlmsg.h"
#include "supervise/mainloop.h"

void RecvHealthCheck(const CtrlMsg *msg, ThreadArg *arg);
