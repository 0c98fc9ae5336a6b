// SPDX-License-Identifier: MIT
// Facts about the daemon that the status server reports beside the table:
// when it started, which configuration file it read last and when, and the
// termination in progress.
//
// Threads: each group of fields has its own rule, listed in docs/design.md.
#pragma once

#include <climits>
#include <cstdint>

#include <atomic>

#include "readconfig/config.h"

// Room for the termination reason, terminator included (every reason the
// daemon builds is at most 255 characters).
constexpr int STATUS_REASON_SIZE = 256;
// Room for the last shutdown's record line (the reboot record's lines are
// at most this long).
constexpr int STATUS_RECORD_SIZE = 512;

struct StatusInfo {
  std::atomic<int64_t> StartMs;  // MonotonicMs at start-up
  // The reboot record's latest line at start-up, empty without one.
  char LastShutdown[STATUS_RECORD_SIZE];
  // The watchdog driver's boot status (WDIOC_GETBOOTSTATUS), which does not
  // change while the board runs, so it is asked at most once: WdtBootAsked
  // 0 before, 1 after; WdtBootFlags the driver's WDIOF_* flags, or -1 when
  // it did not answer.
  int32_t WdtBootAsked;
  int32_t WdtBootFlags;
  // The last configuration read. ReadPath is cut to PATH_MAX - 1 bytes: a
  // longer path could not have been opened.
  char ReadPath[PATH_MAX];
  int64_t ReadMs;       // MonotonicMs when it ended
  int64_t ReadWallSec;  // the wall clock then, seconds since 1970
  int32_t ReadResult;   // ReadConfig's result: 0 read, 1 not opened
  int32_t CntRead;      // reads since start-up, 0: none yet
  // Terminations.
  std::atomic<int32_t> TermRunning;     // terminations in progress
  std::atomic<int32_t> CntTerm;         // terminations started
  std::atomic<int32_t> TermPublished;   // 1 once the fields below are written
  int32_t TermMode;                     // the first termination's mode
  int64_t TermStartMs;                  // and when it started
  char TermReason[STATUS_REASON_SIZE];  // and its reason
};

extern StatusInfo gStatusInfo;

// The most entries a snapshot copies; a reply could not carry many more.
constexpr int32_t STATUS_SNAPSHOT_MAX = 1024;

// A copy of the table's entries for the replies that cannot have the table:
// taken when a termination begins (kept from then on) and before a respawn
// command runs (dropped when it returns), with the respawn in progress.
struct StatusSnapshot {
  ProcEntry *Process;  // owned, null when there is no snapshot
  int32_t NumProcess;  // entries copied
  int32_t Total;       // entries the table had
  int32_t AliveWatch;
  int64_t TakenMs;  // MonotonicMs when it was taken
  bool ForTermination;
  // The respawn command running now, for the entry RespawnIndex (-1: none).
  int32_t RespawnIndex;
  int64_t RespawnStartMs;
  char RespawnCommand[CONFIG_TEXT_SIZE];
};

// The table the respawns belong to, named by the status server when it
// starts: a respawn of one of its entries is shown with a snapshot.
void StatusWatchTable(const ConfigDb *db);
// A termination has begun: the caller holds the table and copies it, once.
void StatusSnapshotForTermination(const ConfigDb *db);
// The cyclic thread, holding the table, around a respawn command.
void StatusRespawnBegin(const ProcEntry *entry, const char *command);
void StatusRespawnEnd();
// Drops the snapshot and forgets the termination's (a fresh daemon has
// none; the tests start each case from here).
void StatusSnapshotClear();
// The status server: the snapshot, with its mutex held until the release.
const StatusSnapshot *AcquireStatusSnapshot();
void ReleaseStatusSnapshot();

// main, once, before the threads start.
void StatusNoteDaemonStart();
// The main loop at start-up, before the threads start, with the reboot
// record's latest line.
void StatusNoteLastShutdown(const char *record);
// The driver's answer to WDIOC_GETBOOTSTATUS (answered false: no answer), by
// whoever asked it: the main loop before the threads start, or the status
// server.
void StatusNoteWdtBootStatus(bool answered, int flags);
// After every ReadConfig (result: its return value), by the thread that ran
// it while it still holds the table's mutex.
void StatusNoteConfigRead(const char *path, int result);
// DoSystemTerminate, when it begins and when it returns.
void StatusTerminationBegin(int mode, const char *reason);
void StatusTerminationEnd();
