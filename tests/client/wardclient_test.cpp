// SPDX-License-Identifier: MIT
// The client library against a private queue. A missing daemon and the error
// texts are tested through wardctl on the board.
#include <gtest/gtest.h>
#include <sys/msg.h>

#include <chrono>
#include <string>
#include <tuple>

#include "wardclient.h"

namespace {

const std::string kName23(23, 'n'), kName24(24, 'n'), kReason103(103, 'r'), kReason104(104, 'r');
const std::string kPath104 = "/" + kReason103, kPath105 = "/" + kReason104;

class PrivateQueue : public testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(queue_ = msgget(IPC_PRIVATE, IPC_CREAT | 0600), 0); }
  void TearDown() override { msgctl(queue_, IPC_RMID, nullptr); }
  int queue_ = -1;
};

// A request that is taken puts all 128 bytes on the queue, the unused ones
// zero; one that is refused puts nothing there.
TEST_F(PrivateQueue, RequestsPutTheirTypeAndZeroFilledFieldsOrNothing) {
  // the type, sender and payload; the result, the name and payload sent
  const std::tuple<long, const char *, const char *, int, std::string, std::string> rows[] = {
      {MSGID_HEALTH_CHECK, kName23.c_str(), "x", WARD_OK, kName23, ""},  // a health check's payload is dropped
      {MSGID_REBOOT, "updater", kReason103.c_str(), WARD_OK, "updater", kReason103},
      {MSGID_REBOOT_SAFE, "updater", nullptr, WARD_OK, "updater", ""},
      {MSGID_REREAD_CONFIG, "ignored", kPath104.c_str(), WARD_OK, "", kPath104},  // no terminator
      {MSGID_HEALTH_CHECK, kName24.c_str(), nullptr, WARD_ERR_NAME_LONG, "", ""},
      {MSGID_HEALTH_CHECK, nullptr, nullptr, WARD_ERR_NAME_EMPTY, "", ""},
      {MSGID_REBOOT, "a", kReason104.c_str(), WARD_ERR_REASON_LONG, "", ""},
      {MSGID_REREAD_CONFIG, nullptr, kPath105.c_str(), WARD_ERR_PATH_LONG, "", ""},
      {MSGID_REREAD_CONFIG, nullptr, "", WARD_ERR_PATH_EMPTY, "", ""},
      {MSGID_STOP, "a", nullptr, WARD_ERR_BAD_TYPE, "", ""},  // only the daemon stops its receiver
      {0, "a", nullptr, WARD_ERR_BAD_TYPE, "", ""},
  };
  for (const auto &[type, sender, payload, result, sentName, sentPayload] : rows) {
    SCOPED_TRACE(testing::Message() << type << " " << result);
    EXPECT_EQ(WardSendTo(queue_, type, sender, payload), result);
    // Only a taken request is read: user-mode emulators write the type back after a failed receive.
    CtrlMsg msg{};
    const ssize_t got = msgrcv(queue_, &msg, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT);
    if (result != WARD_OK) {
      EXPECT_EQ(got, -1);
      continue;
    }
    EXPECT_EQ(got, CTRLMSG_TEXT_SIZE);
    EXPECT_EQ(msg.type, type);
    EXPECT_EQ(std::string(msg.name, 24), sentName + std::string(24 - sentName.size(), '\0'));
    EXPECT_EQ(std::string(msg.payload, 104), sentPayload + std::string(104 - sentPayload.size(), '\0'));
  }
}

TEST_F(PrivateQueue, FullQueueIsReportedAfterABoundedWait) {
  const CtrlMsg filler{MSGID_HEALTH_CHECK, {}, {}};
  while (msgsnd(queue_, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WardSendTo(queue_, MSGID_HEALTH_CHECK, "a", nullptr), WARD_ERR_QUEUE_FULL);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(WARD_SEND_WAIT_MS));
}

}  // namespace
