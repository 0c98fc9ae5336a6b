// SPDX-License-Identifier: MIT
// The control queue: its group and mode after each read, how the sender of
// a reboot request is named (real credentials are tried on the board), and
// the main loop that serves it.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <future>

#include "supervise/controlgroup.h"
#include "supervise/requester.h"
#include "supervise_support.h"

namespace {

// A read with the key narrows the queue, one without it opens it again, and
// a refused key leaves it as it is; the status follows the queue.
TEST(ControlGroup, EachReadGivesTheQueueItsGroup) {
  const int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0666);
  ASSERT_GE(queue, 0);
  struct msqid_ds state;
  ASSERT_EQ(msgctl(queue, IPC_STAT, &state), 0);
  const gid_t creator = state.msg_perm.gid;
  ConfigDb db{};
  const struct {
    int32_t kind, gid;
    unsigned mode;
    gid_t queueGid;
    int32_t published;
  } steps[] = {
      {CONTROL_GROUP_SET, 4242, 0620, 4242, 4242},
      {CONTROL_GROUP_KEEP, 0, 0620, 4242, 4242},
      {CONTROL_GROUP_SET, 4343, 0620, 4343, 4343},
      {CONTROL_GROUP_NONE, 0, 0666, creator, CONTROL_GID_OPEN},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(testing::Message() << step.kind << " " << step.gid);
    db.ControlGroup = step.kind;
    db.ControlGid = step.gid;
    EXPECT_EQ(ApplyControlGroup(queue, &db), 0);
    ASSERT_EQ(msgctl(queue, IPC_STAT, &state), 0);
    EXPECT_EQ(state.msg_perm.mode & 0777, step.mode);
    EXPECT_EQ(state.msg_perm.gid, step.queueGid);
    EXPECT_EQ(ControlGid.load(), step.published);
  }
  msgctl(queue, IPC_RMID, nullptr);
  // A queue that cannot be changed keeps the status as it was.
  db.ControlGroup = CONTROL_GROUP_SET;
  EXPECT_EQ(ApplyControlGroup(queue, &db), -1);
  EXPECT_EQ(ControlGid.load(), CONTROL_GID_OPEN);
  EXPECT_TRUE(ControlPeerAllowed(0, 65534, 0, nullptr, 0)) << "group 0 is a group like any other";
}

TEST(Requester, NamesThePidAndAPrintableCommand) {
  char text[REQUESTER_SIZE];
  FormatRequester(42, "wardctl", text, sizeof text);
  EXPECT_STREQ(text, "requested by pid 42 (wardctl)");
  FormatRequester(7, "a\nb\x1b\xc3", text, sizeof text);
  EXPECT_STREQ(text, "requested by pid 7 (a?b?\x3f)");
  FormatRequester(2147483647, "", text, sizeof text);
  EXPECT_STREQ(text, "requested by pid 2147483647 (?)");
  // Nothing noted: the termination records the reason alone.
  ClearRequester();
  EXPECT_STREQ(CurrentRequester(), "");
}

// The helpers are started and stopped on the loop's own thread.
std::vector<std::string> gCalls;
int gQueId = -1;

const LoopHook kHooks[] = {
    {[](ThreadArg *arg) { gCalls.push_back(arg->QueId == gQueId ? "start first" : "other queue"); return 0; },
     [] { gCalls.push_back("stop first"); }},
    {[](ThreadArg *) { gCalls.push_back("start failing"); return -1; }, [] { gCalls.push_back("stop failing"); }},
    {[](ThreadArg *) { gCalls.push_back("start last"); return 0; }, [] { gCalls.push_back("stop last"); }},
};

// The stop flag is already raised, as a SIGTERM during start-up leaves it; a
// loop that forgot it is released afterwards, so the test fails, not hangs.
TEST(MainLoop, StopsAtOnceWhenSigtermCameBeforeItStartedAndStopsTheStartedHelpersInReverse) {
  supervise_test::CapturedLog log;
  gQueId = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  ASSERT_GE(gQueId, 0);
  ConfigDb db{};
  StopFlag.store(1);
  auto loop = std::async(std::launch::async, [&db] { wardend_loop(gQueId, &db, nullptr, kHooks, 3); });
  const bool ended = loop.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  StopFlag.store(1);
  loop.wait();
  msgctl(gQueId, IPC_RMID, nullptr);
  StopFlag.store(0);
  EXPECT_TRUE(ended) << "the loop cleared a stop that came before it started";
  const std::vector<std::string> calls = {"start first", "start failing", "start last", "stop last", "stop first"};
  EXPECT_EQ(gCalls, calls);
}

}  // namespace
