// SPDX-License-Identifier: MIT
// The facts the status server reports beside the table. Threads: which
// lock, if any, guards each is in docs/design.md.
#include "supervise/statusinfo.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/clock.h"

StatusInfo gStatusInfo;

namespace {

pthread_mutex_t gSnapMutex = PTHREAD_MUTEX_INITIALIZER;
StatusSnapshot gSnap = {nullptr, 0, 0, 0, 0, false, -1, 0, {}};
std::atomic<const ConfigDb *> gWatchedTable{nullptr};

// Copies what the reply shows of db's entries into gSnap; the caller holds
// the table and gSnapMutex. Without memory there is no snapshot.
void TakeSnapshot(const ConfigDb *db) {
  delete[] gSnap.Process;
  gSnap.Process = nullptr;
  gSnap.NumProcess = 0;
  const int32_t total = db->Process != nullptr ? db->NumProcess : 0;
  const int32_t count = total < STATUS_SNAPSHOT_MAX ? total : STATUS_SNAPSHOT_MAX;
  ProcEntry *copy = new (std::nothrow) ProcEntry[count > 0 ? count : 1]();
  if (copy == nullptr) return;
  for (int32_t i = 0; i < count; i++) {
    const ProcEntry &from = db->Process[i];
    ProcEntry &to = copy[i];
    to.StartUp = from.StartUp;
    to.HealthCheck = from.HealthCheck;
    memcpy(to.PidPath, from.PidPath, sizeof to.PidPath);
    memcpy(to.ExecPath, from.ExecPath, sizeof to.ExecPath);
    // The name points into the copy's own path, as in the table.
    to.procName = from.procName != nullptr ? to.ExecPath + (from.procName - from.ExecPath) : nullptr;
    to.TmrHlthChk = from.TmrHlthChk;
    to.FlgHlthChk.store(from.FlgHlthChk.load());
    to.TmrAlive = from.TmrAlive;
    to.CntAlive = from.CntAlive;
    to.TimHlthChk.store(from.TimHlthChk.load());
    to.PidAlive = from.PidAlive;
    to.CntRespawn = from.CntRespawn;
  }
  gSnap.Process = copy;
  gSnap.NumProcess = count;
  gSnap.Total = total;
  gSnap.AliveWatch = db->AliveWatch;
  gSnap.TakenMs = MonotonicMs();
}

}  // namespace

void StatusNoteDaemonStart() { gStatusInfo.StartMs.store(MonotonicMs()); }

void StatusNoteLastShutdown(const char *record) {
  // Cut on purpose: the line is only shown, and every record line fits.
  int n = snprintf(gStatusInfo.LastShutdown, sizeof gStatusInfo.LastShutdown, "%s", record);
  (void)n;
}

void StatusNoteWdtBootStatus(bool answered, int flags) {
  gStatusInfo.WdtBootFlags = answered && flags >= 0 ? flags : -1;
  gStatusInfo.WdtBootAsked = 1;
}

void StatusNoteConfigRead(const char *path, int result) {
  StatusInfo &info = gStatusInfo;
  // Cut on purpose (see ReadPath); the path is only shown.
  int n = snprintf(info.ReadPath, sizeof info.ReadPath, "%s", path != nullptr ? path : "");
  (void)n;
  info.ReadMs = MonotonicMs();
  struct timeval now;
  gettimeofday(&now, nullptr);
  info.ReadWallSec = static_cast<int64_t>(now.tv_sec);
  info.ReadResult = result;
  if (info.CntRead < INT32_MAX) info.CntRead++;
}

void StatusTerminationBegin(int mode, const char *reason) {
  StatusInfo &info = gStatusInfo;
  info.TermRunning.fetch_add(1);
  // Only the first termination writes the fields, so a reader that saw
  // TermPublished never reads them while they change.
  if (info.CntTerm.fetch_add(1) == 0) {
    info.TermMode = mode;
    info.TermStartMs = MonotonicMs();
    // Cut on purpose: the reason is only shown.
    int n = snprintf(info.TermReason, sizeof info.TermReason, "%s", reason != nullptr ? reason : "");
    (void)n;
    info.TermPublished.store(1, std::memory_order_release);
  }
}

void StatusTerminationEnd() { gStatusInfo.TermRunning.fetch_sub(1); }

void StatusWatchTable(const ConfigDb *db) { gWatchedTable.store(db); }

void StatusSnapshotForTermination(const ConfigDb *db) {
  pthread_mutex_lock(&gSnapMutex);
  if (!gSnap.ForTermination) {
    TakeSnapshot(db);
    gSnap.ForTermination = true;
  }
  pthread_mutex_unlock(&gSnapMutex);
}

void StatusRespawnBegin(const ProcEntry *entry, const char *command) {
  const ConfigDb *db = gWatchedTable.load();
  pthread_mutex_lock(&gSnapMutex);
  gSnap.RespawnIndex = -1;
  // Only an entry of the watched table has an index the reply can show; a
  // termination's snapshot stays as it was taken.
  if (db != nullptr && db->Process != nullptr && entry >= db->Process && entry < db->Process + db->NumProcess) {
    if (!gSnap.ForTermination) TakeSnapshot(db);
    gSnap.RespawnIndex = static_cast<int32_t>(entry - db->Process);
    gSnap.RespawnStartMs = MonotonicMs();
    // Cut on purpose: the command is only shown.
    int n = snprintf(gSnap.RespawnCommand, sizeof gSnap.RespawnCommand, "%s", command);
    (void)n;
  }
  pthread_mutex_unlock(&gSnapMutex);
}

void StatusRespawnEnd() {
  pthread_mutex_lock(&gSnapMutex);
  gSnap.RespawnIndex = -1;
  if (!gSnap.ForTermination) {
    delete[] gSnap.Process;
    gSnap.Process = nullptr;
    gSnap.NumProcess = 0;
  }
  pthread_mutex_unlock(&gSnapMutex);
}

const StatusSnapshot *AcquireStatusSnapshot() {
  pthread_mutex_lock(&gSnapMutex);
  return &gSnap;
}

void ReleaseStatusSnapshot() { pthread_mutex_unlock(&gSnapMutex); }

void StatusSnapshotClear() {
  pthread_mutex_lock(&gSnapMutex);
  delete[] gSnap.Process;
  gSnap.Process = nullptr;
  gSnap.NumProcess = 0;
  gSnap.ForTermination = false;
  gSnap.RespawnIndex = -1;
  pthread_mutex_unlock(&gSnapMutex);
}
