// The once-a-second supervision pass and the power-switch hooks, run by the
// cyclic thread. The pass holds ThreadArg.Mutex for its whole walk; only
// FlgHlthChk is shared with the receiver thread outside that lock.
#include "supervise/cyclic.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/cmdexec.h"
#include "common/fd.h"
#include "common/log.h"
#include "supervise/terminate.h"

namespace {

constexpr const char *kUnit = "supervise";
constexpr int kCommandSize = CONFIG_TEXT_SIZE;
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
        if (SuperviseProcessAlive(entry) != 0) {
          *index = i;
          return SUPERVISE_DEAD;
        }
        entry->TmrAlive = db->AliveWatch;
      }
    }
  }
  return SUPERVISE_OK;
}

// Formats a shell command; a command that does not fit is not run.
bool FormatCommand(char *command, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool FormatCommand(char *command, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(command, kCommandSize, format, args);
  va_end(args);
  return n >= 0 && n < kCommandSize;
}

// Appends text to a command of kCommandSize bytes, cutting what does not
// fit; *length is the command's length so far.
void AppendCut(char *command, size_t *length, const char *text) {
  while (*text != '\0' && *length + 1 < static_cast<size_t>(kCommandSize)) command[(*length)++] = *text++;
  command[*length] = '\0';
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

int SuperviseProcess(ThreadArg *arg, int *index) {
  bool locked = LockTable(arg, kUnit, __func__);
  int result = SuperviseWalk(arg->Config, index);
  UnlockTable(arg, locked, kUnit, __func__);
  return result;
}

int SuperviseProcessAlive(ProcEntry *entry) {
  char command[kCommandSize];
  char output[kCommandSize];
  int32_t pid = -1;
  int32_t count = -1;

  if (!FormatCommand(command, "cat %s", entry->PidPath) || CmdExec(command, output, sizeof output) != CMD_OK) {
    LOG_AT(kUnit, LOG_ERR, "Cmd exec fail : %s", command);
    goto respawn;
  }
  if (Str2Num(output, 10, &pid) != 0) {
    LOG_AT(kUnit, LOG_ERR, "Str2Num convert error [%s] : %s", output, command);
    pid = -1;
  }
  if (pid < 0) {
    LOG_AT(kUnit, LOG_ERR, "Illegal PID file [%s:%s]", entry->procName, entry->PidPath);
    goto respawn;
  }

  if (!FormatCommand(command, "%s|grep '%s'|egrep '^ *%d '|grep -v grep|wc -l", PsCommand, entry->procName,
                     static_cast<int>(pid)) ||
      CmdExec(command, output, sizeof output) != CMD_OK) {
    LOG_AT(kUnit, LOG_ERR, "Cmd exec fail : %s", command);
    goto respawn;
  }
  if (Str2Num(output, 10, &count) != 0) {
    LOG_AT(kUnit, LOG_ERR, "Str2Num convert error [%s] : %s", output, command);
    count = -1;
  }
  if (count == 1) {
    entry->CntAlive = 0;
    return 0;
  }
  LOG_AT(kUnit, LOG_ERR, "Process [%s:%d] was not found", entry->procName, static_cast<int>(pid));

respawn:
  // One failure in a row is forgiven (and a RESPAWN entry restarted); the
  // second one reports the process as dead.
  if (entry->CntAlive < 1) {
    SuperviseProcessAlive_Respawn(entry, command);
    entry->CntAlive++;
    return 0;
  }
  return 1;
}

int SuperviseProcessAlive_Respawn(ProcEntry *entry, char *command) {
  if (entry->StartUp != RESPAWN) return 0;
  // The program is named by its base name alone and found through the
  // shell's search path; the whole command is cut to the buffer.
  size_t length = 0;
  AppendCut(command, &length, entry->procName);
  AppendCut(command, &length, " ");
  AppendCut(command, &length, entry->Option);
  int status = system(command);
  (void)status;
  LOG_AT(kUnit, LOG_WARNING, "Respawn: %s ", command);
  return 0;
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
    // The mutex stays held from the pass through a termination it starts,
    // so a re-read can neither release the failing entry's name nor the
    // table that the termination walks.
    bool locked = LockTable(arg, kUnit, "SuperviseProcess");
    int index = -1;
    int result = SuperviseWalk(arg->Config, &index);
    if (result != SUPERVISE_OK) {
      char reason[SUPERVISE_REASON_SIZE];
      BuildDownReason(arg->Config, result, index, reason);
      DoSystemTerminate(TERM_REBOOT, arg->Config, reason);
    }
    UnlockTable(arg, locked, kUnit, "SuperviseProcess");

    if (PowerSwPushed() != 0) {
      locked = LockTable(arg, kUnit, __func__);
      DoSystemTerminate(TERM_POWEROFF, arg->Config, "Power button was pushed by user.");
      UnlockTable(arg, locked, kUnit, __func__);
    }
  }
  PowerSwExit();
  return nullptr;
}
