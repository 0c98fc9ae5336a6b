// SPDX-License-Identifier: MIT
// Shell command runner and number conversion, used by any thread: nothing
// here keeps state, and errno is the calling thread's own.
#include "common/cmdexec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Owns a command pipe: every way out of CmdExec waits for the command, so
// no child is left unreaped and no descriptor leaks.
struct PipeCloser {
  void operator()(FILE *pipe) const { pclose(pipe); }
};
using CommandPipe = std::unique_ptr<FILE, PipeCloser>;

void DropNewline(char *text) {
  const size_t len = std::strlen(text);
  if (len > 0 && text[len - 1] == '\n') text[len - 1] = '\0';
}

}  // namespace

int CmdExec(const char *command, char *output, int size) {
  if (output == nullptr || size < 1) return CMD_NO_COMMAND;
  output[0] = '\0';
  // A one-byte buffer cannot hold a character of output; reading into it
  // would never reach the end of the output.
  if (command == nullptr || size < 2) return CMD_NO_COMMAND;

  // "e": the read end must not leak into programs that other threads start
  // while this command runs (respawned programs outlive the daemon's pipes).
  CommandPipe pipe(popen(command, "re"));
  if (!pipe) return CMD_PIPE_FAIL;

  // Each read overwrites the buffer, so what is left is the last line, or
  // the last chunk of a line longer than size - 1 characters.
  for (;;) {
    if (std::fgets(output, size, pipe.get()) != nullptr) {
      DropNewline(output);
      continue;
    }
    if (!std::ferror(pipe.get())) break;  // end of output
    // A failed read leaves the buffer undefined; keep it a valid text.
    output[0] = '\0';
    if (errno != EINTR) break;
    std::clearerr(pipe.get());
  }
  pipe.reset();  // waits for the command; its status is not judged

  return output[0] == '\0' ? CMD_NO_OUTPUT : CMD_OK;
}

int LastOutputLine(const char *data, size_t length, char *output, int size) {
  if (output == nullptr || size < 1) return CMD_NO_COMMAND;
  output[0] = '\0';
  if (data == nullptr || size < 2) return CMD_NO_COMMAND;
  // Each piece is what one fgets of CmdExec reads: up to size - 1
  // characters, ending after a newline; each overwrites the one before.
  const size_t most = static_cast<size_t>(size) - 1;
  size_t pos = 0;
  while (pos < length) {
    size_t n = 0;
    while (n < most && pos + n < length) {
      if (data[pos + n++] == '\n') break;
    }
    std::memcpy(output, data + pos, n);
    output[n] = '\0';
    DropNewline(output);
    pos += n;
  }
  return output[0] == '\0' ? CMD_NO_OUTPUT : CMD_OK;
}

int CmdSystem(const char *command) {
  // system(NULL) would only ask whether a shell exists.
  if (command == nullptr) return -1;
  return std::system(command);
}

int Str2Num(const char *text, int base, int32_t *destination) {
  if (text == nullptr || destination == nullptr) return 1;
  errno = 0;
  char *end = nullptr;
  const long value = std::strtol(text, &end, base);
  if (errno == EINVAL) return 1;  // base outside 0 and 2 to 36
  // Widened so the test means the same where long has 32 bits.
  const long long wide = value;
  if (errno == ERANGE || wide < INT32_MIN || wide > INT32_MAX) {
    errno = ERANGE;
    return 1;
  }
  if (*end != '\0') return 1;
  *destination = static_cast<int32_t>(value);
  return 0;
}
