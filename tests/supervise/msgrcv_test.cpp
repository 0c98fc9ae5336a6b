// The control-queue receiver: each message type, health-check name matching,
// fields without terminators, short and oversized messages, a removed queue.
// Reboot types reach only a recording stand-in for the termination.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "supervise/msgrcv.h"
#include "supervise/terminate.h"

namespace {

struct Line {
  int priority;
  std::string text;
};
std::mutex gLinesMutex;
std::vector<Line> gLines;

void Capture(int priority, const char *line) {
  std::lock_guard<std::mutex> lock(gLinesMutex);
  gLines.push_back({priority, line});
}

std::vector<Line> Lines() {
  std::lock_guard<std::mutex> lock(gLinesMutex);
  return gLines;
}

// What the stand-in actions saw.
struct Seen {
  int terminations = 0;
  int mode = 0;
  std::string reason;
  int rereads = 0;
  std::string path;
  bool heldLock = false;
};
Seen gSeen;
ThreadArg *gArgForActions = nullptr;

void FakeTerminate(int mode, ConfigDb *, const char *reason) {
  gSeen.terminations++;
  gSeen.mode = mode;
  gSeen.reason = reason;
}

int FakeReread(const char *path, ConfigDb *) {
  gSeen.rereads++;
  gSeen.path = path;
  // The lock is held by the re-read itself when trylock fails with EBUSY.
  if (gArgForActions != nullptr) {
    int rc = pthread_mutex_trylock(&gArgForActions->Mutex);
    gSeen.heldLock = rc == EBUSY || rc == EDEADLK;
    if (rc == 0) pthread_mutex_unlock(&gArgForActions->Mutex);
  }
  return 0;
}

const MsgActions kFakeActions = {FakeTerminate, FakeReread};

class MsgRcv : public ::testing::Test {
 protected:
  void SetUp() override {
    gLines.clear();
    gSeen = Seen();
    LogHook = Capture;
    db_.Process = nullptr;
    db_.NumProcess = 0;
    arg_.QueId = -1;
    arg_.Stop = nullptr;
    arg_.Config = &db_;
    pthread_mutex_init(&arg_.Mutex, nullptr);
    gArgForActions = &arg_;
  }
  void TearDown() override {
    gArgForActions = nullptr;
    LogHook = nullptr;
    pthread_mutex_destroy(&arg_.Mutex);
    delete[] db_.Process;
    if (queue_ >= 0) msgctl(queue_, IPC_RMID, nullptr);
  }

  // Entries are named by ExecPath, procName pointing at its base name, and
  // start with the health-check flag armed.
  void Table(const std::vector<std::string> &execPaths) {
    db_.Process = new ProcEntry[execPaths.size()]();
    db_.NumProcess = static_cast<int32_t>(execPaths.size());
    for (size_t i = 0; i < execPaths.size(); i++) {
      ProcEntry &e = db_.Process[i];
      snprintf(e.ExecPath, sizeof e.ExecPath, "%s", execPaths[i].c_str());
      char *slash = strrchr(e.ExecPath, '/');
      e.procName = slash != nullptr ? slash + 1 : e.ExecPath;
      e.FlgHlthChk.store(1);
    }
  }
  std::vector<int> Flags() const {
    std::vector<int> flags;
    for (int i = 0; i < db_.NumProcess; i++) flags.push_back(db_.Process[i].FlgHlthChk.load());
    return flags;
  }
  static CtrlMsg Msg(long type, const char *name = "", const char *payload = "") {
    CtrlMsg msg;
    memset(&msg, 0, sizeof msg);
    msg.type = type;
    // Texts that fill a field are sent without terminator, as a sender may.
    memcpy(msg.name, name, strnlen(name, sizeof msg.name));
    memcpy(msg.payload, payload, strnlen(payload, sizeof msg.payload));
    return msg;
  }
  int Handle(const CtrlMsg &msg) { return HandleCtrlMsg(&msg, &arg_, &kFakeActions); }

  int OpenQueue() {
    queue_ = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    arg_.QueId = queue_;
    return queue_;
  }
  // Runs the real receiver thread; the result is ready once it has ended.
  std::future<void> StartReceiver() {
    return std::async(std::launch::async, [this] { MsgRcvThread(&arg_); });
  }

  ConfigDb db_{};
  ThreadArg arg_;
  int queue_ = -1;
};

TEST_F(MsgRcv, HealthCheckMatchesWholeCaseSensitiveNamesFirstEntryOnly) {
  struct Case {
    const char *name;
    std::vector<int> flags;  // after the message
    bool warned;
  };
  const Case cases[] = {
      {"app", {0, 1, 1, 1}, false},       // first of two "app" entries only
      {"app2", {1, 1, 0, 1}, false},      // not taken as "app" + junk
      {"ap", {1, 1, 1, 1}, true},         // a prefix is not a match
      {"App", {1, 1, 1, 1}, true},        // case matters
      {"app ", {1, 1, 1, 1}, true},       // trailing blank matters
      {"", {1, 1, 1, 1}, true},           // an empty name matches nothing
      {"daemon-x", {1, 1, 1, 0}, false},  // name without any directory
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    delete[] db_.Process;
    Table({"/usr/bin/app", "/opt/app", "/usr/bin/app2", "daemon-x"});
    gLines.clear();
    EXPECT_EQ(Handle(Msg(MSGID_HEALTH_CHECK, c.name)), MSG_CONTINUE);
    EXPECT_EQ(Flags(), c.flags);
    std::vector<Line> lines = Lines();
    if (c.warned) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].priority, LOG_WARNING);
      EXPECT_EQ(lines[0].text, std::string("No match processes in health check [") + c.name + "]");
    } else {
      EXPECT_TRUE(lines.empty());
    }
  }
}

TEST_F(MsgRcv, HealthCheckWithEmptyTableWarns) {
  Handle(Msg(MSGID_HEALTH_CHECK, "app"));
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0].text, "No match processes in health check [app]");
}

TEST_F(MsgRcv, NameFillingItsFieldIsReadAsExactly24Characters) {
  const std::string name24 = "abcdefghijklmnopqrstuvwx";
  Table({"/bin/" + name24, "/bin/" + name24 + "yz"});
  CtrlMsg msg = Msg(MSGID_HEALTH_CHECK);
  memcpy(msg.name, name24.data(), 24);  // no terminator
  memset(msg.payload, 'P', sizeof msg.payload);
  Handle(msg);
  EXPECT_EQ(Flags(), (std::vector<int>{0, 1}));

  // Unknown and unterminated: the warning shows the 24 bytes and nothing of
  // the payload behind them.
  gLines.clear();
  memcpy(msg.name, "zzzzzzzzzzzzzzzzzzzzzzzz", 24);
  Handle(msg);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0].text, "No match processes in health check [zzzzzzzzzzzzzzzzzzzzzzzz]");
}

TEST_F(MsgRcv, RebootRequestsCarryNameAndReason) {
  struct Case {
    long type;
    const char *name;
    const char *payload;
    int mode;
    std::string reason;
  };
  const Case cases[] = {
      {MSGID_REBOOT, "updater", "new firmware", TERM_REBOOT,
       "Reboot request from application [updater] : new firmware"},
      {MSGID_REBOOT_SAFE, "updater", "flash broken", TERM_SAFEMODE,
       "Reboot to Safe-mode request from application [updater] : flash broken"},
      {MSGID_REBOOT, "ui", "", TERM_REBOOT, "Reboot request from application [ui] : "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.reason);
    gSeen = Seen();
    EXPECT_EQ(Handle(Msg(c.type, c.name, c.payload)), MSG_CONTINUE);
    EXPECT_EQ(gSeen.terminations, 1);
    EXPECT_EQ(gSeen.mode, c.mode);
    EXPECT_EQ(gSeen.reason, c.reason);
  }
}

TEST_F(MsgRcv, UnterminatedFieldsStayWithinTheMessage) {
  // The message is the last thing in a larger buffer full of '#': nothing
  // of that may show up in the reason.
  struct Padded {
    CtrlMsg msg;
    char after[64];
  } padded;
  memset(&padded, '#', sizeof padded);
  padded.msg.type = MSGID_REBOOT_SAFE;
  memset(padded.msg.name, 'N', sizeof padded.msg.name);
  memset(padded.msg.payload, 'R', sizeof padded.msg.payload);
  Handle(padded.msg);
  std::string expected = "Reboot to Safe-mode request from application [" + std::string(24, 'N') +
                         "] : " + std::string(104, 'R');
  EXPECT_EQ(gSeen.reason, expected);
  EXPECT_LT(expected.size(), static_cast<size_t>(REBOOT_REASON_SIZE));
}

TEST_F(MsgRcv, RereadUsesThePayloadUnderTheMutex) {
  Handle(Msg(MSGID_REREAD_CONFIG, "ignored", "/etc/wardend.conf"));
  EXPECT_EQ(gSeen.rereads, 1);
  EXPECT_EQ(gSeen.path, "/etc/wardend.conf");
  EXPECT_TRUE(gSeen.heldLock);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0].priority, LOG_NOTICE);
  EXPECT_EQ(Lines()[0].text, "Re-read config request received");
  // Released afterwards.
  ASSERT_EQ(pthread_mutex_trylock(&arg_.Mutex), 0);
  pthread_mutex_unlock(&arg_.Mutex);

  // A path that fills all 104 bytes arrives whole and nothing more.
  CtrlMsg msg = Msg(MSGID_REREAD_CONFIG);
  std::string path = "/" + std::string(103, 'c');
  memcpy(msg.payload, path.data(), 104);
  Handle(msg);
  EXPECT_EQ(gSeen.path, path);
}

TEST_F(MsgRcv, RereadGoesAheadWhenTheLockFails) {
  // An error-checking mutex that this thread already holds refuses a second
  // lock: the failure is logged, the file read all the same, and the mutex
  // is not unlocked on the re-read's behalf.
  pthread_mutex_destroy(&arg_.Mutex);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(&arg_.Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  ASSERT_EQ(pthread_mutex_lock(&arg_.Mutex), 0);

  Handle(Msg(MSGID_REREAD_CONFIG, "", "/x.conf"));
  EXPECT_EQ(gSeen.rereads, 1);
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].priority, LOG_ERR);
  EXPECT_EQ(lines[1].text, "Thread mutex lock fail! [Resource deadlock avoided]");
  EXPECT_EQ(pthread_mutex_unlock(&arg_.Mutex), 0);  // still ours
}

TEST_F(MsgRcv, StopAndIllegalTypes) {
  EXPECT_EQ(Handle(Msg(MSGID_STOP)), MSG_DONE);
  EXPECT_TRUE(Lines().empty());

  const long illegal[] = {0, 6, -1, 0x7fffffffL, -0x7fffffffL - 1};
  for (long type : illegal) {
    gLines.clear();
    EXPECT_EQ(Handle(Msg(type, "x")), MSG_CONTINUE);
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0].priority, LOG_ERR);
    EXPECT_EQ(Lines()[0].text, "MSG Queue receive illegal ID! [" + std::to_string(type) + "]");
  }
  EXPECT_EQ(gSeen.terminations + gSeen.rereads, 0);
}

// The thread itself, on a private queue: messages in order, the stop message
// ends it even with others behind it, short messages read as zero-filled.
TEST_F(MsgRcv, ThreadHandlesQueuedMessagesUntilStop) {
  Table({"/bin/a", "/bin/b", "/bin/c"});
  ASSERT_GE(OpenQueue(), 0);
  CtrlMsg a = Msg(MSGID_HEALTH_CHECK, "a");
  // Only "c" and its terminator are sent; the receiver must not see the
  // 'X' bytes that follow in the sender's buffer.
  CtrlMsg c = Msg(MSGID_HEALTH_CHECK);
  memset(c.name, 'X', sizeof c.name);
  memcpy(c.name, "c", 2);
  CtrlMsg shortNoTerminator = Msg(MSGID_HEALTH_CHECK);
  memset(shortNoTerminator.name, 'b', sizeof shortNoTerminator.name);
  CtrlMsg stop = Msg(MSGID_STOP);
  CtrlMsg b = Msg(MSGID_HEALTH_CHECK, "b");
  ASSERT_EQ(msgsnd(queue_, &a, CTRLMSG_TEXT_SIZE, 0), 0);
  ASSERT_EQ(msgsnd(queue_, &c, 2, 0), 0);
  ASSERT_EQ(msgsnd(queue_, &shortNoTerminator, 1, 0), 0);  // "b", rest zeros
  ASSERT_EQ(msgsnd(queue_, &stop, 0, 0), 0);
  ASSERT_EQ(msgsnd(queue_, &b, CTRLMSG_TEXT_SIZE, 0), 0);  // behind the stop

  auto done = StartReceiver();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // "b" was cleared by the one-byte message, and the full "b" behind the
  // stop message is still queued.
  EXPECT_EQ(Flags(), (std::vector<int>{0, 0, 0}));
  struct msqid_ds info;
  ASSERT_EQ(msgctl(queue_, IPC_STAT, &info), 0);
  EXPECT_EQ(info.msg_qnum, 1u);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(MsgRcv, OversizedMessageIsDroppedAndReceivingGoesOn) {
  Table({"/bin/a"});
  ASSERT_GE(OpenQueue(), 0);
  struct Big {
    long type;
    char text[200];
  } big;
  big.type = MSGID_HEALTH_CHECK;
  memset(big.text, 0, sizeof big.text);
  memcpy(big.text, "a", 2);
  ASSERT_EQ(msgsnd(queue_, &big, sizeof big.text, 0), 0);
  CtrlMsg stop = Msg(MSGID_STOP);
  ASSERT_EQ(msgsnd(queue_, &stop, CTRLMSG_TEXT_SIZE, 0), 0);

  auto done = StartReceiver();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(Flags(), (std::vector<int>{1}));  // the oversized one was not acted on
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "MSG Queue receive error! [Argument list too long]");
  EXPECT_EQ(lines[0].priority, LOG_ERR);
  EXPECT_EQ(lines[1].text, "MSG Queue oversized message dropped! [1]");
  EXPECT_EQ(lines[1].priority, LOG_WARNING);
}

TEST_F(MsgRcv, RemovedQueueEndsTheThread) {
  ASSERT_GE(OpenQueue(), 0);
  auto done = StartReceiver();
  // Let the receiver block in msgrcv first (harmless if it has not yet: the
  // receive then fails with EINVAL instead of EIDRM).
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_EQ(msgctl(queue_, IPC_RMID, nullptr), 0);
  queue_ = -1;
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text.rfind("MSG Queue receive error! [", 0), 0u);
  EXPECT_EQ(lines[1].text, "MSG Queue removed, message receiver stops");
  EXPECT_EQ(lines[1].priority, LOG_ERR);
}

}  // namespace
