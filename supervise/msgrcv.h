// SPDX-License-Identifier: MIT
// The control-queue receiver.
//
// Threads: MsgRcvThread alone reads the queue and re-reads the configuration; see docs/design.md.
#pragma once

#include <sys/types.h>

#include "common/ctrlmsg.h"
#include "supervise/mainloop.h"
#include "supervise/terminate.h"

// What a message may make the receiver do beyond its own bookkeeping. The
// daemon uses DaemonMsgActions; tools that must not bring the machine down
// (the fuzzer) pass their own.
struct MsgActions {
  TerminateAction Terminate;
  // namedBy: CONFIG_NAMED_BY_ROOT for the daemon's own file, else
  // CONFIG_NAMED_BY_ANYONE.
  int (*Reread)(const char *path, int namedBy, ConfigDb *db);
};
extern const MsgActions DaemonMsgActions;

// Result of HandleCtrlMsg.
constexpr int MSG_CONTINUE = 0;
constexpr int MSG_DONE = 1;  // the stop message while StopFlag is raised: the receiver leaves its loop

// Size of the reboot reason, terminator included; longer reasons are cut.
constexpr int REBOOT_REASON_SIZE = 256;

// Acts on one received message. The text is read only within its 128 bytes:
// the name counts as at most 24 characters and the payload as at most 104,
// whether or not they carry a terminator.
int HandleCtrlMsg(const CtrlMsg *msg, ThreadArg *arg, const MsgActions *actions);

void RecvHealthCheck(const CtrlMsg *msg, ThreadArg *arg);

// The receiver thread: takes every message off ThreadArg's queue until the
// stop message comes while ThreadArg's stop flag is raised, or the queue is
// removed. A stop message at any other time is refused like an unknown type.
void *MsgRcvThread(void *arg);
