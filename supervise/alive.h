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
// RESPAWN entry restarted); 1: the second failure in a row.
int SuperviseProcessAlive(ProcEntry *entry);
// Runs the respawn command ("procName Option", cut to 259 characters) of a
// RESPAWN entry, built in command (260 bytes); does nothing for the others.
int SuperviseProcessAlive_Respawn(ProcEntry *entry, char *command /* 260 bytes */);
