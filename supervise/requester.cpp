// SPDX-License-Identifier: MIT
// The sender of the reboot request in hand. Receiver thread only (see the
// header).
#include "supervise/requester.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/fd.h"

namespace {
// The kernel's command names have at most 15 characters.
constexpr size_t kCommSize = 32;

thread_local char Requester[REQUESTER_SIZE];

// The command name of pid into name; false when it cannot be read (the
// sender has already gone).
bool ReadCommand(pid_t pid, char *name, size_t size) {
  char path[40];
  snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return false;
  ssize_t n = read(file.get(), name, size - 1);
  if (n <= 0) return false;
  name[n] = '\0';
  if (name[n - 1] == '\n') name[n - 1] = '\0';
  return true;
}
}  // namespace

void FormatRequester(pid_t pid, const char *name, char *text, size_t size) {
  char shown[kCommSize];
  size_t i = 0;
  for (; name != nullptr && name[i] != '\0' && i + 1 < sizeof shown; i++) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    shown[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  shown[i] = '\0';
  int n = snprintf(text, size, "requested by pid %d (%s)", static_cast<int>(pid), i > 0 ? shown : "?");
  (void)n;  // every pid and 15-character name fits
}

void NoteRequester(int queId) {
  Requester[0] = '\0';
  struct msqid_ds state;
  if (msgctl(queId, IPC_STAT, &state) != 0 || state.msg_lspid <= 0) return;
  char name[kCommSize];
  if (!ReadCommand(state.msg_lspid, name, sizeof name)) name[0] = '\0';
  FormatRequester(state.msg_lspid, name, Requester, sizeof Requester);
}

void ClearRequester() { Requester[0] = '\0'; }

const char *CurrentRequester() { return Requester; }
