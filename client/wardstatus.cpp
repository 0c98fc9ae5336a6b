// SPDX-License-Identifier: MIT
// wardctl status: the query over the daemon's status socket, a small JSON
// reader for its reply, and the table and Prometheus renderings. The reply
// comes from a local daemon, but the reader takes any bytes without
// crashing: it checks every token and limits nesting.
#include "wardstatus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ctrlmsg.h"
#include "common/statusaddress.h"
#include "common/utf8.h"

namespace {

// ---- JSON reader ---------------------------------------------------------

void AppendUtf8(unsigned code, std::string *out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xc0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xe0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

constexpr unsigned kReplacement = 0xfffd;

class JsonReader {
 public:
  explicit JsonReader(const std::string &text) : s_(text) {}

  bool Document(JsonValue *value, std::string *error) {
    Blank();
    if (!Value(value, 0)) {
      *error = error_ + " at byte " + std::to_string(pos_);
      return false;
    }
    Blank();
    if (pos_ != s_.size()) {
      *error = "unexpected text after the value at byte " + std::to_string(pos_);
      return false;
    }
    return true;
  }

 private:
  bool Fail(const char *why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[pos_]; }
  void Blank() {
    while (!AtEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) pos_++;
  }
  bool Word(const char *word) {
    size_t length = strlen(word);
    if (s_.compare(pos_, length, word) != 0) return Fail("unknown word");
    pos_ += length;
    return true;
  }

  bool Value(JsonValue *value, int depth) {
    if (depth >= JSON_DEPTH_MAX) return Fail("nested too deeply");
    switch (Peek()) {
      case '{':
        return Object(value, depth);
      case '[':
        return Array(value, depth);
      case '"':
        value->kind = JsonValue::STRING;
        return String(&value->text);
      case 't':
        value->kind = JsonValue::BOOL;
        value->boolean = true;
        return Word("true");
      case 'f':
        value->kind = JsonValue::BOOL;
        return Word("false");
      case 'n':
        value->kind = JsonValue::NUL;
        return Word("null");
      default:
        return Number(value);
    }
  }

  bool Object(JsonValue *value, int depth) {
    value->kind = JsonValue::OBJECT;
    pos_++;  // '{'
    Blank();
    if (Peek() == '}') {
      pos_++;
      return true;
    }
    for (;;) {
      Blank();
      if (Peek() != '"') return Fail("expected a member name");
      std::pair<std::string, JsonValue> member;
      if (!String(&member.first)) return false;
      Blank();
      if (Peek() != ':') return Fail("expected ':'");
      pos_++;
      Blank();
      if (!Value(&member.second, depth + 1)) return false;
      value->members.push_back(std::move(member));
      Blank();
      if (Peek() == ',') {
        pos_++;
        continue;
      }
      if (Peek() == '}') {
        pos_++;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool Array(JsonValue *value, int depth) {
    value->kind = JsonValue::ARRAY;
    pos_++;  // '['
    Blank();
    if (Peek() == ']') {
      pos_++;
      return true;
    }
    for (;;) {
      Blank();
      JsonValue item;
      if (!Value(&item, depth + 1)) return false;
      value->items.push_back(std::move(item));
      Blank();
      if (Peek() == ',') {
        pos_++;
        continue;
      }
      if (Peek() == ']') {
        pos_++;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool Hex4(unsigned *code) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    unsigned result = 0;
    for (int i = 0; i < 4; i++) {
      char c = s_[pos_++];
      result <<= 4;
      if (c >= '0' && c <= '9') {
        result |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        result |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        result |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return Fail("bad \\u escape");
      }
    }
    *code = result;
    return true;
  }

  bool Escape(std::string *out) {
    if (AtEnd()) return Fail("unterminated string");
    char c = s_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        *out += c;
        return true;
      case 'b':
        *out += '\b';
        return true;
      case 'f':
        *out += '\f';
        return true;
      case 'n':
        *out += '\n';
        return true;
      case 'r':
        *out += '\r';
        return true;
      case 't':
        *out += '\t';
        return true;
      case 'u': {
        unsigned code;
        if (!Hex4(&code)) return false;
        if (code >= 0xd800 && code <= 0xdbff && s_.compare(pos_, 2, "\\u") == 0) {
          size_t mark = pos_;
          pos_ += 2;
          unsigned low;
          if (!Hex4(&low)) return false;
          if (low >= 0xdc00 && low <= 0xdfff) {
            AppendUtf8(0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00), out);
            return true;
          }
          pos_ = mark;  // not a pair: the second escape stands on its own
        }
        AppendUtf8(code >= 0xd800 && code <= 0xdfff ? kReplacement : code, out);
        return true;
      }
      default:
        return Fail("bad escape");
    }
  }

  bool String(std::string *out) {
    pos_++;  // '"'
    for (;;) {
      if (AtEnd()) return Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        pos_++;
        return true;
      }
      if (c < 0x20) return Fail("control character in a string");
      if (c == '\\') {
        pos_++;
        if (!Escape(out)) return false;
        continue;
      }
      size_t run = Utf8Length(reinterpret_cast<const unsigned char *>(s_.data()) + pos_, s_.size() - pos_);
      if (run == 0) {
        AppendUtf8(kReplacement, out);
        pos_++;
      } else {
        out->append(s_, pos_, run);
        pos_ += run;
      }
    }
  }

  bool Digits() {
    size_t start = pos_;
    while (!AtEnd() && s_[pos_] >= '0' && s_[pos_] <= '9') pos_++;
    return pos_ > start;
  }

  // The JSON number grammar, checked here; strtod converts only what passed.
  bool Number(JsonValue *value) {
    size_t start = pos_;
    if (Peek() == '-') pos_++;
    if (Peek() == '0') {
      pos_++;
    } else if (!Digits()) {
      return Fail("expected a value");
    }
    if (Peek() == '.') {
      pos_++;
      if (!Digits()) return Fail("bad number");
    }
    if (Peek() == 'e' || Peek() == 'E') {
      pos_++;
      if (Peek() == '+' || Peek() == '-') pos_++;
      if (!Digits()) return Fail("bad number");
    }
    value->kind = JsonValue::NUMBER;
    value->number = strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }

  const std::string &s_;
  size_t pos_ = 0;
  std::string error_;
};

// ---- the query -------------------------------------------------------------

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Waits for events on fd until the deadline: 1 ready, 0 out of time.
int WaitFor(int fd, short events, long long deadline) {
  for (;;) {
    long long left = deadline - NowMs();
    if (left <= 0) return 0;
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? 1 : 0;
  }
}

// ---- shared by both renderings -----------------------------------------

double Number(const JsonValue &object, const char *key, double otherwise = NAN) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::NUMBER ? v->number : otherwise;
}

std::string Text(const JsonValue &object, const char *key) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::STRING ? v->text : std::string();
}

bool Flag(const JsonValue &object, const char *key) {
  const JsonValue *v = object.Get(key);
  return v != nullptr && v->kind == JsonValue::BOOL && v->boolean;
}

const JsonValue *Processes(const JsonValue &reply) {
  const JsonValue *p = reply.Get("processes");
  return p != nullptr && p->kind == JsonValue::ARRAY ? p : nullptr;
}

// The reply may hold any number (1e300, or 1e999 read as infinity): those
// shown or converted are first held within this bound, so that a conversion
// to an integer is defined and every text fits its buffer. Integers this
// large are still exact in a double.
constexpr double kNumberLimit = 1e15;

double Clamped(double value) { return std::max(-kNumberLimit, std::min(value, kNumberLimit)); }

// A span of seconds for people: "0.4s", "59.9s", "12m05s", "3h02m", "4d07h".
std::string Age(double seconds) {
  char text[32];
  if (std::isnan(seconds)) return "-";
  seconds = Clamped(seconds);
  if (seconds < 0) seconds = 0;
  if (seconds < 60) {
    snprintf(text, sizeof text, "%.1fs", seconds);
    return text;
  }
  long long s = static_cast<long long>(seconds);
  if (s < 3600) {
    snprintf(text, sizeof text, "%lldm%02llds", s / 60, s % 60);
  } else if (s < 86400) {
    snprintf(text, sizeof text, "%lldh%02lldm", s / 3600, s % 3600 / 60);
  } else {
    snprintf(text, sizeof text, "%lldd%02lldh", s / 86400, s % 86400 / 3600);
  }
  return text;
}

std::string Whole(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.0f", std::isnan(value) ? 0 : Clamped(value));
  return text;
}

// Seconds with three decimals, for the watchdog intervals.
std::string Seconds(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", std::isnan(value) ? 0 : Clamped(value));
  return text;
}

std::string Padded(const std::string &text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// ---- Prometheus ---------------------------------------------------------

// A sample value: integers as such, other numbers with the precision the
// daemon sends (milliseconds).
std::string SampleValue(double value) {
  char text[48];
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::fabs(value) >= kNumberLimit) {
    // Beyond the integers that are exact: seventeen digits, which read back
    // as the same double.
    snprintf(text, sizeof text, "%.17g", value);
  } else if (value == std::floor(value)) {
    snprintf(text, sizeof text, "%.0f", value);
  } else {
    snprintf(text, sizeof text, "%.3f", value);
  }
  return text;
}

void Family(std::string *out, const char *name, const char *type, const char *help) {
  *out += std::string("# HELP ") + name + " " + help + "\n";
  *out += std::string("# TYPE ") + name + " " + type + "\n";
}

void Sample(std::string *out, const char *name, const std::string &labels, double value) {
  *out += name;
  if (!labels.empty()) *out += "{" + labels + "}";
  *out += " " + SampleValue(value) + "\n";
}

constexpr const char *kStates[] = {"healthy", "waiting for first check", "late", "missing", "forgiven once",
                                   "not checked"};

}  // namespace

const JsonValue *JsonValue::Get(const char *key) const {
  if (kind != OBJECT) return nullptr;
  for (const auto &member : members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error) {
  *value = JsonValue();
  JsonReader reader(text);
  return reader.Document(value, error);
}

std::string JudgeStatusPeer(long peerPid, unsigned long peerUid, bool pidFileRead, const std::string &pidFileText) {
  bool daemon = peerUid == 0;
  if (daemon && pidFileRead) {
    // A pid file that holds no pid says nothing either way; only root can
    // write the daemon's, so a pid in it is the daemon's.
    char *end = nullptr;
    errno = 0;
    const long pid = strtol(pidFileText.c_str(), &end, 10);
    const bool valid = end != pidFileText.c_str() && errno == 0 && pid > 0 && (*end == '\0' || strcmp(end, "\n") == 0);
    if (valid && pid != peerPid) daemon = false;
  }
  if (daemon) return "";
  return "status socket is held by pid " + std::to_string(peerPid) + " (uid " + std::to_string(peerUid) +
         "), not by the daemon";
}

namespace {

// Asks the socket who holds the name and judges it (JudgeStatusPeer).
std::string CheckStatusPeer(int fd, const char *pidFile) {
  struct ucred peer;
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return std::string("cannot tell who holds the status socket: ") + strerror(errno);
  }
  std::string text;
  bool read = false;
  if (pidFile != nullptr) {
    FILE *file = fopen(pidFile, "re");
    if (file != nullptr) {
      char buffer[64];
      const size_t count = fread(buffer, 1, sizeof buffer - 1, file);
      read = !ferror(file);
      fclose(file);
      text.assign(buffer, count);
    }
  }
  return JudgeStatusPeer(static_cast<long>(peer.pid), static_cast<unsigned long>(peer.uid), read, text);
}

}  // namespace

int QueryStatus(const std::string &request, int timeoutMs, const char *pidFile, std::string *reply,
                std::string *error) {
  const long long deadline = NowMs() + timeoutMs;
  Fd sock{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
  if (sock.fd < 0) {
    *error = std::string("cannot make a socket: ") + strerror(errno);
    return STATUS_NO_ANSWER;
  }
  struct sockaddr_un address;
  const socklen_t length = StatusSocketAddress(&address);
  // A full queue of waiting clients answers EAGAIN: try again until the
  // deadline.
  while (connect(sock.fd, reinterpret_cast<struct sockaddr *>(&address), length) != 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN || NowMs() >= deadline) {
      *error = errno == ECONNREFUSED ? std::string("no daemon answers on @" WARDEND_STATUS_NAME " (is wardend running?)")
                                     : std::string("cannot reach the daemon: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    }
    usleep(10000);
  }
  // Nothing goes to, and nothing is taken from, a process that only took
  // the daemon's name.
  *error = CheckStatusPeer(sock.fd, pidFile);
  if (!error->empty()) return STATUS_IMPOSTOR;
  std::string line = request + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = send(sock.fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *error = std::string("cannot send the request: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    } else if (WaitFor(sock.fd, POLLOUT, deadline) == 0) {
      *error = "the daemon did not take the request in time";
      return STATUS_NO_ANSWER;
    }
  }
  shutdown(sock.fd, SHUT_WR);
  reply->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(sock.fd, buffer, sizeof buffer, 0);
    if (n == 0) return STATUS_ANSWERED;
    if (n > 0) {
      if (reply->size() + static_cast<size_t>(n) > STATUS_REPLY_LIMIT) {
        *error = "the reply is too large";
        return STATUS_NO_ANSWER;
      }
      reply->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      *error = std::string("cannot read the reply: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    }
    if (WaitFor(sock.fd, POLLIN, deadline) == 0) {
      *error = "the daemon did not answer in time";
      return STATUS_NO_ANSWER;
    }
  }
}

namespace {

void AddByteEscape(unsigned char byte, std::string *shown) {
  char escape[8];
  snprintf(escape, sizeof escape, "\\x%02x", byte);
  *shown += escape;
}

}  // namespace

std::string Printable(const std::string &text) {
  std::string shown;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char u = p[i];
    if (u == '\r' || u == '\t') {
      shown += u == '\r' ? "\\r" : "\\t";
      i++;
    } else if (u < 0x20 || u == 0x7f) {
      AddByteEscape(u, &shown);
      i++;
    } else if (u < 0x80) {
      shown += static_cast<char>(u);
      i++;
    } else {
      const size_t run = Utf8Length(p + i, size - i);
      if (run == 2 && u == 0xc2 && p[i + 1] <= 0x9f) {
        // U+0080 to U+009F: the C1 controls, which a terminal obeys as it
        // obeys ESC sequences.
        AddByteEscape(u, &shown);
        AddByteEscape(p[i + 1], &shown);
        i += 2;
      } else if (run == 0) {
        // A byte that is no UTF-8 character: in 0x80 to 0x9f a terminal
        // that reads 8-bit text takes it as a C1 control.
        if (u <= 0x9f) {
          AddByteEscape(u, &shown);
        } else {
          shown += static_cast<char>(u);
        }
        i++;
      } else {
        shown.append(text, i, run);
        i += run;
      }
    }
  }
  return shown;
}

std::string ProcessState(const JsonValue &entry) {
  // A respawn command in progress comes first: it holds the table, and one
  // that hangs is seen here before the stall guard acts.
  const JsonValue *respawning = entry.Get("respawning");
  if (respawning != nullptr && respawning->kind == JsonValue::OBJECT) {
    const double since = Number(*respawning, "since", 0);
    return "respawning since " + Whole(std::floor(std::isnan(since) ? 0 : since)) + " s (" +
           Printable(Text(*respawning, "command")) + ")";
  }
  // A failure the alive check forgave comes first: the next one brings the
  // board down. Before that check, a process that is gone is missing.
  if (Number(entry, "forgiven", 0) > 0) return "forgiven once";
  const JsonValue *running = entry.Get("running");
  if (running != nullptr && running->kind == JsonValue::BOOL && !running->boolean) return "missing";
  const double cycle = Number(entry, "health_check_cycle", 0);
  if (cycle != 0) {
    // A negative cycle acts as one second.
    const double window = cycle > 0 ? cycle : 1;
    const double age = Number(entry, "health_check_age");
    const bool armed = Flag(entry, "health_check_armed");
    if (std::isnan(age)) return armed ? "late" : "waiting for first check";
    return armed && age > window ? "late" : "healthy";
  }
  // Without health checks only the alive check looks at the process; with
  // that off too (no pid file, or AliveWatchPeriod 0) nothing ever does.
  const JsonValue *aliveIn = entry.Get("alive_check_in");
  if (aliveIn == nullptr || !aliveIn->IsNumber()) return "not checked";
  if (Text(entry, "pid_read") == "never") return "waiting for first check";
  return "healthy";
}

std::string RenderStatusTable(const JsonValue &reply, std::string *error) {
  if (reply.kind != JsonValue::OBJECT) {
    *error = "the reply is not a JSON object";
    return "";
  }
  if (reply.Get("error") != nullptr) {
    *error = "the daemon refused the request: " + Printable(Text(reply, "error"));
    return "";
  }
  std::string out = "wardend " + Printable(Text(reply, "version")) + ", pid " + Whole(Number(reply, "pid", 0)) +
                    ", up " + Age(Number(reply, "uptime"));
  const JsonValue *config = reply.Get("config");
  if (config != nullptr && config->kind == JsonValue::OBJECT) {
    out += "; configuration " + Printable(Text(*config, "path"));
    out += Flag(*config, "read_ok") ? ", read " : ", could not be read ";
    out += Age(Number(*config, "read_age")) + " ago";
    // The default needs no mention; the in-process check does.
    const std::string aliveCheck = Text(*config, "alive_check");
    if (!aliveCheck.empty() && aliveCheck != "ps") out += ", alive check " + Printable(aliveCheck);
  }
  const double count = Number(reply, "process_count");
  if (!std::isnan(count)) out += "; " + Whole(count) + (count == 1 ? " process" : " processes");
  out += "\n";
  // A refused "Process" line leaves its process unsupervised without any
  // other sign; the lines themselves are in the reply.
  const double refused = config != nullptr && config->kind == JsonValue::OBJECT ? Number(*config, "refused_lines", 0) : 0;
  if (refused > 0) {
    out += Whole(refused) + (refused == 1 ? " line" : " lines") +
           " refused at the last read: see wardctl status --json\n";
  }
  // The optional safety settings, those that are on.
  const JsonValue *safety = reply.Get("safety");
  if (safety != nullptr && safety->kind == JsonValue::OBJECT) {
    std::string settings;
    const double stall = Number(*safety, "SuperviseStallTimeout", 0);
    if (stall > 0) settings += "; stall timeout " + Whole(stall) + "s";
    const std::string record = Text(*safety, "RebootRecord");
    if (!record.empty()) settings += "; reboot record " + Printable(record);
    const JsonValue *loop = safety->Get("RebootLoopLimit");
    if (loop != nullptr && loop->kind == JsonValue::OBJECT) {
      settings += "; reboot loop limit " + Whole(Number(*loop, "count", 0)) + " in " +
                  Whole(Number(*loop, "window", 0)) + "s";
    }
    const double priority = Number(*safety, "WdtPriority", 0);
    if (priority > 0) settings += "; watchdog priority " + Whole(priority);
    if (!settings.empty()) out += "safety: " + settings.substr(2) + "\n";
  }
  const std::string lastShutdown = Text(reply, "last_shutdown");
  if (!lastShutdown.empty()) out += "last shutdown: " + Printable(lastShutdown) + "\n";

  const JsonValue *processes = Processes(reply);
  const bool snapshot = Text(reply, "table") == "snapshot";
  if (snapshot && processes != nullptr) {
    out += "process table busy (a termination or a respawn holds it): processes as they were " +
           Age(Number(reply, "snapshot_age")) + " ago\n";
  }
  if (Text(reply, "table") == "busy" || processes == nullptr) {
    out += "process table busy (a supervision pass or a termination holds it): no process details\n";
  } else if (!processes->items.empty()) {
    struct Row {
      std::string name, kind, state, check, pid;
    };
    std::vector<Row> rows;
    Row head{"NAME", "KIND", "STATE", "LAST CHECK", "PID"};
    size_t nameWidth = head.name.size(), stateWidth = head.state.size(), checkWidth = head.check.size();
    for (const JsonValue &entry : processes->items) {
      Row row;
      row.name = Printable(Text(entry, "name"));
      row.kind = Printable(Text(entry, "kind"));
      row.state = ProcessState(entry);
      const double cycle = Number(entry, "health_check_cycle", 0);
      if (cycle != 0) {
        const double age = Number(entry, "health_check_age");
        row.check = (std::isnan(age) ? std::string("never") : Age(age)) + " / " + Whole(cycle) + "s";
      } else {
        row.check = "-";
      }
      const double pid = Number(entry, "pid");
      row.pid = std::isnan(pid) ? "-" : Whole(pid);
      nameWidth = std::max(nameWidth, row.name.size());
      stateWidth = std::max(stateWidth, row.state.size());
      checkWidth = std::max(checkWidth, row.check.size());
      rows.push_back(row);
    }
    rows.insert(rows.begin(), head);
    for (const Row &row : rows) {
      out += Padded(row.name, nameWidth) + "  " + Padded(row.kind, 7) + "  " + Padded(row.state, stateWidth) + "  " +
             Padded(row.check, checkWidth) + "  " + row.pid + "\n";
    }
  }

  const JsonValue *watchdog = reply.Get("watchdog");
  if (watchdog != nullptr && watchdog->kind == JsonValue::OBJECT) {
    const double since = Number(*watchdog, "since_refresh");
    const double late = Number(*watchdog, "late_refreshes", 0);
    const double failed = Number(*watchdog, "failed_refreshes", 0);
    // A device that refuses the keep-alives leaves the board unprotected:
    // that comes first, with the age of the last refresh it accepted.
    std::string refreshed = "refreshed " + (std::isnan(since) ? std::string("never") : Age(since)) + " ago";
    if (Flag(*watchdog, "refresh_stopped")) {
      // Nothing refreshes the device any more: the hardware resets the board.
      refreshed = "refresh stopped: supervision stalled " + Whole(Number(*watchdog, "stalled_seconds", 0)) +
                  " s, last refresh " + (std::isnan(since) ? std::string("never") : Age(since) + " ago");
    } else if (Flag(*watchdog, "refresh_failing")) {
      refreshed = "refresh failing (" + Printable(Text(*watchdog, "refresh_error")) + "), last accepted " +
                  (std::isnan(since) ? std::string("never") : Age(since) + " ago");
    }
    char line[512];
    snprintf(line, sizeof line, "watchdog: %s, every %ss; last interval %ss, largest %ss, %s late refresh%s",
             refreshed.c_str(), Whole(Number(*watchdog, "refresh_period", 0)).c_str(), Seconds(Number(*watchdog, "interval", 0)).c_str(),
             Seconds(Number(*watchdog, "max_interval", 0)).c_str(), Whole(late).c_str(), late == 1 ? "" : "es");
    out += line;
    if (failed > 0) out += ", " + Whole(failed) + (failed == 1 ? " refused refresh" : " refused refreshes");
    out += "\n";
  }
  const JsonValue *termination = reply.Get("termination");
  if (termination != nullptr && Flag(*termination, "in_progress")) {
    out += "termination in progress (" + Printable(Text(*termination, "mode")) + ", for " +
           Age(Number(*termination, "age")) + "): " + Printable(Text(*termination, "reason")) + "\n";
  }
  return out;
}

std::string PrometheusLabel(const std::string &value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string RenderPrometheus(const JsonValue *reply, double boardUptime) {
  std::string out;
  Family(&out, "wardend_up", "gauge", "1 when the daemon answered the status request, 0 otherwise.");
  Sample(&out, "wardend_up", "", reply != nullptr ? 1 : 0);
  if (reply == nullptr) return out;

  Family(&out, "wardend_info", "gauge", "The daemon's version, as a label.");
  Sample(&out, "wardend_info", "version=\"" + PrometheusLabel(Text(*reply, "version")) + "\"", 1);
  const double uptime = Number(*reply, "uptime");
  if (!std::isnan(uptime)) {
    Family(&out, "wardend_uptime_seconds", "gauge", "Seconds since the daemon started.");
    Sample(&out, "wardend_uptime_seconds", "", uptime);
  }
  // The daemon's uptime starts afresh when it is restarted; the board's
  // only when the board boots, which is what a count of reboots needs.
  if (!std::isnan(boardUptime)) {
    Family(&out, "wardend_board_uptime_seconds", "gauge", "Seconds since the board booted (its boot clock).");
    Sample(&out, "wardend_board_uptime_seconds", "", boardUptime);
  }
  const bool busy = Text(*reply, "table") != "ok";
  Family(&out, "wardend_table_busy", "gauge",
         "1 when a supervision pass or a termination held the process table too long for this reply.");
  Sample(&out, "wardend_table_busy", "", busy ? 1 : 0);

  const JsonValue *config = reply->Get("config");
  if (config != nullptr && config->kind == JsonValue::OBJECT) {
    Family(&out, "wardend_config_read_age_seconds", "gauge", "Seconds since the configuration file was last read.");
    Sample(&out, "wardend_config_read_age_seconds", "", Number(*config, "read_age"));
    Family(&out, "wardend_config_read_ok", "gauge", "1 when the last read could open the configuration file.");
    Sample(&out, "wardend_config_read_ok", "", Flag(*config, "read_ok") ? 1 : 0);
  }
  const JsonValue *safety = reply->Get("safety");
  if (safety != nullptr && safety->kind == JsonValue::OBJECT) {
    const JsonValue *record = safety->Get("RebootRecord");
    const JsonValue *loop = safety->Get("RebootLoopLimit");
    const struct {
      const char *setting;
      bool on;
    } settings[] = {
        {"SuperviseStallTimeout", Number(*safety, "SuperviseStallTimeout", 0) > 0},
        {"RebootRecord", record != nullptr && record->kind == JsonValue::STRING},
        {"RebootLoopLimit", loop != nullptr && loop->kind == JsonValue::OBJECT},
        {"WdtPriority", Number(*safety, "WdtPriority", 0) > 0},
    };
    Family(&out, "wardend_safety_enabled", "gauge", "1 when the optional safety setting is on, 0 when it is off.");
    for (const auto &setting : settings) {
      Sample(&out, "wardend_safety_enabled", std::string("setting=\"") + setting.setting + "\"", setting.on ? 1 : 0);
    }
  }
  const double count = Number(*reply, "process_count");
  if (!std::isnan(count)) {
    Family(&out, "wardend_processes", "gauge", "Number of supervised processes.");
    Sample(&out, "wardend_processes", "", count);
  }

  const JsonValue *watchdog = reply->Get("watchdog");
  if (watchdog != nullptr && watchdog->kind == JsonValue::OBJECT) {
    Family(&out, "wardend_watchdog_refresh_period_seconds", "gauge", "Period of the watchdog refresh.");
    Sample(&out, "wardend_watchdog_refresh_period_seconds", "", Number(*watchdog, "refresh_period"));
    const double since = Number(*watchdog, "since_refresh");
    if (!std::isnan(since)) {
      Family(&out, "wardend_watchdog_seconds_since_refresh", "gauge",
             "Seconds since the last watchdog refresh that the device accepted.");
      Sample(&out, "wardend_watchdog_seconds_since_refresh", "", since);
    }
    Family(&out, "wardend_watchdog_interval_seconds", "gauge", "The last interval between two watchdog refreshes.");
    Sample(&out, "wardend_watchdog_interval_seconds", "", Number(*watchdog, "interval"));
    Family(&out, "wardend_watchdog_max_interval_seconds", "gauge",
           "The largest interval between two watchdog refreshes since the daemon started.");
    Sample(&out, "wardend_watchdog_max_interval_seconds", "", Number(*watchdog, "max_interval"));
    Family(&out, "wardend_watchdog_late_refreshes_total", "counter",
           "Refresh intervals longer than twice the period (each logged as a warning).");
    Sample(&out, "wardend_watchdog_late_refreshes_total", "", Number(*watchdog, "late_refreshes"));
    Family(&out, "wardend_watchdog_failed_refreshes_total", "counter", "Watchdog refreshes the device refused.");
    Sample(&out, "wardend_watchdog_failed_refreshes_total", "", Number(*watchdog, "failed_refreshes", 0));
    Family(&out, "wardend_watchdog_refresh_failing", "gauge",
           "1 while the watchdog device refuses the refreshes (the board is not protected).");
    Sample(&out, "wardend_watchdog_refresh_failing", "", Flag(*watchdog, "refresh_failing") ? 1 : 0);
    const JsonValue *reset = watchdog->Get("caused_last_reset");
    if (reset != nullptr && reset->kind == JsonValue::BOOL) {
      Family(&out, "wardend_watchdog_caused_last_reset", "gauge",
             "1 when the watchdog driver says the watchdog reset the board before this boot, 0 when it says not.");
      Sample(&out, "wardend_watchdog_caused_last_reset", "", reset->boolean ? 1 : 0);
    }
  }
  const JsonValue *termination = reply->Get("termination");
  if (termination != nullptr && termination->kind == JsonValue::OBJECT) {
    Family(&out, "wardend_termination_in_progress", "gauge", "1 while the daemon brings the board down.");
    Sample(&out, "wardend_termination_in_progress", "", Flag(*termination, "in_progress") ? 1 : 0);
  }

  const JsonValue *processes = Processes(*reply);
  // A snapshot's entries are as they were when it was taken: not samples
  // of now.
  if (processes == nullptr || busy) return out;
  // Labels per entry: the name, and for a name that an earlier entry already
  // has (only the first receives health checks) also the entry's index, so
  // that no two series are the same.
  std::vector<std::string> labels;
  std::vector<std::string> seen;
  for (const JsonValue &entry : processes->items) {
    const std::string name = Text(entry, "name");
    std::string label = "name=\"" + PrometheusLabel(name) + "\"";
    bool duplicate = false;
    for (const std::string &other : seen) duplicate = duplicate || other == name;
    if (duplicate) label += ",index=\"" + Whole(Number(entry, "index", 0)) + "\"";
    seen.push_back(name);
    labels.push_back(label);
  }

  Family(&out, "wardend_process_state", "gauge",
         "1 for the state the process is in: healthy, waiting for first check, late, missing, forgiven once or "
         "not checked.");
  for (size_t i = 0; i < labels.size(); i++) {
    const std::string state = ProcessState(processes->items[i]);
    for (const char *name : kStates) {
      Sample(&out, "wardend_process_state", labels[i] + ",state=\"" + name + "\"", state == name ? 1 : 0);
    }
  }
  const struct {
    const char *metric, *key, *type, *help;
  } perProcess[] = {
      {"wardend_process_health_check_age_seconds", "health_check_age", "gauge",
       "Seconds since the last health check arrived (no sample before the first since the last read)."},
      {"wardend_process_health_check_cycle_seconds", "health_check_cycle", "gauge",
       "The configured health-check cycle; 0 means no health checks are expected."},
      {"wardend_process_health_check_window_left_seconds", "window_left", "gauge",
       "Seconds left in the current health-check window."},
      {"wardend_process_alive_check_in_seconds", "alive_check_in", "gauge", "Seconds until the next alive check."},
      {"wardend_process_forgiven_failures", "forgiven", "gauge",
       "Failed alive checks in a row that were forgiven; at 1 the next failure brings the board down."},
      {"wardend_process_respawns_total", "respawns", "counter",
       "Respawns since the configuration was last read."},
      {"wardend_process_pid", "pid", "gauge", "The pid the last alive check read from the pid file."},
  };
  for (const auto &metric : perProcess) {
    Family(&out, metric.metric, metric.type, metric.help);
    for (size_t i = 0; i < labels.size(); i++) {
      const double value = Number(processes->items[i], metric.key);
      if (!std::isnan(value)) Sample(&out, metric.metric, labels[i], value);
    }
  }
  return out;
}
