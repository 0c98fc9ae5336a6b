// SPDX-License-Identifier: MIT
// The status server: a thread of its own that answers status requests on a
// Unix stream socket in the abstract namespace (WARDEND_STATUS_NAME in
// common/ctrlmsg.h), one client at a time.
//
// Threads: its own, which waits for ThreadArg.Mutex a bounded time only; see docs/design.md.
#pragma once

#include "supervise/mainloop.h"

// Limits per client: the wait for its request (after which whatever came is
// the request), for the table's lock (after which the reply says the table
// is busy), and for the client to take the reply.
constexpr int STATUS_REQUEST_WAIT_MS = 1000;
constexpr int STATUS_LOCK_WAIT_MS = 1000;
constexpr int STATUS_REPLY_WAIT_MS = 2000;

// Opens the socket and starts the thread; 0 when it runs. Failures are
// logged ("Status socket fail! : <reason>", "Status thread create fail! :
// <reason>") and the daemon runs on without status.
int StatusServerStart(ThreadArg *arg);
// Tells the thread to quit, joins it and closes the socket.
void StatusServerStop();

// Takes ThreadArg.Mutex within waitMs, giving up early when quitFd (when not
// negative) becomes readable. Returns whether the lock is held.
bool LockTableWithin(ThreadArg *arg, int waitMs, int quitFd);
