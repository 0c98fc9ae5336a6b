// SPDX-License-Identifier: MIT
// Logging for every thread. Each call works in two heap buffers of its own,
// so no lock is needed; LogDebug is written once by LogOpen before any thread
// exists. Not for use inside an asynchronous signal handler (heap, stdio).
#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

int LogDebug = 0;
LogHookFn LogHook = nullptr;

namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

// The finished line is at most this long; the text alone at most two less,
// so even a cut suffix keeps its " |" marker behind a long text.
constexpr size_t kLineMax = LOG_LINE_SIZE - 1;  // 255
constexpr size_t kTextBound = LOG_TEXT_SIZE;

}  // namespace

void LogOpen(const char *identity, int options, int facility) {
  // The debug request rides in the sign bit; it is passed on unchanged, as
  // the system log ignores option bits it does not know.
  LogDebug = options < 0 ? 1 : 0;
  openlog(identity, options, facility);
}

void LogClose() { closelog(); }

int LogMessage(const char *unit, const char *function, int line, int priority,
               const char *format, ...) {
  // Callers report "%m" for the call just before this one; the allocations
  // below may change errno, so it is put back right before the expansion
  // and again on the way out.
  const int callerErrno = errno;
  if (unit == nullptr) unit = "";
  if (function == nullptr) function = "";
  if (format == nullptr) format = "";

  HeapText message(static_cast<char *>(std::calloc(LOG_LINE_SIZE, 1)));
  if (!message) {
    errno = callerErrno;
    return 1;
  }
  // Room for " | ", ':', '@', '\n', three digits of line number and the NUL;
  // a longer line number cuts the suffix at its end, newline first.
  const size_t suffixSize = std::strlen(unit) + std::strlen(function) + 10;
  HeapText suffix(static_cast<char *>(std::calloc(suffixSize, 1)));
  if (!suffix) {
    errno = callerErrno;
    return 1;
  }
  std::snprintf(suffix.get(), suffixSize, " | %d:%s@%s\n", line, function, unit);
  const size_t suffixLen = std::strlen(suffix.get());

  va_list args;
  va_start(args, format);
  errno = callerErrno;
  std::vsnprintf(message.get(), kTextBound, format, args);
  va_end(args);

  char *text = message.get();
  size_t textLen = std::strlen(text);
  if (textLen > 0 && text[textLen - 1] == '\n') text[--textLen] = '\0';

  if (LogDebug) {
    // A suffix that does not fit whole is cut so the line is exactly 255.
    const size_t room = kLineMax - textLen;
    const size_t take = suffixLen <= room ? suffixLen : room;
    std::memcpy(text + textLen, suffix.get(), take);
    text[textLen + take] = '\0';
  }

  if (LogHook != nullptr) {
    LogHook(priority, text);
  } else {
    // The line is data, never a format: percent signs reach the log as they are.
    syslog(priority, "%s", text);
  }
  errno = callerErrno;
  return 0;
}
