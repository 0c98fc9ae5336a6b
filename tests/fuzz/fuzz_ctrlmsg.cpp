// SPDX-License-Identifier: MIT
// Feeds arbitrary control messages to the receiver's per-message handler:
// the first input byte is the type (any signed value, so the five real
// types and illegal ones alike), the rest up to 200 bytes is the text. Texts
// longer than 128 bytes are cut the way a receive of 128 bytes would cut
// them; an odd input length raises the stop flag. The message lives in a
// heap block of exactly its own size, so any read past its 128 text bytes
// is caught. Reboot and re-read requests reach stand-ins that check what
// they are given and bring nothing down.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "supervise/msgrcv.h"

namespace {

void DropLine(int, const char *) {}

void CheckedTerminate(int mode, ConfigDb *, const char *reason) {
  if (mode != 2 && mode != 3) __builtin_trap();
  if (strnlen(reason, REBOOT_REASON_SIZE) >= static_cast<size_t>(REBOOT_REASON_SIZE)) __builtin_trap();
}

int CheckedReread(const char *path, int, ConfigDb *) {
  if (strnlen(path, CTRLMSG_PAYLOAD_SIZE + 1) > CTRLMSG_PAYLOAD_SIZE) __builtin_trap();
  return 0;
}

const MsgActions kSafeActions = {CheckedTerminate, CheckedReread};

// A small table of short names (all that is matched) that share prefixes, so
// near misses are tried; the first "app" must be the only one cleared.
struct Table {
  ConfigDb db{};
  ProcEntry entries[4];
  char names[4][32] = {"app", "app2", "app", "abcdefghijklmnopqrstuvwx"};
  Table() {
    for (int i = 0; i < 4; i++) entries[i].procName = names[i];
    db.Process = entries;
    db.NumProcess = 4;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 201) return 0;
  LogHook = DropLine;
  static Table table;
  static std::atomic<int> stop{0};
  static ThreadArg arg{-1, &stop, &table.db, PTHREAD_MUTEX_INITIALIZER, nullptr};
  // The stop message counts only while the daemon stops; the input's length
  // decides whether it does.
  stop.store(static_cast<int>(size & 1));
  for (ProcEntry &e : table.entries) e.FlgHlthChk.store(1);

  std::unique_ptr<CtrlMsg> msg(new CtrlMsg());
  msg->type = size > 0 ? static_cast<int8_t>(data[0]) : 0;
  size_t text = size > 1 ? size - 1 : 0;
  if (text > CTRLMSG_TEXT_SIZE) text = CTRLMSG_TEXT_SIZE;
  // Name and payload are one run of 128 bytes right after the type.
  if (text > 0) memcpy(reinterpret_cast<char *>(msg.get()) + offsetof(CtrlMsg, name), data + 1, text);

  int result = HandleCtrlMsg(msg.get(), &arg, &kSafeActions);
  if ((result == MSG_DONE) != (msg->type == MSGID_STOP && stop.load() != 0)) __builtin_trap();

  // At most the first entry of a given name is cleared.
  int cleared = 0;
  for (ProcEntry &e : table.entries) cleared += e.FlgHlthChk.load() == 0;
  if (cleared > 1 || (cleared == 1 && msg->type != MSGID_HEALTH_CHECK)) __builtin_trap();
  return 0;
}
