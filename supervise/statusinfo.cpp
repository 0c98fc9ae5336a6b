// The facts the status server reports beside the table. Written by main,
// the receiver and every termination; read by the status server (see the
// header for which lock, if any, guards each).
#include "supervise/statusinfo.h"

#include <sys/time.h>

#include <cstdio>

#include "common/clock.h"

StatusInfo gStatusInfo;

void StatusNoteDaemonStart() { gStatusInfo.StartMs.store(MonotonicMs()); }

void StatusNoteLastShutdown(const char *record) {
  // Cut on purpose: the line is only shown, and every record line fits.
  int n = snprintf(gStatusInfo.LastShutdown, sizeof gStatusInfo.LastShutdown, "%s", record);
  (void)n;
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
