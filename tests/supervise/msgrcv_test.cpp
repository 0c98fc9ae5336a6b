// Handling of control messages: each type, health-check name matching, and
// fields without terminators. Reboot types reach only a recording stand-in
// for the termination. The receiving thread itself (short and oversized
// messages, a removed queue, the stop) is tested on the board.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "supervise/msgrcv.h"
#include "supervise/terminate.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
Lines gLines;
int gMode, gRereads, gLockBusy;
std::string gReason, gPath;
ThreadArg gArg;
ConfigDb gDb;
ProcEntry gTable[6];

const MsgActions kFakes = {[](int mode, ConfigDb *, const char *reason) { gMode = mode, gReason = reason; },
                           [](const char *path, ConfigDb *) {
                             gLockBusy = pthread_mutex_trylock(&gArg.Mutex) == EBUSY;  // the re-read holds it
                             gRereads++, gPath = path;
                             return 0;
                           }};

// Texts that fill a field are put without terminator, and the message sits in
// a larger buffer of '#': nothing behind it may be read.
int Handle(long type, const std::string &name = "", const std::string &payload = "") {
  struct { CtrlMsg msg; char after[64]; } p;
  memset(&p, '#', sizeof p);
  memset(&p.msg, 0, sizeof p.msg);
  p.msg.type = type;
  memcpy(p.msg.name, name.data(), std::min(name.size(), sizeof p.msg.name));
  memcpy(p.msg.payload, payload.data(), std::min(payload.size(), sizeof p.msg.payload));
  gLines.clear(), gMode = gRereads = 0, gArg.Config = &gDb;
  LogHook = [](int priority, const char *line) { gLines.emplace_back(priority, line); };
  int rc = HandleCtrlMsg(&p.msg, &gArg, &kFakes);
  LogHook = nullptr;
  return rc;
}

TEST(MsgRcv, HealthCheckMatchesWholeCaseSensitiveNamesFirstEntryOnly) {
  const std::string n24 = "abcdefghijklmnopqrstuvwx";
  const std::string paths[] = {"/usr/bin/app", "/opt/app", "/usr/bin/app2",
                               "daemon-x",     "/bin/" + n24, "/bin/" + n24 + "yz"};
  const std::pair<std::string, int> cases[] = {  // name, entry cleared (-1: none, warned)
      {"app", 0},   {"app2", 2}, {"daemon-x", 3}, {n24, 4}, {"ap", -1},
      {"App", -1},  {"app ", -1}, {"", -1},        {std::string(24, 'z'), -1}};
  gDb.Process = gTable, gDb.NumProcess = 6;
  for (const auto &[name, cleared] : cases) {
    SCOPED_TRACE(name);
    for (int i = 0; i < 6; i++) {
      snprintf(gTable[i].ExecPath, sizeof gTable[i].ExecPath, "%s", paths[i].c_str());
      gTable[i].procName = gTable[i].ExecPath + (paths[i].rfind('/') + 1);  // npos + 1 == 0
      gTable[i].FlgHlthChk.store(1);
    }
    EXPECT_EQ(Handle(MSGID_HEALTH_CHECK, name, std::string(104, 'P')), MSG_CONTINUE);
    for (int i = 0; i < 6; i++) EXPECT_EQ(gTable[i].FlgHlthChk.load(), i == cleared ? 0 : 1) << i;
    const std::string warning = "No match processes in health check [" + name + "]";
    EXPECT_EQ(gLines, (cleared >= 0 ? Lines{} : Lines{{LOG_WARNING, warning}}));
  }
}

TEST(MsgRcv, RebootRequestsCarryNameAndReason) {
  EXPECT_EQ(Handle(MSGID_REBOOT, "updater", "new firmware"), MSG_CONTINUE);
  EXPECT_EQ(gMode, TERM_REBOOT);
  EXPECT_EQ(gReason, "Reboot request from application [updater] : new firmware");
  EXPECT_EQ(Handle(MSGID_REBOOT, "ui", ""), MSG_CONTINUE);
  EXPECT_EQ(gReason, "Reboot request from application [ui] : ");
  const std::string n24(24, 'N'), r104(104, 'R');  // both fields without terminator
  EXPECT_EQ(Handle(MSGID_REBOOT_SAFE, n24, r104), MSG_CONTINUE);
  EXPECT_EQ(gMode, TERM_SAFEMODE);
  EXPECT_EQ(gReason, "Reboot to Safe-mode request from application [" + n24 + "] : " + r104);
}

TEST(MsgRcv, RereadUsesThePayloadUnderTheMutex) {
  pthread_mutex_init(&gArg.Mutex, nullptr);
  EXPECT_EQ(Handle(MSGID_REREAD_CONFIG, "ignored", "/" + std::string(103, 'c')), MSG_CONTINUE);
  EXPECT_EQ(gPath, "/" + std::string(103, 'c'));  // fills the payload: no terminator
  EXPECT_EQ(gLockBusy, 1);
  EXPECT_EQ(gLines, (Lines{{LOG_NOTICE, "Re-read config request received"}}));
  ASSERT_EQ(pthread_mutex_trylock(&gArg.Mutex), 0);  // released afterwards

  pthread_mutex_unlock(&gArg.Mutex), pthread_mutex_destroy(&gArg.Mutex);
}

TEST(MsgRcv, StopAndIllegalTypes) {
  EXPECT_EQ(Handle(MSGID_STOP), MSG_DONE);
  EXPECT_TRUE(gLines.empty());
  for (long type : {0L, 6L, -1L, 0x7fffffffL, -0x7fffffffL - 1}) {
    EXPECT_EQ(Handle(type, "x"), MSG_CONTINUE);
    EXPECT_EQ(gLines, (Lines{{LOG_ERR, "MSG Queue receive illegal ID! [" + std::to_string(type) + "]"}}));
    EXPECT_EQ(gRereads + gMode, 0);
  }
}

}  // namespace
