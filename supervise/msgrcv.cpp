// SPDX-License-Identifier: MIT
// The control-queue receiver: MsgRcvThread and the handling of one message.
// Runs on the receiver thread only.
#include "supervise/msgrcv.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "common/clock.h"
#include "common/errtext.h"
#include "common/log.h"
#include "common/sleep.h"
#include "readconfig/readconfig.h"
#include "supervise/controlgroup.h"
#include "supervise/requester.h"
#include "supervise/statusinfo.h"
#include "supervise/terminate.h"

static_assert(std::is_trivially_copyable_v<CtrlMsg>, "CtrlMsg goes through msgsnd/msgrcv as bytes");

const MsgActions DaemonMsgActions = {DoSystemTerminate, ReadConfigFrom};

namespace {
constexpr const char *kUnit = "supervise";
// Handling a message is the receiver's work, whichever helper does it, and is
// reported under the receiver's name.
constexpr const char *kReceiver = "MsgRcvThread";

// Pause after a receive error that would only repeat at once.
constexpr int kErrorBackoffSeconds = 1;

// Copies a fixed field that may lack its terminator into a buffer one byte
// larger, so the copy always ends with NUL and nothing past the field is read.
template <size_t N>
void CopyField(char (&target)[N + 1], const char (&field)[N]) {
  size_t length = strnlen(field, N);
  memcpy(target, field, length);
  target[length] = '\0';
}

void RereadConfig(const char *path, ThreadArg *arg, const MsgActions *actions) {
  LOG_AS(kUnit, kReceiver, LOG_NOTICE, "Re-read config request received");
  bool locked = LockTable(arg, kUnit, kReceiver, __LINE__);
  // Any local user may send the request. Only the daemon's own file (the one
  // SIGHUP asks for) is read as at start-up; any other path is read only
  // when nobody but root can have written the file.
  const bool own = arg->ConfigPath != nullptr && strcmp(path, arg->ConfigPath) == 0;
  // A failed re-read has been reported by the reader; the receiver goes on
  // with whatever table it left, and the status tells which file it was.
  int result = actions->Reread(path, own ? CONFIG_NAMED_BY_ROOT : CONFIG_NAMED_BY_ANYONE, arg->Config);
  StatusNoteConfigRead(path, result);
  if (result == 0) (void)ApplyControlGroup(arg->QueId, arg->Config);
  UnlockTable(arg, locked, kUnit, kReceiver, __LINE__);
}

// The received message at the head of the queue is larger than a CtrlMsg:
// every plain receive fails with E2BIG until it is gone, so take it out.
void DropOversizedMessage(int queId) {
  CtrlMsg scratch;
  memset(&scratch, 0, sizeof scratch);
  if (msgrcv(queId, &scratch, CTRLMSG_TEXT_SIZE, 0, MSG_NOERROR | IPC_NOWAIT) < 0) {
    char text[128];
    LOG_AS(kUnit, kReceiver, LOG_ERR, "MSG Queue receive error! [%s]", ErrText(errno, text, sizeof text));
    SleepSeconds(kErrorBackoffSeconds);
    return;
  }
  LOG_AS(kUnit, kReceiver, LOG_WARNING, "MSG Queue oversized message dropped! [%ld]", scratch.type);
}
}  // namespace

void RecvHealthCheck(const CtrlMsg *msg, ThreadArg *arg) {
  ConfigDb *db = arg->Config;
  // Whole, case-sensitive names: "app" does not answer for "app2" or "App";
  // of two entries with one name, the first answers.
  int32_t found = FindProcessByName(db, msg->name, strnlen(msg->name, CTRLMSG_NAME_SIZE));
  if (found >= 0) {
    db->Process[found].TimHlthChk.store(MonotonicMs());
    db->Process[found].FlgHlthChk.store(0);
    return;
  }
  char name[CTRLMSG_NAME_SIZE + 1];
  CopyField<CTRLMSG_NAME_SIZE>(name, msg->name);
  LOG_AT(kUnit, LOG_WARNING, "No match processes in health check [%s]", name);
}

int HandleCtrlMsg(const CtrlMsg *msg, ThreadArg *arg, const MsgActions *actions) {
  char name[CTRLMSG_NAME_SIZE + 1];
  char payload[CTRLMSG_PAYLOAD_SIZE + 1];
  CopyField<CTRLMSG_NAME_SIZE>(name, msg->name);
  CopyField<CTRLMSG_PAYLOAD_SIZE>(payload, msg->payload);

  switch (msg->type) {
    case MSGID_HEALTH_CHECK:
      RecvHealthCheck(msg, arg);
      break;
    case MSGID_REBOOT:
    case MSGID_REBOOT_SAFE: {
      // Both fields are bounded, so the reason always fits; the buffer size
      // would cut it otherwise.
      char reason[REBOOT_REASON_SIZE];
      int mode = TERM_REBOOT;
      if (msg->type == MSGID_REBOOT) {
        snprintf(reason, sizeof reason, "Reboot request from application [%s] : %s", name, payload);
      } else {
        mode = TERM_SAFEMODE;
        snprintf(reason, sizeof reason, "Reboot to Safe-mode request from application [%s] : %s", name,
                 payload);
      }
      // The receiver is the only thread that re-reads, so the table cannot
      // be released while the termination walks it.
      actions->Terminate(mode, arg->Config, reason);
      break;
    }
    case MSGID_REREAD_CONFIG:
      RereadConfig(payload, arg, actions);
      break;
    case MSGID_STOP:
      // Any local user may write to the queue: a stop message counts only
      // once the daemon itself is stopping, else it would silence health
      // checks and re-reads for good while the watchdog is still fed.
      if (arg->Stop->load() != 0) return MSG_DONE;
      [[fallthrough]];
    default:
      // The type is a long; print all of it on every target.
      LOG_AS(kUnit, kReceiver, LOG_ERR, "MSG Queue receive illegal ID! [%ld]", msg->type);
      break;
  }
  return MSG_CONTINUE;
}

void *MsgRcvThread(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  int done = 0;
  while (!done) {
    // Zeroed before every receive: a short message leaves the rest of the
    // text as zeros, never as the previous message's bytes.
    CtrlMsg msg;
    memset(&msg, 0, sizeof msg);
    if (msgrcv(arg->QueId, &msg, CTRLMSG_TEXT_SIZE, 0, 0) < 0) {
      int error = errno;
      char text[128];
      LOG_AT(kUnit, LOG_ERR, "MSG Queue receive error! [%s]", ErrText(error, text, sizeof text));
      switch (error) {
        case EINTR:
          // A signal handler ran on this thread; the kernel never restarts
          // msgrcv, so simply wait again.
          break;
        case E2BIG:
          DropOversizedMessage(arg->QueId);
          break;
        case EIDRM:
        case EINVAL:
          // The queue is gone: no message, not even the stop message, can
          // reach this thread any more.
          LOG_AT(kUnit, LOG_ERR, "MSG Queue removed, message receiver stops");
          done = 1;
          break;
        default:
          SleepSeconds(kErrorBackoffSeconds);
          break;
      }
      continue;
    }
    // The queue names its last sender: read at once, before another send
    // can replace it.
    if (msg.type == MSGID_REBOOT || msg.type == MSGID_REBOOT_SAFE) NoteRequester(arg->QueId);
    done = HandleCtrlMsg(&msg, arg, &DaemonMsgActions) == MSG_DONE;
    ClearRequester();
  }
  return nullptr;
}
