// SPDX-License-Identifier: MIT
// Handling of control messages: each type, health-check name matching, and
// fields without terminators. Reboot types reach only a recording stand-in
// for the termination. The receiving thread itself (short and oversized
// messages, a removed queue, the stop) is tested on the board.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "readconfig/readconfig.h"
#include "supervise/msgrcv.h"
#include "supervise/terminate.h"
#include "support/table_test.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
Lines gLines;
std::string gTerminate;  // what the stand-ins were asked for
std::string gReread;
ProcEntry gTable[6];
ConfigDb gDb;
std::atomic<int> gStop{0};
ThreadArg gArg{-1, &gStop, &gDb, PTHREAD_MUTEX_INITIALIZER, nullptr};

void FakeTerminate(int mode, ConfigDb *, const char *reason) { gTerminate = std::to_string(mode) + " " + reason; }
int FakeReread(const char *path, int namedBy, ConfigDb *) {  // the re-read must hold the mutex
  gReread = (pthread_mutex_trylock(&gArg.Mutex) == EBUSY ? "locked " : "unlocked ") + std::string(path) +
            (namedBy == CONFIG_NAMED_BY_ROOT ? " (own)" : "");
  return 0;
}
const MsgActions kFakes = {FakeTerminate, FakeReread};

// Texts that fill a field are put without terminator, and the message sits in
// a larger buffer of '#': nothing behind it may be read.
int Handle(long type, const std::string &name = "", const std::string &payload = "",
           const MsgActions *actions = &kFakes) {
  struct {
    CtrlMsg msg;
    char after[64];
  } p;
  memset(&p, '#', sizeof p);
  p.msg = CtrlMsg{type, {}, {}};
  memcpy(p.msg.name, name.data(), std::min(name.size(), sizeof p.msg.name));
  memcpy(p.msg.payload, payload.data(), std::min(payload.size(), sizeof p.msg.payload));
  gLines.clear();
  gTerminate.clear();
  gReread.clear();
  LogHook = [](int priority, const char *line) { gLines.emplace_back(priority, line); };
  int rc = HandleCtrlMsg(&p.msg, &gArg, actions);
  LogHook = nullptr;
  return rc;
}

// Only the short names are matched: "app" twice, "app2", "daemon-x", a name
// of exactly 24 characters and a longer one.
char gNames[6][32] = {"app", "app", "app2", "daemon-x", "abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrstuvwxyz"};

struct HealthRow {
  const char *name;
  std::string sender;
  int cleared;  // the entry whose flag is cleared; -1: none, and a warning
};

const HealthRow kHealthRows[] = {
    {"FirstOfTwoEqualNames", "app", 0},
    {"LongerNameIsItsOwn", "app2", 2},
    {"NameFillingTheFieldWithoutTerminator", gNames[4], 4},
    {"PrefixDoesNotMatch", "ap", -1},
    {"CaseCounts", "App", -1},
    {"TrailingBlankCounts", "app ", -1},
    {"EmptyName", "", -1},
    {"UnknownFullField", std::string(24, 'z'), -1},
};

class HealthCheckTable : public testing::TestWithParam<HealthRow> {};

// The same answers with the name index every read builds and without one
// (a table filled by hand).
TEST_P(HealthCheckTable, MatchesWholeCaseSensitiveNamesFirstEntryOnly) {
  const HealthRow &row = GetParam();
  for (int i = 0; i < 6; i++) gTable[i].procName = gNames[i];
  gDb.Process = gTable;
  gDb.NumProcess = 6;
  for (bool indexed : {false, true}) {
    SCOPED_TRACE(indexed ? "with the index" : "walking the table");
    if (indexed) BuildNameIndex(&gDb);
    ASSERT_EQ(gDb.NameIndex != nullptr, indexed);
    for (ProcEntry &entry : gTable) entry.FlgHlthChk.store(1);
    EXPECT_EQ(Handle(MSGID_HEALTH_CHECK, row.sender, std::string(104, 'P')), MSG_CONTINUE);
    for (int i = 0; i < 6; i++) EXPECT_EQ(gTable[i].FlgHlthChk.load(), i == row.cleared ? 0 : 1) << "entry " << i;
    const Lines warned = {{LOG_WARNING, "No match processes in health check [" + row.sender + "]"}};
    EXPECT_EQ(gLines, row.cleared >= 0 ? Lines{} : warned);
  }
  ReleaseNameIndex(&gDb);
}
TABLE_ROWS(HealthCheckTable, kHealthRows);

TEST(MsgRcv, RebootRequestsCarryNameAndReason) {
  EXPECT_EQ(Handle(MSGID_REBOOT, "updater", "new firmware"), MSG_CONTINUE);
  EXPECT_EQ(gTerminate, std::to_string(TERM_REBOOT) + " Reboot request from application [updater] : new firmware");
  const std::string n24(24, 'N');  // both fields without terminator
  const std::string r104(104, 'R');
  EXPECT_EQ(Handle(MSGID_REBOOT_SAFE, n24, r104), MSG_CONTINUE);
  EXPECT_EQ(gTerminate,
            std::to_string(TERM_SAFEMODE) + " Reboot to Safe-mode request from application [" + n24 + "] : " + r104);
}

// Any local user may send a re-read request: only the daemon's own file, by
// exactly the path it was started with, is read as root named it. The path
// may fill the payload without a terminator; the mutex is released after.
TEST(MsgRcv, RereadUsesThePayloadUnderTheMutexAndNamesAnyOtherPathByAnyone) {
  gArg.ConfigPath = "/etc/wardend.conf";
  const std::string c104 = "/" + std::string(103, 'c');
  for (const auto &[payload, expected] : std::vector<std::pair<std::string, std::string>>{
           {"/etc/wardend.conf", "locked /etc/wardend.conf (own)"},
           {"/etc/wardend.conf2", "locked /etc/wardend.conf2"},
           {"/etc//wardend.conf", "locked /etc//wardend.conf"},
           {"/tmp/evil.conf", "locked /tmp/evil.conf"},
           {c104, "locked " + c104},
       }) {
    EXPECT_EQ(Handle(MSGID_REREAD_CONFIG, "ignored", payload), MSG_CONTINUE);
    EXPECT_EQ(gReread, expected);
    EXPECT_EQ(gLines, (Lines{{LOG_NOTICE, "Re-read config request received"}}));
    ASSERT_EQ(pthread_mutex_trylock(&gArg.Mutex), 0);
    pthread_mutex_unlock(&gArg.Mutex);
  }
  gArg.ConfigPath = nullptr;
  Handle(MSGID_REREAD_CONFIG, "", "/etc/wardend.conf");
  EXPECT_EQ(gReread, "locked /etc/wardend.conf");
}

// Anyone may send the stop message; it ends the receiver only when the
// daemon is stopping anyway (before that it is an illegal type: the table).
TEST(MsgRcv, StopEndsTheReceiverSilentlyOnlyOnceTheDaemonStops) {
  gStop.store(1);
  EXPECT_EQ(Handle(MSGID_STOP), MSG_DONE);
  EXPECT_TRUE(gLines.empty());
  gStop.store(0);
}

struct IllegalRow {
  const char *name;
  long type;
};

const IllegalRow kIllegalRows[] = {
    {"Zero", 0},
    {"OneAboveStop", 6},
    {"Negative", -1},
    {"StopWhileTheDaemonRuns", MSGID_STOP},
};

class IllegalTypeTable : public testing::TestWithParam<IllegalRow> {};

TEST_P(IllegalTypeTable, IsReportedAndDropped) {
  EXPECT_EQ(Handle(GetParam().type, "x"), MSG_CONTINUE);
  EXPECT_EQ(gLines, (Lines{{LOG_ERR, "MSG Queue receive illegal ID! [" + std::to_string(GetParam().type) + "]"}}));
  EXPECT_EQ(gTerminate, "");
  EXPECT_EQ(gReread, "");
}
TABLE_ROWS(IllegalTypeTable, kIllegalRows);

// The re-read's mutex messages are the receiver's own, in debug mode too: an
// error-checking mutex that this thread already holds refuses the lock (the
// unlock message goes through the same name; making an unlock fail on purpose
// would be a misuse that the thread sanitizer rightly reports).
TEST(MsgRcv, RereadMutexFailureIsReportedUnderTheReceiver) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t saved = gArg.Mutex;
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
  EXPECT_EQ(gLines, (Lines{{LOG_NOTICE, "Re-read config request received"},
                           {LOG_ERR, "Thread mutex lock fail! [Resource deadlock avoided]"}}));
  EXPECT_EQ(gReread, "locked /a");  // read all the same (under the test's own hold)
}

}  // namespace
