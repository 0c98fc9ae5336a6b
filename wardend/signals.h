// SPDX-License-Identifier: MIT
// Signal handling. The handlers only record the signal (async-signal-safe);
// the signal worker thread does the logging, the dumps and the re-read send.
#pragma once

#include "supervise/mainloop.h"

void sig_handler(int signo);
void StopHandler(int signo);

// Installs the handlers in the order SIGHUP, SIGTERM, SIGUSR1, SIGUSR2.
void InstallSignalHandlers();

// The signal worker, one of the helpers main hands to wardend_loop: started
// once ThreadArg is filled, stopped (and joined) after the receiver has ended.
// 0 on success.
int SignalWorkerStart(ThreadArg *arg);
void SignalWorkerStop();

// The work behind SIGHUP, SIGUSR1 and SIGUSR2, done by the signal worker.
// SendRereadRequest sends ConfigPath to the queue queId; DumpConfigDb reads
// the table under arg->Mutex; DumpDebugInfo reads gDebugInfo.
void SendRereadRequest(int queId);
void DumpConfigDb(ThreadArg *arg);
void DumpDebugInfo();
