// The client library against private queues: the bytes each request puts on
// the queue, the length limits, and the errors for a full or missing queue.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>

#include "wardclient.h"

namespace {

class WardClient : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(queue_, 0);
  }
  void TearDown() override {
    if (queue_ >= 0) msgctl(queue_, IPC_RMID, nullptr);
  }
  // The one message on the queue, read as the daemon reads it: 128 bytes.
  CtrlMsg Take() {
    CtrlMsg msg;
    memset(&msg, 0x5a, sizeof msg);
    ssize_t size = msgrcv(queue_, &msg, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT);
    EXPECT_EQ(size, CTRLMSG_TEXT_SIZE);
    return msg;
  }
  size_t Queued() {
    struct msqid_ds info;
    EXPECT_EQ(msgctl(queue_, IPC_STAT, &info), 0);
    return info.msg_qnum;
  }
  static std::string Field(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }
  static bool ZeroAfter(const char *field, size_t used, size_t size) {
    for (size_t i = used; i < size; i++)
      if (field[i] != 0) return false;
    return true;
  }

  int queue_ = -1;
};

TEST_F(WardClient, EachRequestSendsItsTypeAndFields) {
  struct Case {
    long type;
    const char *name;
    const char *payload;
    std::string sentName;
    std::string sentPayload;
  };
  const std::string path104 = "/" + std::string(103, 'p');
  const Case cases[] = {
      {MSGID_HEALTH_CHECK, "app", "ignored", "app", ""},
      {MSGID_REBOOT, "updater", "new firmware", "updater", "new firmware"},
      {MSGID_REBOOT_SAFE, "updater", nullptr, "updater", ""},
      {MSGID_REREAD_CONFIG, "ignored", "/etc/wardend.conf", "", "/etc/wardend.conf"},
      {MSGID_REREAD_CONFIG, nullptr, path104.c_str(), "", path104},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    ASSERT_EQ(WardSendTo(queue_, c.type, c.name, c.payload), WARD_OK);
    CtrlMsg msg = Take();
    EXPECT_EQ(msg.type, c.type);
    EXPECT_EQ(Field(msg.name, sizeof msg.name), c.sentName);
    EXPECT_TRUE(ZeroAfter(msg.name, c.sentName.size(), sizeof msg.name));
    EXPECT_EQ(Field(msg.payload, sizeof msg.payload), c.sentPayload);
    EXPECT_TRUE(ZeroAfter(msg.payload, c.sentPayload.size(), sizeof msg.payload));
  }
}

TEST_F(WardClient, LengthLimitsAndMissingTexts) {
  const std::string name23(23, 'n'), name24(24, 'n');
  const std::string reason103(103, 'r'), reason104(104, 'r');
  const std::string path104 = "/" + std::string(103, 'p'), path105 = "/" + std::string(104, 'p');
  struct Case {
    long type;
    const char *name;
    const char *payload;
    int result;
  };
  const Case cases[] = {
      {MSGID_HEALTH_CHECK, name23.c_str(), nullptr, WARD_OK},
      {MSGID_HEALTH_CHECK, name24.c_str(), nullptr, WARD_ERR_NAME_LONG},
      {MSGID_HEALTH_CHECK, "", nullptr, WARD_ERR_NAME_EMPTY},
      {MSGID_HEALTH_CHECK, nullptr, nullptr, WARD_ERR_NAME_EMPTY},
      {MSGID_REBOOT, "a", reason103.c_str(), WARD_OK},
      {MSGID_REBOOT, "a", reason104.c_str(), WARD_ERR_REASON_LONG},
      {MSGID_REBOOT_SAFE, name24.c_str(), "", WARD_ERR_NAME_LONG},
      {MSGID_REBOOT_SAFE, "a", reason104.c_str(), WARD_ERR_REASON_LONG},
      {MSGID_REREAD_CONFIG, nullptr, path104.c_str(), WARD_OK},
      {MSGID_REREAD_CONFIG, nullptr, path105.c_str(), WARD_ERR_PATH_LONG},
      {MSGID_REREAD_CONFIG, nullptr, "", WARD_ERR_PATH_EMPTY},
      {MSGID_STOP, "a", nullptr, WARD_ERR_BAD_TYPE},  // only the daemon stops its receiver
      {0, "a", nullptr, WARD_ERR_BAD_TYPE},
      {6, "a", nullptr, WARD_ERR_BAD_TYPE},
  };
  size_t sent = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.result));
    EXPECT_EQ(WardSendTo(queue_, c.type, c.name, c.payload), c.result);
    if (c.result == WARD_OK) sent++;
    EXPECT_EQ(Queued(), sent);  // refused requests put nothing on the queue
  }
}

TEST_F(WardClient, ArgumentErrorsComeBeforeLookingForTheDaemon) {
  // None of these reaches msgget, so they give the same answer with or
  // without a daemon.
  const std::string name24(24, 'n'), reason104(104, 'r'), path105(105, 'p');
  EXPECT_EQ(WardHealthCheck(name24.c_str()), WARD_ERR_NAME_LONG);
  EXPECT_EQ(WardHealthCheck(""), WARD_ERR_NAME_EMPTY);
  EXPECT_EQ(WardReboot("a", reason104.c_str()), WARD_ERR_REASON_LONG);
  EXPECT_EQ(WardSafeReboot(nullptr, "x"), WARD_ERR_NAME_EMPTY);
  EXPECT_EQ(WardReread(path105.c_str()), WARD_ERR_PATH_LONG);
  EXPECT_EQ(WardReread(nullptr), WARD_ERR_PATH_EMPTY);
}

TEST_F(WardClient, FullQueueGivesUpAfterTheBoundedWait) {
  CtrlMsg filler;
  memset(&filler, 0, sizeof filler);
  filler.type = MSGID_HEALTH_CHECK;
  while (msgsnd(queue_, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WardSendTo(queue_, MSGID_HEALTH_CHECK, "a", nullptr), WARD_ERR_QUEUE_FULL);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(WARD_SEND_WAIT_MS));
}

TEST_F(WardClient, RemovedQueueMeansNoDaemon) {
  int gone = queue_;
  ASSERT_EQ(msgctl(queue_, IPC_RMID, nullptr), 0);
  queue_ = -1;
  EXPECT_EQ(WardSendTo(gone, MSGID_HEALTH_CHECK, "a", nullptr), WARD_ERR_NO_DAEMON);
}

TEST(WardClientText, EveryCodeHasItsOwnText) {
  std::set<std::string> texts;
  for (int code = WARD_ERR_BAD_TYPE; code <= WARD_OK; code++) {
    const char *text = WardStrError(code);
    ASSERT_NE(text, nullptr);
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(WARD_OK - WARD_ERR_BAD_TYPE + 1));
  EXPECT_STREQ(WardStrError(-999), "unknown error code");
  EXPECT_STREQ(WardStrError(WARD_ERR_NO_DAEMON), "wardend is not running (no control queue)");
}

}  // namespace
