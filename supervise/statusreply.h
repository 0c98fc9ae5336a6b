// SPDX-License-Identifier: MIT
// The status channel's request and reply: collecting the one request line a
// client may send, parsing it, and building the JSON reply. No sockets here:
// the status server thread calls these, and so do the tests and the fuzzer.
//
// Threads: the status server only, which says whether it holds ThreadArg.Mutex; see docs/design.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ctrlmsg.h"
#include "supervise/mainloop.h"

// The longest request, line end included. A client that sends more without
// a line end gets an error reply: the buffer is fixed and never grows. The
// longest sensible request, "status " and a 259-character name, fits.
constexpr int STATUS_REQUEST_MAX = 300;

struct StatusRequest {
  char Text[STATUS_REQUEST_MAX];
  size_t Length;
  bool Complete;  // a line end arrived; later bytes are ignored
};

// Results of StatusRequestAdd.
constexpr int STATUS_READ_MORE = 0;      // no line end yet and room for more
constexpr int STATUS_READ_LINE = 1;      // the line is complete
constexpr int STATUS_READ_TOO_LONG = 2;  // the buffer filled up without a line end

// Adds bytes as they arrive. Once the line is complete (or too long) more
// bytes change nothing.
int StatusRequestAdd(StatusRequest *request, const char *data, size_t size);

// Results of StatusRequestParse.
constexpr int STATUS_REQ_ALL = 0;   // empty, or "status": every entry
constexpr int STATUS_REQ_NAME = 1;  // "status NAME": the entries called NAME
constexpr int STATUS_REQ_BAD = -1;  // anything else

// Parses the request up to its line end ("\n" or "\r\n"), or all of it when
// the client stopped sending without one. For STATUS_REQ_NAME, *name and
// *nameLength give the name inside request->Text.
int StatusRequestParse(const StatusRequest *request, const char **name, size_t *nameLength);

// The most a reply may take; a table that would need more is answered with
// an error. Far beyond any real table (100 entries need about 40 KB).
constexpr size_t STATUS_REPLY_MAX = WARDEND_STATUS_REPLY_MAX;

// A text that grows as needed, without exceptions: when memory runs out or
// the text would pass STATUS_REPLY_MAX it is marked failed and takes no more.
class StatusText {
 public:
  StatusText() = default;
  ~StatusText();
  StatusText(const StatusText &) = delete;
  StatusText &operator=(const StatusText &) = delete;

  void Append(const char *text, size_t length);
  void Add(const char *text);
  void Format(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // text as a JSON string: quoted, with quotes, backslashes and control
  // characters escaped, and every byte that is not part of valid UTF-8
  // replaced by U+FFFD, so that any name gives a valid reply.
  void AddJsonString(const char *text, size_t length);
  void Clear();

  const char *Data() const { return data_ != nullptr ? data_ : ""; }
  size_t Length() const { return length_; }
  bool Failed() const { return failed_; }

 private:
  bool Reserve(size_t more);

  char *data_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// The reply to a parsed request (STATUS_REQ_ALL or STATUS_REQ_NAME with the
// name), one JSON object and a line end. tableLocked says whether the caller
// holds ThreadArg.Mutex: without it the reply says "table": "busy" and
// carries only what needs no lock. nowMs is MonotonicMs at the reply. On
// failure (no memory) *out holds an error reply.
void BuildStatusReply(const ThreadArg *arg, bool tableLocked, int request, const char *name, size_t nameLength,
                      int64_t nowMs, StatusText *out);
// {"error": "<text>"} and a line end.
void BuildStatusError(const char *text, StatusText *out);
