// SPDX-License-Identifier: MIT
// System termination and the power LED. Both threads that may call
// DoSystemTerminate may call it at once; the first call brings the board
// down and a later one only waits for it. Threads: see docs/design.md.
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
#include "supervise/mainloop.h"
#include "supervise/procscan.h"
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
// How often a later termination looks whether the first one has returned.
constexpr int kLaterPollSeconds = 1;
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
  const int readResult = ReadRebootRecords(db->RebootRecord, &records);
  if (readResult != 0) {
    char text[128];
    LOG_AS(kUnit, kTerminate, LOG_ERR, "Reboot record read fail! [%s] : %s", db->RebootRecord,
           RebootRecordFailText(readResult, text, sizeof text));
    return mode;
  }
  RebootRecordStamp now;
  RebootRecordStampNow(&now);
  const int reboots = CountRecentReboots(&records, &now, db->LoopLimitWindow);
  if (reboots < db->LoopLimitCount) return mode;
  int n = snprintf(loopReason, kLoopReasonSize, "%s (reboot loop: %d reboots in %d sec)", reason, reboots,
                   static_cast<int>(db->LoopLimitWindow));
  (void)n;
  return TERM_SAFEMODE;
}

// One sweep over the MANAGE and RESPAWN entries: finds each process with
// "pidof -s", or in the daemon under the "proc" alive check, and sends it signo (0 sends nothing). Returns whether any
// process was found. MONITOR processes are never signalled.
bool Sweep(const ConfigDb *db, int signo) {
  bool found = false;
  if (db->Process == nullptr) return false;
  for (int32_t i = 0; i < db->NumProcess; ++i) {
    const ProcEntry *entry = &db->Process[i];
    if (entry->StartUp == MONITOR) continue;
    char command[kCommandSize];
    char output[kCommandSize];
    // Each command is a step of its own: a pidof that never returns stops
    // the refreshes, a long table of quick ones does not.
    TerminationProgress();
    int n = snprintf(command, sizeof command, "pidof -s %s", entry->procName);
    if (n < 0 || n >= kCommandSize) {
      // A cut name could match some other process.
      LOG_AS(kUnit, kTerminate, LOG_ERR, "Cmd exec fail : %s", command);
      continue;
    }
    int result = FindSweepPid(db->AliveCheck, entry, command, output, sizeof output);
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

// The termination's own refreshes stop with the watchdog thread's once a
// step has been judged stalled.
void TermKeepAlive() {
  if (!RefreshStopped()) WdtKeepAlive();
}

void RunCommand(const char *command) {
  TerminationProgress();
  CmdSystem(command);
}

}  // namespace

const char *TermModeName(int mode) {
  switch (mode) {
    case TERM_POWEROFF:
      return "poweroff";
    case TERM_SAFEMODE:
      return "safemode";
    default:
      return "reboot";
  }
}

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
  if (reason == nullptr) reason = "";
  // One termination brings the board down. A second one (a request while
  // the pass terminates, or the pass seeing the swept processes gone) would
  // log and record again and could turn the reboot into a safe-mode reboot.
  if (!TerminationBegins()) {
    LOG_AT(kUnit, LOG_WARNING, "System down already in progress : %s", reason);
    while (!TerminationOver() && StopFlag.load() == 0) SleepSeconds(kLaterPollSeconds);
    return;
  }
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
  TerminationProgress();
  const int written = db->RebootRecord[0] == '\0'
                          ? 0
                          : WriteRebootRecord(db->RebootRecord, static_cast<int64_t>(time(nullptr)), mode, recorded);
  if (written != 0) {
    char text[128];
    LOG_AT(kUnit, LOG_ERR, "Reboot record write fail! [%s] : %s", db->RebootRecord,
           RebootRecordFailText(written, text, sizeof text));
  }
  TerminationProgress();
  SetupPowerLed(LED_SYSTEM_DOWN);
  TermKeepAlive();

  Sweep(db, SIGTERM);
  // Grace wait: one sweep a second, SIGKILL only in the last one. The
  // counter is 64-bit so a TermTimeout near the top of the range ends.
  for (int64_t t = 0; t <= static_cast<int64_t>(db->TermTimeout); ++t) {
    SleepSeconds(1);
    TerminationProgress();
    TermKeepAlive();
    // The thread that runs this termination (often the cyclic thread) is
    // kept here until the board is down.
    WdtReport();
    bool last = t == static_cast<int64_t>(db->TermTimeout);
    if (!Sweep(db, last ? SIGKILL : 0)) break;
  }

  TermKeepAlive();
  WdtClose();

  switch (mode) {
    case TERM_POWEROFF:
      RunCommand("poweroff");
      break;
    case TERM_SAFEMODE:
      // The reboot follows whatever the board tool returned.
      RunCommand("rescueMark");
      RunCommand("reboot");
      break;
    default:
      RunCommand("reboot");
      break;
  }
  TerminationFinalWait();
  // The system's own shutdown stops the daemon with SIGTERM; with the
  // watchdog closed, the exit must not wait out the rest of the minute
  // before the file systems can be unmounted.
  for (int waited = 0; waited < kFinalWaitSeconds && StopFlag.load() == 0; ++waited) SleepSeconds(1);
  TerminationEnded();
  StatusTerminationEnd();
}
