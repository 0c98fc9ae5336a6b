// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the status request reader, in chunks of the size
// the first input byte chooses, as a client's writes would arrive; then
// builds the reply the server would send, with the input also used as an
// entry's name and pid file path. The request buffer must never grow or be
// overrun, a parsed name must lie inside it, and every reply must be one
// valid JSON object (read back with wardctl's own reader) whose name is the
// input's when that was valid UTF-8. The same bytes also go to wardctl's
// reader as a reply, and what it accepts through its renderings, which must
// take any JSON without crashing and whose table must hold no control
// character (C0 but the line ends, DEL, C1) for a terminal to obey.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/utf8.h"
#include "supervise/statusreply.h"
#include "wardstatus.h"

namespace {

// One entry whose texts the input fills; all else as the reader leaves it.
struct Table {
  ConfigDb db{};
  ProcEntry entries[2];
  ThreadArg arg{-1, nullptr, &db, PTHREAD_MUTEX_INITIALIZER, nullptr};
  Table() {
    db.Process = entries;
    db.NumProcess = 2;
    db.AliveWatch = 3;
    snprintf(entries[1].ExecPath, sizeof entries[1].ExecPath, "/bin/other");
    entries[1].procName = entries[1].ExecPath + 5;
  }
};

// Whether text is valid UTF-8, character by character.
bool ValidUtf8(const std::string &text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t i = 0; i < text.size();) {
    const size_t run = p[i] < 0x80 ? 1 : Utf8Length(p + i, text.size() - i);
    if (run == 0) return false;
    i += run;
  }
  return true;
}

// Whether text holds a control a terminal would act on: C0 but the line
// feed, DEL, or C1 (U+0080 to U+009F, or such a byte that is not UTF-8).
bool HasControl(const std::string &text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = p[i];
    if ((c < 0x20 && c != '\n') || c == 0x7f) return true;
    const size_t run = c < 0x80 ? 1 : Utf8Length(p + i, text.size() - i);
    if (run == 0 && c <= 0x9f) return true;
    if (run == 2 && c == 0xc2 && p[i + 1] <= 0x9f) return true;
    i += run == 0 ? 1 : run;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const size_t chunk = (data[0] & 0x3f) + 1;
  const bool locked = (data[0] & 0x40) != 0;
  const char *text = reinterpret_cast<const char *>(data + 1);
  const size_t length = size - 1;

  {
    JsonValue any;
    std::string error;
    if (ParseJson(std::string(text, length), &any, &error)) {
      std::string shown = RenderStatusTable(any, &error);
      if (HasControl(shown + error) || HasControl(Printable(std::string(text, length)))) __builtin_trap();
      shown += RenderPrometheus(&any);
      const JsonValue *entries = JsonMember(any, "processes");
      if (entries != nullptr && entries->is_array()) {
        for (const JsonValue &item : *entries) shown += ProcessState(item);
      }
      if (shown.empty()) __builtin_trap();  // the Prometheus text is never empty
    }
  }

  StatusRequest request{};
  int state = STATUS_READ_MORE;
  for (size_t at = 0; at < length; at += chunk) {
    const size_t n = length - at < chunk ? length - at : chunk;
    const size_t before = request.Length;
    state = StatusRequestAdd(&request, text + at, n);
    if (request.Length > sizeof request.Text || request.Length < before) __builtin_trap();
    if (state == STATUS_READ_TOO_LONG && request.Length != sizeof request.Text) __builtin_trap();
  }
  // A line end ends the request at once, and nothing after it is taken.
  const char *newline = static_cast<const char *>(memchr(text, '\n', length));
  if (newline != nullptr && newline - text < STATUS_REQUEST_MAX &&
      (state != STATUS_READ_LINE || request.Length != static_cast<size_t>(newline - text) + 1)) {
    __builtin_trap();
  }

  int parsed = STATUS_REQ_ALL;
  const char *name = nullptr;
  size_t nameLength = 0;
  if (state != STATUS_READ_TOO_LONG) {
    parsed = StatusRequestParse(&request, &name, &nameLength);
    if (parsed == STATUS_REQ_NAME &&
        (name < request.Text || nameLength == 0 || name + nameLength > request.Text + request.Length)) {
      __builtin_trap();
    }
  }
  if (parsed == STATUS_REQ_BAD) parsed = STATUS_REQ_ALL;

  // The input (up to its first NUL) as the first entry's name and pid file.
  static Table table;
  ProcEntry &entry = table.entries[0];
  const size_t nameSize = strnlen(text, length < 250 ? length : 250);
  memcpy(entry.ExecPath, "/x/", 3);
  memcpy(entry.ExecPath + 3, text, nameSize);
  entry.ExecPath[3 + nameSize] = '\0';
  entry.procName = entry.ExecPath + 3;
  memcpy(entry.PidPath, text, nameSize);
  entry.PidPath[nameSize] = '\0';

  StatusText reply;
  BuildStatusReply(&table.arg, locked, parsed, name, nameLength, 1000, &reply);
  const std::string out(reply.Data(), reply.Length());
  JsonValue value;
  std::string error;
  if (reply.Failed() || out.size() < 2 || out.compare(out.size() - 2, 2, "}\n") != 0 ||
      !ParseJson(out, &value, &error) || !value.is_object()) {
    __builtin_trap();
  }
  const JsonValue *processes = JsonMember(value, "processes");
  if (processes == nullptr) __builtin_trap();
  if (!locked) {
    if (!processes->is_null()) __builtin_trap();
    return 0;
  }
  if (!processes->is_array()) __builtin_trap();
  // Every entry of the table, or just those of the asked name.
  const size_t expected =
      parsed == STATUS_REQ_ALL ? 2
                               : (nameLength == nameSize && memcmp(name, text, nameSize) == 0) +
                                     (nameLength == 5 && memcmp(name, "other", 5) == 0);
  if (processes->size() != expected) __builtin_trap();
  const std::string given(text, nameSize);
  // Escaped on the way out and decoded by the reader, a name that was text
  // comes back exactly.
  if (parsed == STATUS_REQ_ALL && ValidUtf8(given)) {
    const JsonValue *shown = JsonMember((*processes)[0], "name");
    if (shown == nullptr || !shown->is_string() || shown->get_ref<const std::string &>() != given) __builtin_trap();
  }
  return 0;
}
