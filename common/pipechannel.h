// SPDX-License-Identifier: MIT
// Pipe channel: one pipe with both ends in a record, and a read that can
// time out. No log; a channel is used by one thread at a time.
#pragma once

#include <cstdint>

// The two ends of one pipe, in the order pipe(2) fills them. 0 means unset:
// a channel is open when both are non-zero and closed when both are 0. A new
// channel must be zero-filled by its owner.
struct PipeChannel {
  int32_t FdRead;
  int32_t FdWrite;
};

// Result of the pipe routines for a channel in the wrong state (EINVAL).
constexpr int PIPE_NOT_READY = 22;

// 0: opened; PIPE_NOT_READY: a field is already set; 1: no pipe.
[[nodiscard]] int PipeOpen(PipeChannel *channel);
// Closes whichever ends are set and clears both fields; always 0.
int PipeClose(PipeChannel *channel);
// 0: open; PIPE_NOT_READY: not open.
[[nodiscard]] int PipeCheck(const PipeChannel *channel);
// Waits at most timeout seconds (0: no limit) for data, then reads at most
// size bytes into the zero-filled buffer (which is not terminated). Returns
// the bytes read (0 at end of data), 0 when the time ran out, -1 when the wait
// or the read failed, PIPE_NOT_READY when the channel is not open.
[[nodiscard]] int PipeRead(PipeChannel *channel, void *buffer, int size, int timeout);
// One write(2) of data to the write end and its result; PIPE_NOT_READY when
// the channel is not open.
int PipeWrite(PipeChannel *channel, const void *data, int length);
