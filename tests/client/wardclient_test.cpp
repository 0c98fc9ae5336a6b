// The client library against a private queue: the bytes each request puts on
// the queue, the length limits, and the bounded wait on a full queue. A
// missing daemon and the error texts are tested through wardctl on the board.
#include <gtest/gtest.h>
#include <sys/msg.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <tuple>

#include "wardclient.h"

namespace {

TEST(WardClient, RequestsPutTheirTypeAndZeroFilledFieldsOrAreRefused) {
  const int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  ASSERT_GE(queue, 0);
  const std::string n23(23, 'n'), n24(24, 'n'), r103(103, 'r'), r104(104, 'r'), p104 = "/" + r103, p105 = "/" + r104;
  // Type, name and payload given, and the name and payload the daemon gets
  // (all 128 bytes are sent, the unused ones zero).
  const std::tuple<long, const char *, const char *, std::string, std::string> sent[] = {
      {MSGID_HEALTH_CHECK, n23.c_str(), "ignored", n23, ""},
      {MSGID_REBOOT, "updater", r103.c_str(), "updater", r103},
      {MSGID_REBOOT_SAFE, "updater", nullptr, "updater", ""},
      {MSGID_REREAD_CONFIG, "ignored", p104.c_str(), "", p104}};
  for (const auto &[type, name, payload, sentName, sentPayload] : sent) {
    EXPECT_EQ(WardSendTo(queue, type, name, payload), WARD_OK) << type;
    CtrlMsg msg{};
    EXPECT_EQ(msgrcv(queue, &msg, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT), CTRLMSG_TEXT_SIZE);
    EXPECT_EQ(msg.type, type);
    EXPECT_EQ(std::string(msg.name, 24), sentName + std::string(24 - sentName.size(), '\0'));
    EXPECT_EQ(std::string(msg.payload, 104), sentPayload + std::string(104 - sentPayload.size(), '\0'));
  }
  const std::tuple<long, const char *, const char *, int> refused[] = {
      {MSGID_HEALTH_CHECK, n24.c_str(), nullptr, WARD_ERR_NAME_LONG},
      {MSGID_HEALTH_CHECK, nullptr, nullptr, WARD_ERR_NAME_EMPTY},
      {MSGID_REBOOT_SAFE, "", "x", WARD_ERR_NAME_EMPTY},
      {MSGID_REBOOT, "a", r104.c_str(), WARD_ERR_REASON_LONG},
      {MSGID_REREAD_CONFIG, nullptr, p105.c_str(), WARD_ERR_PATH_LONG},
      {MSGID_REREAD_CONFIG, nullptr, "", WARD_ERR_PATH_EMPTY},
      {MSGID_STOP, "a", nullptr, WARD_ERR_BAD_TYPE},  // only the daemon stops its receiver
      {6, "a", nullptr, WARD_ERR_BAD_TYPE}};
  for (const auto &[type, name, payload, result] : refused)
    EXPECT_EQ(WardSendTo(queue, type, name, payload), result) << type;
  CtrlMsg received{};
  EXPECT_EQ(msgrcv(queue, &received, CTRLMSG_TEXT_SIZE, 0, IPC_NOWAIT), -1);  // refused ones put nothing there

  const CtrlMsg filler{MSGID_HEALTH_CHECK, {}, {}};
  while (msgsnd(queue, &filler, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WardSendTo(queue, MSGID_HEALTH_CHECK, "a", nullptr), WARD_ERR_QUEUE_FULL);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(WARD_SEND_WAIT_MS));
  msgctl(queue, IPC_RMID, nullptr);
}

}  // namespace
