// System termination and the power LED. DoSystemTerminate runs on the
// cyclic thread (which holds ThreadArg.Mutex meanwhile) or on the receiver
// thread (the only one that re-reads the table), so the table it walks stays
// in place; two terminations may run at once.
#include "supervise/terminate.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "common/cmdexec.h"
#include "common/errtext.h"
#include "common/fd.h"
#include "common/sleep.h"
#include "common/log.h"
#include "supervise/rebootrecord.h"
#include "supervise/requester.h"
#include "supervise/stall.h"
#include "supervise/statusinfo.h"
#include "supervise/watchdog.h"

namespace {

constexpr const char *kUnit = "supervise";
// The sweeps are steps of the termination and report under its name.
constexpr const char *kTerminate = "DoSystemTerminate";
constexpr const char *kPowerLedDevice = "/dev/pow_led";
constexpr int kCommandSize = CONFIG_TEXT_SIZE;
constexpr int kFinalWaitSeconds = 60;
// A reason with the reboot-loop note appended; cut to the buffer on purpose,
// as it is a log text.
constexpr int kLoopReasonSize = 384;
// The reason with the sender of a reboot request, for the record and the
// status (the log keeps the reason alone); cut on purpose.
constexpr int kNamedReasonSize = kLoopReasonSize + REQUESTER_SIZE + 2;

// A reboot that would make one too many within the loop window becomes a
// safe-mode reboot, and the reason says so. Power-offs and safe-mode
// reboots are left as they are.
int CheckRebootLoop(int mode, const ConfigDb *db, const char *reason, char *loopReason) {
  if (mode == TERM_POWEROFF || mode == TERM_SAFEMODE) return mode;
  if (db->RebootRecord[0] == '\0' || db->LoopLimitCount <= 0 || db->LoopLimitWindow <= 0) return mode;
  RebootRecordLines records;
  if (ReadRebootRecords(db->RebootRecord, &records) != 0) {
    char text[128];
    LOG_AS(kUnit, kTerminate, LOG_ERR, "Reboot record read fail! [%s] : %s", db->RebootRecord,
           ErrText(errno, text, sizeof text));
    return mode;
  }
  const int reboots = CountRecentReboots(&records, static_cast<int64_t>(time(nullptr)), db->LoopLimitWindow);
  if (reboots < db->LoopLimitCount) return mode;
  int n = snprintf(loopReason, kLoopReasonSize, "%s (reboot loop: %d reboots in %d sec)", reason, reboots,
                   static_cast<int>(db->LoopLimitWindow));
  (void)n;
  return TERM_SAFEMODE;
}

// One sweep over the MANAGE and RESPAWN entries: finds each process with
// "pidof -s" and sends it signo (0 sends nothing). Returns whether any
// process was found. MONITOR processes are never signalled.
bool Sweep(const ConfigDb *db, int signo) {
  bool found = false;
  if (db->Process == nullptr) return false;
  for (int32_t i = 0; i < db->NumProcess; ++i) {
    const ProcEntry *entry = &db->Process[i];
    if (entry->StartUp == MONITOR) continue;
    char command[kCommandSize];
    char output[kCommandSize];
    int n = snprintf(command, sizeof command, "pidof -s %s", entry->procName);
    if (n < 0 || n >= kCommandSize) {
      // A cut name could match some other process.
      LOG_AS(kUnit, kTerminate, LOG_ERR, "Cmd exec fail : %s", command);
      continue;
    }
    int result = CmdExec(command, output, sizeof output);
    if (result == CMD_NO_OUTPUT) continue;
    if (result == CMD_NO_COMMAND || result == CMD_PIPE_FAIL) {
      LOG_AS(kUnit, kTerminate, LOG_ERR, "Cmd exec fail : %s", command);
      continue;
    }
    found = true;
    int32_t pid = 0;
    // kill() with 0 or a negative number would reach a whole process group
    // or every process, and the daemon must not stop itself before the
    // reboot: such output counts as no usable pid.
    if (Str2Num(output, 10, &pid) != 0 || pid <= 0 || pid == getpid()) {
      LOG_AS(kUnit, kTerminate, LOG_ERR, "Str2Num convert error [%s] : %s", output, command);
      continue;
    }
    if (signo != 0) (void)kill(static_cast<pid_t>(pid), signo);
  }
  return found;
}

}  // namespace

void SetupPowerLed(int first, int second) {
  UniqueFd led(open(kPowerLedDevice, O_RDWR | O_CLOEXEC));
  if (!led.valid()) {
    LOG_AT(kUnit, LOG_ERR, "PWR-LED open fail");
    return;
  }
  LedCmd command{first, second};
  // What the driver makes of the pair is its own business.
  (void)ioctl(led.get(), POWER_LED_REQUEST, &command);
}

void DoSystemTerminate(int mode, ConfigDb *db, const char *reason) {
  // The pass that started this termination holds the table until the board
  // is down; that is no stall.
  TerminationStarted();
  if (reason == nullptr) reason = "";
  char loopReason[kLoopReasonSize];
  const int given = mode;
  mode = CheckRebootLoop(mode, db, reason, loopReason);
  if (mode != given) reason = loopReason;
  char namedReason[kNamedReasonSize];
  const char *requester = CurrentRequester();
  const char *recorded = reason;
  if (requester[0] != '\0') {
    int n = snprintf(namedReason, sizeof namedReason, "%s, %s", reason, requester);
    (void)n;
    recorded = namedReason;
  }
  StatusTerminationBegin(mode, recorded);
  LOG_AT(kUnit, LOG_WARNING, "System down reason : %s", reason);
  // The record is written first, while the watchdog thread still refreshes
  // the device: a termination that hangs in a sweep, or a power cut during
  // the grace wait, still leaves the reason behind.
  if (db->RebootRecord[0] != '\0' &&
      WriteRebootRecord(db->RebootRecord, static_cast<int64_t>(time(nullptr)), mode, recorded) != 0) {
    char text[128];
    LOG_AT(kUnit, LOG_ERR, "Reboot record write fail! [%s] : %s", db->RebootRecord, ErrText(errno, text, sizeof text));
  }
  SetupPowerLed(LED_SYSTEM_DOWN);
  WdtKeepAlive();

  Sweep(db, SIGTERM);
  // Grace wait: one sweep a second, SIGKILL only in the last one. The
  // counter is 64-bit so a TermTimeout near the top of the range ends.
  for (int64_t t = 0; t <= static_cast<int64_t>(db->TermTimeout); ++t) {
    SleepSeconds(1);
    WdtKeepAlive();
    bool last = t == static_cast<int64_t>(db->TermTimeout);
    if (!Sweep(db, last ? SIGKILL : 0)) break;
  }

  WdtKeepAlive();
  WdtClose();

  switch (mode) {
    case TERM_POWEROFF:
      CmdSystem("poweroff");
      break;
    case TERM_SAFEMODE:
      // The reboot follows whatever the board tool returned.
      CmdSystem("rescueMark");
      CmdSystem("reboot");
      break;
    default:
      CmdSystem("reboot");
      break;
  }
  SleepSeconds(kFinalWaitSeconds);
  StatusTerminationEnd();
}
