// SPDX-License-Identifier: MIT
// The alive check of one supervised process, the respawn of a lost RESPAWN
// process, and the process-list command the check uses. Run by the cyclic
// thread under ThreadArg.Mutex; ChoosePsCommand by the main loop before the
// threads start.
#pragma once

#include "readconfig/config.h"

// "ps ax" or "ps"; chosen before the threads start, read-only afterwards.
extern const char *PsCommand;

// Asks the shell whether ps is the procps one (which needs "ax" to list
// every process) and sets PsCommand.
void ChoosePsCommand();

// 0: the process runs, or its first failure in a row is forgiven (and a
// RESPAWN entry restarted); 1: the second failure in a row. method is the
// database's AliveCheck: the shell's pipelines, or the pid file and /proc
// read in the daemon, with the same verdicts and log lines.
int SuperviseProcessAlive(ProcEntry *entry, int32_t method = ALIVE_CHECK_PS);

// Test seam: when set, called with the pid read from the pid file just
// before the process is looked up, so a test can end the process between
// the two steps. Null in the daemon.
extern void (*AliveBetweenSteps)(int32_t pid);

// Runs the respawn command ("procName Option", cut to 259 characters) of a
// RESPAWN entry, built in command (260 bytes); does nothing for the others.
int SuperviseProcessAlive_Respawn(ProcEntry *entry, char *command /* 260 bytes */);
