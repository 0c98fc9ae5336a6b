// SPDX-License-Identifier: MIT
// The sender of the reboot request being handled, as the reboot record and
// the status name it: "requested by pid N (name)".
//
// Threads: kept per thread (thread_local), so nothing here is shared; see docs/design.md.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Room for "requested by pid N (name)", terminator included.
constexpr int REQUESTER_SIZE = 64;

// Notes the last sender of the queue (msg_lspid) and its command name from
// /proc; nothing when the queue cannot tell (a sender outside this pid
// namespace reads as 0).
void NoteRequester(int queId);
void ClearRequester();
// The note of this thread, "" when there is none.
const char *CurrentRequester();

// "requested by pid N (name)" into text; the name's bytes other than
// printable ASCII are shown as '?', and "?" stands for a name that could not
// be read.
void FormatRequester(pid_t pid, const char *name, char *text, size_t size);
