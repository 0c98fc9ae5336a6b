// SPDX-License-Identifier: MIT
// The queue's group and mode after each read, and how the sender of a
// reboot request is named. Who may use the status socket is tested on the
// board, with real credentials.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <string>

#include "supervise/controlgroup.h"
#include "supervise/requester.h"

namespace {

struct Perm {
  unsigned mode;
  gid_t gid;
};

Perm QueuePerm(int queue) {
  struct msqid_ds state;
  EXPECT_EQ(msgctl(queue, IPC_STAT, &state), 0);
  return {static_cast<unsigned>(state.msg_perm.mode & 0777), state.msg_perm.gid};
}

// A read with the key narrows the queue, one without it opens it again, and
// a refused key leaves it as it is; the status follows the queue.
TEST(ControlGroup, EachReadGivesTheQueueItsGroup) {
  const int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0666);
  ASSERT_GE(queue, 0);
  const gid_t creator = QueuePerm(queue).gid;
  ConfigDb db{};
  struct Step {
    int32_t kind;
    int32_t gid;
    Perm expected;
    int32_t published;
  } steps[] = {
      {CONTROL_GROUP_NONE, 0, {0666, creator}, CONTROL_GID_OPEN},
      {CONTROL_GROUP_SET, 4242, {0620, 4242}, 4242},
      {CONTROL_GROUP_KEEP, 0, {0620, 4242}, 4242},
      {CONTROL_GROUP_SET, 4343, {0620, 4343}, 4343},
      {CONTROL_GROUP_NONE, 0, {0666, creator}, CONTROL_GID_OPEN},
  };
  for (const Step &step : steps) {
    db.ControlGroup = step.kind;
    db.ControlGid = step.gid;
    EXPECT_EQ(ApplyControlGroup(queue, &db), 0);
    const Perm perm = QueuePerm(queue);
    EXPECT_EQ(perm.mode, step.expected.mode) << step.kind << " " << step.gid;
    EXPECT_EQ(perm.gid, step.expected.gid) << step.kind << " " << step.gid;
    EXPECT_EQ(ControlGid.load(), step.published);
  }
  msgctl(queue, IPC_RMID, nullptr);
  // A queue that cannot be changed keeps the status as it was.
  db.ControlGroup = CONTROL_GROUP_SET;
  EXPECT_EQ(ApplyControlGroup(queue, &db), -1);
  EXPECT_EQ(ControlGid.load(), CONTROL_GID_OPEN);
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

}  // namespace
