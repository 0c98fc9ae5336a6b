// General routines of the common unit: call-stack dump, System V semaphore
// helpers, file copy, regular-expression match count, CRC-16 and a pipe
// channel with a read timeout. None of them logs and none keeps state of its
// own, so any thread may call them.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Writes the current call stack (at most 128 frames) to standard output, one
// line per frame.
void DumpBacktrace();

// SemCreate results.
constexpr int SEM_CREATED = 1;  // a new set, its semaphore set to 1
constexpr int SEM_OPENED = 0;   // an existing set, its value untouched
constexpr int SEM_FAILED = -1;

// Creates (value 1) or opens the one-semaphore set under key; *id receives
// the set's identifier, or -1. When the new set cannot be given its value the
// set stays and *id still names it, so the caller can remove it.
[[nodiscard]] int SemCreate(key_t key, int *id);
// 0: the set is removed; 1: failure.
int SemRemove(int id);
// Take (-1, waiting while the value is 0) or give back (+1) the semaphore,
// both undone by the system when the process ends. 0: done; 1: failure.
[[nodiscard]] int SemLock(int id);
int SemUnlock(int id);

// Copies source to destination, creating the destination's directory with
// "mkdir -p" when it is missing. 0: copied; 1: failure, with one line on
// standard output saying which side failed.
[[nodiscard]] int FileCopy(const char *source, const char *destination);

// The number of successive matches of pattern in text (flags: REG_EXTENDED,
// REG_ICASE, REG_NEWLINE). Every new search start counts as the beginning of
// a line. 1 when the pattern does not compile.
[[nodiscard]] int RegexCount(const char *text, const char *pattern, int flags);

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final
// XOR) of length bytes; 0 for a length of 0 or less.
[[nodiscard]] uint16_t Crc16(const void *data, int32_t length);

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
