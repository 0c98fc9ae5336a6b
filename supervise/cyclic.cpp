// SPDX-License-Identifier: MIT
// The once-a-second supervision pass and the power-switch hooks, run by the
// cyclic thread, which also logs what the watchdog thread has noted
// (WdtReport). Threads: the pass holds ThreadArg.Mutex; see docs/design.md.
#include "supervise/cyclic.h"

#include <sys/time.h>

#include <cstdint>
#include <cstdio>

#include "common/sleep.h"
#include "supervise/alive.h"
#include "supervise/stall.h"
#include "supervise/statusinfo.h"
#include "supervise/watchdog.h"

namespace {

constexpr const char *kUnit = "supervise";
// Entries beyond this index are named "unknown" in the reason text.
constexpr int kLastNamedIndex = 99;

// One second less on a timer; stops at the bottom of the range instead of
// overflowing (an expired timer stays expired either way).
void CountDown(int32_t *timer) {
  if (*timer > INT32_MIN) --*timer;
}

// The walk over the table; the caller holds the mutex.
int SuperviseWalk(ConfigDb *db, int *index) {
  *index = -1;
  if (db->Process == nullptr) return SUPERVISE_OK;
  for (int32_t i = 0; i < db->NumProcess; ++i) {
    ProcEntry *entry = &db->Process[i];
    // The health check is judged before the alive check, and the first
    // failure ends the walk with the entry's timers left expired.
    if (entry->HealthCheck != 0) {
      CountDown(&entry->TmrHlthChk);
      if (entry->TmrHlthChk <= 0) {
        // One atomic exchange: a health check that the receiver records at
        // this moment is either seen here or counts for the new window.
        if (entry->FlgHlthChk.exchange(1) != 0) {
          *index = i;
          return SUPERVISE_NO_HEALTH_CHECK;
        }
        entry->TmrHlthChk = entry->HealthCheck;
      }
    }
    if (entry->PidPath[0] != '\0' && db->AliveWatch > 0) {
      CountDown(&entry->TmrAlive);
      if (entry->TmrAlive <= 0) {
        if (SuperviseProcessAlive(entry, db->AliveCheck) != 0) {
          *index = i;
          return SUPERVISE_DEAD;
        }
        entry->TmrAlive = db->AliveWatch;
      }
    }
  }
  return SUPERVISE_OK;
}

}  // namespace

void BuildDownReason(const ConfigDb *db, int result, int index, char *reason) {
  const char *name = "unknown";
  if (index >= 0 && index <= kLastNamedIndex && index < db->NumProcess && db->Process != nullptr &&
      db->Process[index].procName != nullptr) {
    name = db->Process[index].procName;
  }
  // Cut to the buffer on purpose: the reason is a log text.
  int n = snprintf(reason, SUPERVISE_REASON_SIZE, "Detect that the process [%s] %s.", name,
                   result == SUPERVISE_DEAD ? "was dead" : "did not sent health check");
  (void)n;
}

int SuperviseProcess(ThreadArg *arg, int *index, TerminateAction terminate) {
  bool locked = LockTable(arg, kUnit, __func__, __LINE__);
  PassProgress();
  // Once the board is going down the sweeps stop the processes and the
  // receiver no longer reads health checks: judging them would only start
  // a second termination.
  int result = SUPERVISE_OK;
  if (TerminationBegun()) {
    *index = -1;
    // A termination on the receiver thread walks the table without holding
    // it: the copy for the status is taken here, where the table is held.
    StatusSnapshotForTermination(arg->Config);
  } else {
    result = SuperviseWalk(arg->Config, index);
  }
  if (result != SUPERVISE_OK && terminate != nullptr) {
    char reason[SUPERVISE_REASON_SIZE];
    BuildDownReason(arg->Config, result, *index, reason);
    // The termination holds the table until the board is down.
    StatusSnapshotForTermination(arg->Config);
    terminate(TERM_REBOOT, arg->Config, reason);
  }
  UnlockTable(arg, locked, kUnit, __func__, __LINE__);
  PassProgress();
  return result;
}

// This board reports no power-button push; the hooks stay so that a board
// with a readable button only has to fill them in.
void PowerSwInit() {}
void PowerSwExit() {}
int PowerSwPushed() { return 0; }

void *CyclicThread(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  struct timeval started;
  gettimeofday(&started, nullptr);
  gDebugInfo.PowerSwTimeSec.store(static_cast<long long>(started.tv_sec));
  gDebugInfo.PowerSwTimeUsec.store(static_cast<long>(started.tv_usec));

  PowerSwInit();
  while (arg->Stop->load() == 0) {
    SleepSeconds(1);
    // Outside the table's lock: a log that blocks holds up this thread, but
    // neither the watchdog thread nor anyone waiting for the table.
    WdtReport();
    int index = -1;
    (void)SuperviseProcess(arg, &index, DoSystemTerminate);

    if (PowerSwPushed() != 0) {
      bool locked = LockTable(arg, kUnit, __func__, __LINE__);
      PassProgress();
      StatusSnapshotForTermination(arg->Config);
      DoSystemTerminate(TERM_POWEROFF, arg->Config, "Power button was pushed by user.");
      UnlockTable(arg, locked, kUnit, __func__, __LINE__);
    }
  }
  PowerSwExit();
  return nullptr;
}
