// SPDX-License-Identifier: MIT
// Handling of control messages, with stand-ins for the termination and the
// re-read. The receiving thread itself is tested on the board.

#include "readconfig/readconfig.h"
#include "supervise/msgrcv.h"
#include "supervise_support.h"

namespace {

using supervise_test::LogLines;
LogLines gLines;
std::string gTerminate, gReread;  // what the stand-ins were asked for
ProcEntry gTable[6];
ConfigDb gDb;
std::atomic<int> gStop{0};
ThreadArg gArg{-1, &gStop, &gDb, PTHREAD_MUTEX_INITIALIZER, nullptr};

const MsgActions kFakes = {
    [](int mode, ConfigDb *, const char *reason) { gTerminate = std::to_string(mode) + " " + reason; },
    [](const char *path, int namedBy, ConfigDb *) {  // the re-read must hold the mutex
      gReread = (pthread_mutex_trylock(&gArg.Mutex) == EBUSY ? "locked " : "unlocked ") + std::string(path) +
                (namedBy == CONFIG_NAMED_BY_ROOT ? " (own)" : "");
      return 0;
    }};

// Texts that fill a field are put without terminator, and the message sits in
// a larger buffer of '#': nothing behind it may be read.
int Handle(long type, const std::string &name = "", const std::string &payload = "") {
  struct {
    CtrlMsg msg;
    char after[64];
  } p;
  memset(&p, '#', sizeof p);
  p.msg = CtrlMsg{type, {}, {}};
  memcpy(p.msg.name, name.data(), std::min(name.size(), sizeof p.msg.name));
  memcpy(p.msg.payload, payload.data(), std::min(payload.size(), sizeof p.msg.payload));
  gTerminate.clear();
  gReread.clear();
  supervise_test::CapturedLog log;
  const int rc = HandleCtrlMsg(&p.msg, &gArg, &kFakes);
  gLines = log.lines();
  return rc;
}

// Only whole, case-sensitive names match, and of equal names the first; with
// the name index every read builds and without one (a table filled by hand).
TEST(MsgRcv, HealthCheckMatchesWholeCaseSensitiveNamesFirstEntryOnly) {
  char names[6][32] = {"app", "app", "app2", "daemon-x", "abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrstuvwxyz"};
  for (int i = 0; i < 6; i++) gTable[i].procName = names[i];
  gDb.Process = gTable;
  gDb.NumProcess = 6;
  // The sender, and the entry whose flag is cleared (-1: none, and a warning).
  // clang-format off
  const std::pair<std::string, int> rows[] = {{"app", 0}, {"app2", 2}, {names[4], 4}, {"ap", -1}, {"App", -1},
                                              {"app ", -1}, {"", -1}, {std::string(24, 'z'), -1}};
  // clang-format on
  for (bool indexed : {false, true}) {
    if (indexed) BuildNameIndex(&gDb);
    ASSERT_EQ(gDb.NameIndex != nullptr, indexed);
    for (const auto &[sender, cleared] : rows) {
      SCOPED_TRACE((indexed ? "with the index: " : "walking the table: ") + sender);
      for (ProcEntry &entry : gTable) entry.FlgHlthChk.store(1);
      EXPECT_EQ(Handle(MSGID_HEALTH_CHECK, sender, std::string(104, 'P')), MSG_CONTINUE);
      for (int i = 0; i < 6; i++) EXPECT_EQ(gTable[i].FlgHlthChk.load(), i == cleared ? 0 : 1) << "entry " << i;
      const LogLines warned = {{LOG_WARNING, "No match processes in health check [" + sender + "]"}};
      EXPECT_EQ(gLines, cleared >= 0 ? LogLines{} : warned);
    }
  }
  ReleaseNameIndex(&gDb);
}

TEST(MsgRcv, RebootRequestsCarryNameAndReason) {
  EXPECT_EQ(Handle(MSGID_REBOOT, "updater", "new firmware"), MSG_CONTINUE);
  EXPECT_EQ(gTerminate, std::to_string(TERM_REBOOT) + " Reboot request from application [updater] : new firmware");
  const std::string n24(24, 'N'), r104(104, 'R');  // both fields without terminator
  EXPECT_EQ(Handle(MSGID_REBOOT_SAFE, n24, r104), MSG_CONTINUE);
  EXPECT_EQ(gTerminate,
            std::to_string(TERM_SAFEMODE) + " Reboot to Safe-mode request from application [" + n24 + "] : " + r104);
}

// Any local user may send a re-read request: only the daemon's own file, by
// exactly the path it was started with, is read as root named it.
TEST(MsgRcv, RereadUsesThePayloadUnderTheMutexAndNamesAnyOtherPathByAnyone) {
  gArg.ConfigPath = "/etc/wardend.conf";
  const std::string c104 = "/" + std::string(103, 'c');
  for (const auto &[payload, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/etc/wardend.conf", "locked /etc/wardend.conf (own)"},
           {"/etc/wardend.conf2", "locked /etc/wardend.conf2"},
           {"/etc//wardend.conf", "locked /etc//wardend.conf"},
           {c104, "locked " + c104},
       }) {
    EXPECT_EQ(Handle(MSGID_REREAD_CONFIG, "ignored", payload), MSG_CONTINUE);
    EXPECT_EQ(gReread, expected);
    EXPECT_EQ(gLines, (LogLines{{LOG_NOTICE, "Re-read config request received"}}));
    ASSERT_EQ(pthread_mutex_trylock(&gArg.Mutex), 0);
    pthread_mutex_unlock(&gArg.Mutex);
  }
  gArg.ConfigPath = nullptr;
  Handle(MSGID_REREAD_CONFIG, "", "/etc/wardend.conf");
  EXPECT_EQ(gReread, "locked /etc/wardend.conf");
}

// Illegal types are reported and dropped. The stop message, which anyone may
// send, is one while the daemon runs; once it stops, it ends the receiver.
TEST(MsgRcv, IllegalTypesAreDroppedAndStopEndsOnlyAStoppingReceiver) {
  for (long type : {0L, 6L, -1L, static_cast<long>(MSGID_STOP)}) {
    EXPECT_EQ(Handle(type, "x"), MSG_CONTINUE);
    EXPECT_EQ(gLines, (LogLines{{LOG_ERR, "MSG Queue receive illegal ID! [" + std::to_string(type) + "]"}}));
    EXPECT_EQ(gTerminate + gReread, "");
  }
  gStop.store(1);
  EXPECT_EQ(Handle(MSGID_STOP), MSG_DONE);
  EXPECT_TRUE(gLines.empty());
  gStop.store(0);
}

// The re-read's mutex messages are the receiver's own, in debug mode too: an
// error-checking mutex that this thread already holds refuses the lock.
TEST(MsgRcv, RereadMutexFailureIsReportedUnderTheReceiver) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  const pthread_mutex_t saved = gArg.Mutex;
  pthread_mutex_init(&gArg.Mutex, &attributes);
  ASSERT_EQ(pthread_mutex_lock(&gArg.Mutex), 0);
  LogDebug = 1;
  Handle(MSGID_REREAD_CONFIG, "", "/a");
  LogDebug = 0;
  pthread_mutex_unlock(&gArg.Mutex);
  pthread_mutex_destroy(&gArg.Mutex);
  gArg.Mutex = saved;
  for (auto &line : gLines) {
    EXPECT_NE(line.second.find(":MsgRcvThread@supervise\n"), std::string::npos) << line.second;
    line.second.erase(line.second.find(" | "));
  }
  EXPECT_EQ(gLines, (LogLines{{LOG_NOTICE, "Re-read config request received"},
                              {LOG_ERR, "Thread mutex lock fail! [Resource deadlock avoided]"}}));
  EXPECT_EQ(gReread, "locked /a");  // read all the same (under the test's own hold)
}

}  // namespace
