// SPDX-License-Identifier: MIT
// The status request reader and the JSON reply, run by the status server
// thread. Threads: the table only when the caller holds ThreadArg.Mutex; see
// docs/design.md.
#include "supervise/statusreply.h"

#include <linux/watchdog.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/errtext.h"
#include "common/version.h"
#include "common/utf8.h"
#include "supervise/stall.h"
#include "supervise/statusinfo.h"
#include "supervise/terminate.h"
#include "supervise/watchdog.h"

namespace {

constexpr char kCommand[] = "status";
constexpr size_t kCommandLength = sizeof kCommand - 1;

// Milliseconds as seconds with three decimals; negative spans (a stamp taken
// just after nowMs) count as 0.
void AddSeconds(StatusText *out, int64_t ms) {
  if (ms < 0) ms = 0;
  out->Format("%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
}

void AddKey(StatusText *out, const char *key) {
  out->Add("\"");
  out->Add(key);
  out->Add("\":");
}

void AddString(StatusText *out, const char *key, const char *text) {
  AddKey(out, key);
  out->AddJsonString(text, strlen(text));
}

void AddInt(StatusText *out, const char *key, long long value) {
  AddKey(out, key);
  out->Format("%lld", value);
}

void AddBool(StatusText *out, const char *key, bool value) {
  AddKey(out, key);
  out->Add(value ? "true" : "false");
}

const char *KindName(int32_t startUp) {
  switch (startUp) {
    case MONITOR:
      return "MONITOR";
    case MANAGE:
      return "MANAGE";
    case RESPAWN:
      return "RESPAWN";
    default:
      return "unknown";
  }
}

void AddWatchdog(const ConfigDb *db, int64_t nowMs, StatusText *out) {
  const DebugInfo &d = gDebugInfo;
  out->Add("\"watchdog\":{");
  AddInt(out, "refresh_period", EffectiveRefresh(db->WdtRefresh.load()));
  out->Add(",");
  AddKey(out, "since_refresh");
  const int64_t refreshed = d.WdtMonoMs.load();
  if (refreshed > 0) {
    AddSeconds(out, nowMs - refreshed);
  } else {
    out->Add("null");
  }
  out->Add(",");
  AddKey(out, "interval");
  AddSeconds(out, d.CurWdtInterval.load());
  out->Add(",");
  AddKey(out, "max_interval");
  AddSeconds(out, d.MaxWdtInterval.load());
  out->Add(",");
  AddInt(out, "late_refreshes", d.CntWdtLate.load());
  out->Add(",");
  AddInt(out, "failed_refreshes", d.CntWdtFail.load());
  out->Add(",");
  // since_refresh counts from the last keep-alive the device accepted; the
  // error says why the latest ones are refused.
  const bool failing = d.WdtFailing.load() != 0;
  AddBool(out, "refresh_failing", failing);
  out->Add(",");
  AddKey(out, "refresh_error");
  if (failing) {
    char buffer[128];
    const char *text = ErrText(d.WdtFailErrno.load(), buffer, sizeof buffer);
    out->AddJsonString(text, strlen(text));
  } else {
    out->Add("null");
  }
  out->Add(",");
  // What the driver said at this boot about the last reset, as the status
  // server or the start-up asked it (not known before the first answer).
  AddKey(out, "caused_last_reset");
  const StatusInfo &info = gStatusInfo;
  if (info.WdtBootAsked != 0 && info.WdtBootFlags >= 0) {
    out->Add((info.WdtBootFlags & WDIOF_CARDRESET) != 0 ? "true" : "false");
  } else {
    out->Add("null");
  }
  out->Add(",");
  // A stall stops the refreshes for good: the hardware resets the board.
  const int stalled = StalledAtStop();
  AddBool(out, "refresh_stopped", stalled > 0);
  out->Add(",");
  AddKey(out, "stalled_seconds");
  if (stalled > 0) {
    out->Format("%d", stalled);
  } else {
    out->Add("null");
  }
  out->Add("}");
}

void AddTermination(int64_t nowMs, StatusText *out) {
  const StatusInfo &info = gStatusInfo;
  out->Add("\"termination\":{");
  AddBool(out, "in_progress", info.TermRunning.load() > 0);
  out->Add(",");
  // The fields behind the flag are written once, before the flag.
  if (info.TermPublished.load(std::memory_order_acquire) != 0) {
    AddString(out, "mode", TermModeName(info.TermMode));
    out->Add(",");
    AddString(out, "reason", info.TermReason);
    out->Add(",");
    AddKey(out, "age");
    AddSeconds(out, nowMs - info.TermStartMs);
  } else {
    out->Add("\"mode\":null,\"reason\":null,\"age\":null");
  }
  out->Add("}");
}

void AddConfig(const ConfigDb *db, int64_t nowMs, StatusText *out) {
  const StatusInfo &info = gStatusInfo;
  out->Add("\"config\":");
  if (info.CntRead == 0) {
    out->Add("null");
  } else {
    out->Add("{");
    AddString(out, "path", info.ReadPath);
    out->Add(",");
    AddBool(out, "read_ok", info.ReadResult == 0);
    out->Add(",");
    AddKey(out, "read_age");
    AddSeconds(out, nowMs - info.ReadMs);
    out->Add(",");
    AddInt(out, "read_time", info.ReadWallSec);
    out->Add(",");
    AddInt(out, "reads", info.CntRead);
    out->Add(",");
    AddString(out, "alive_check", db->AliveCheck == ALIVE_CHECK_PROC ? "proc" : "ps");
    out->Add(",");
    // The lines the read refused, the first few of them with their text: a
    // refused "Process" line leaves its process unsupervised.
    AddInt(out, "refused_lines", db->NumRefused);
    out->Add(",\"refused\":[");
    const int32_t kept = db->NumRefused < CONFIG_REFUSED_KEEP ? db->NumRefused : CONFIG_REFUSED_KEEP;
    for (int32_t i = 0; i < kept; i++) {
      out->Add(i == 0 ? "{" : ",{");
      AddInt(out, "line", db->Refused[i].Line);
      out->Add(",");
      AddString(out, "text", db->Refused[i].Text);
      out->Add("}");
    }
    out->Add("]}");
  }
  out->Add(",\"periods\":{");
  AddInt(out, "AliveWatchPeriod", db->AliveWatch);
  out->Add(",");
  AddInt(out, "PowerWatchPeriod", db->PowerWatch);
  out->Add(",");
  AddInt(out, "WdtRefreshPeriod", db->WdtRefresh.load());
  out->Add(",");
  AddInt(out, "TermTimeout", db->TermTimeout);
  out->Add("},\"safety\":{");
  AddInt(out, "SuperviseStallTimeout", db->StallTimeout.load());
  out->Add(",");
  AddKey(out, "RebootRecord");
  if (db->RebootRecord[0] != '\0') {
    out->AddJsonString(db->RebootRecord, strlen(db->RebootRecord));
  } else {
    out->Add("null");
  }
  out->Add(",");
  AddKey(out, "RebootLoopLimit");
  if (db->LoopLimitCount > 0) {
    out->Format("{\"count\":%d,\"window\":%d}", static_cast<int>(db->LoopLimitCount),
                static_cast<int>(db->LoopLimitWindow));
  } else {
    out->Add("null");
  }
  out->Add(",");
  AddInt(out, "WdtPriority", db->WdtPriority);
  out->Add("},");
  AddInt(out, "process_count", db->Process != nullptr ? db->NumProcess : 0);
}

// What the last alive check made of the pid file (see ProcEntry.PidAlive).
const char *PidRead(int32_t pidAlive) {
  if (pidAlive > 0) return "ok";
  return pidAlive < 0 ? "failed" : "never";
}

// Whether a process with this number exists (it may belong to another user,
// and the number may have been reused since the pid file was read).
bool Running(int32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

// One entry of the table or of a snapshot of it; aliveWatch is the table's
// alive period, snap the snapshot (its mutex held) that may name a respawn,
// null for the table itself (a respawn holds the table while it runs).
void AddEntry(const ProcEntry &e, int index, int32_t aliveWatch, const StatusSnapshot *snap, int64_t nowMs,
              StatusText *out) {
  const char *name = e.procName != nullptr ? e.procName : "";
  out->Add("{");
  AddInt(out, "index", index);
  out->Add(",");
  AddString(out, "name", name);
  out->Add(",");
  AddString(out, "kind", KindName(e.StartUp));
  out->Add(",");
  AddString(out, "pid_file", e.PidPath);
  out->Add(",");
  AddKey(out, "pid");
  if (e.PidAlive > 0) {
    out->Format("%d,", static_cast<int>(e.PidAlive));
    AddBool(out, "running", Running(e.PidAlive));
  } else {
    out->Add("null,\"running\":null");
  }
  out->Add(",");
  AddString(out, "pid_read", PidRead(e.PidAlive));
  out->Add(",");
  AddInt(out, "health_check_cycle", e.HealthCheck);
  out->Add(",");
  AddKey(out, "health_check_age");
  const int64_t checked = e.TimHlthChk.load();
  if (checked > 0) {
    AddSeconds(out, nowMs - checked);
  } else {
    out->Add("null");
  }
  out->Add(",");
  const bool healthChecked = e.HealthCheck != 0;
  AddKey(out, "health_check_armed");
  out->Add(healthChecked ? (e.FlgHlthChk.load() != 0 ? "true" : "false") : "null");
  out->Add(",");
  AddKey(out, "window_left");
  if (healthChecked) {
    out->Format("%d", e.TmrHlthChk > 0 ? static_cast<int>(e.TmrHlthChk) : 0);
  } else {
    out->Add("null");
  }
  out->Add(",");
  AddKey(out, "alive_check_in");
  if (e.PidPath[0] != '\0' && aliveWatch > 0) {
    out->Format("%d", e.TmrAlive > 0 ? static_cast<int>(e.TmrAlive) : 0);
  } else {
    out->Add("null");
  }
  out->Add(",");
  AddInt(out, "forgiven", e.CntAlive);
  out->Add(",");
  AddInt(out, "respawns", e.CntRespawn);
  out->Add(",");
  // A respawn command holds the table while it runs: how long it has run
  // shows one that hangs before the stall guard acts.
  AddKey(out, "respawning");
  if (snap != nullptr && snap->RespawnIndex == index) {
    out->Add("{");
    AddKey(out, "since");
    AddSeconds(out, nowMs - snap->RespawnStartMs);
    out->Add(",");
    AddString(out, "command", snap->RespawnCommand);
    out->Add("}");
  } else {
    out->Add("null");
  }
  out->Add("}");
}

// The entries of entries[0..count), or those called name for
// STATUS_REQ_NAME, as the "processes" array and the reply's end.
void AddProcesses(const ProcEntry *entries, int32_t count, int32_t aliveWatch, const StatusSnapshot *snap,
                  int request, const char *name, size_t nameLength, int64_t nowMs, StatusText *out) {
  out->Add(",\"processes\":[");
  bool first = true;
  for (int32_t i = 0; entries != nullptr && i < count; i++) {
    if (request == STATUS_REQ_NAME && !ProcNameIs(entries[i], name, nameLength)) continue;
    out->Add(first ? "\n" : ",\n");
    first = false;
    AddEntry(entries[i], i, aliveWatch, snap, nowMs, out);
  }
  out->Add(first ? "]}\n" : "\n]}\n");
}

}  // namespace

int StatusRequestAdd(StatusRequest *request, const char *data, size_t size) {
  if (request->Complete) return STATUS_READ_LINE;
  size_t room = sizeof request->Text - request->Length;
  size_t take = size < room ? size : room;
  const char *end = static_cast<const char *>(memchr(data, '\n', take));
  if (end != nullptr) take = static_cast<size_t>(end - data) + 1;
  memcpy(request->Text + request->Length, data, take);
  request->Length += take;
  if (end != nullptr) {
    request->Complete = true;
    return STATUS_READ_LINE;
  }
  return request->Length == sizeof request->Text ? STATUS_READ_TOO_LONG : STATUS_READ_MORE;
}

int StatusRequestParse(const StatusRequest *request, const char **name, size_t *nameLength) {
  size_t length = request->Length;
  if (length > 0 && request->Text[length - 1] == '\n') length--;
  if (length > 0 && request->Text[length - 1] == '\r') length--;
  const char *text = request->Text;
  // A NUL would end the name early and make it look like another.
  if (memchr(text, '\0', length) != nullptr) return STATUS_REQ_BAD;
  if (length == 0) return STATUS_REQ_ALL;
  if (length < kCommandLength || memcmp(text, kCommand, kCommandLength) != 0) return STATUS_REQ_BAD;
  if (length == kCommandLength) return STATUS_REQ_ALL;
  if (text[kCommandLength] != ' ' || length == kCommandLength + 1) return STATUS_REQ_BAD;
  *name = text + kCommandLength + 1;
  *nameLength = length - kCommandLength - 1;
  return STATUS_REQ_NAME;
}

StatusText::~StatusText() { free(data_); }

bool StatusText::Reserve(size_t more) {
  if (failed_) return false;
  if (more > STATUS_REPLY_MAX - length_) {
    failed_ = true;
    return false;
  }
  size_t needed = length_ + more + 1;
  if (needed <= capacity_) return true;
  size_t capacity = capacity_ > 0 ? capacity_ : 4096;
  while (capacity < needed) capacity *= 2;
  char *data = static_cast<char *>(realloc(data_, capacity));
  if (data == nullptr) {
    failed_ = true;
    return false;
  }
  data_ = data;
  capacity_ = capacity;
  return true;
}

void StatusText::Append(const char *text, size_t length) {
  if (!Reserve(length)) return;
  memcpy(data_ + length_, text, length);
  length_ += length;
  data_[length_] = '\0';
}

void StatusText::Add(const char *text) { Append(text, strlen(text)); }

void StatusText::Format(const char *format, ...) {
  char buffer[64];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  // Only numbers are formatted; anything that does not fit is a mistake
  // that must not go out as a cut number.
  if (n < 0 || static_cast<size_t>(n) >= sizeof buffer) {
    failed_ = true;
    return;
  }
  Append(buffer, static_cast<size_t>(n));
}

void StatusText::AddJsonString(const char *text, size_t length) {
  Add("\"");
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t i = 0;
  while (i < length) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      const char escaped[2] = {'\\', static_cast<char>(c)};
      Append(escaped, 2);
      i++;
    } else if (c == '\n') {
      Add("\\n");
      i++;
    } else if (c == '\t') {
      Add("\\t");
      i++;
    } else if (c < 0x20 || c == 0x7f) {
      // Valid JSON needs only the first; the second keeps a terminal sane.
      Format("\\u%04x", c);
      i++;
    } else {
      size_t run = Utf8Length(p + i, length - i);
      if (run == 0) {
        Add("\\ufffd");
        i++;
      } else if (run == 2 && c == 0xc2 && p[i + 1] <= 0x9f) {
        // The C1 controls, escaped for the same reason as DEL.
        Format("\\u%04x", p[i + 1]);
        i += 2;
      } else {
        Append(text + i, run);
        i += run;
      }
    }
  }
  Add("\"");
}

void StatusText::Clear() {
  length_ = 0;
  failed_ = false;
  if (data_ != nullptr) data_[0] = '\0';
}

void BuildStatusError(const char *text, StatusText *out) {
  out->Clear();
  out->Add("{");
  AddString(out, "error", text);
  out->Add("}\n");
}

void BuildStatusReply(const ThreadArg *arg, bool tableLocked, int request, const char *name, size_t nameLength,
                      int64_t nowMs, StatusText *out) {
  const ConfigDb *db = arg->Config;
  out->Clear();
  out->Add("{");
  AddString(out, "version", WARDEND_VERSION);
  out->Add(",");
  AddInt(out, "pid", static_cast<long long>(getpid()));
  out->Add(",");
  AddKey(out, "uptime");
  const int64_t started = gStatusInfo.StartMs.load();
  if (started > 0) {
    AddSeconds(out, nowMs - started);
  } else {
    out->Add("null");
  }
  out->Add(",");
  // Without the table, the copy taken for a termination or a respawn stands
  // in for it. With the table, no respawn runs and the copy is not needed.
  const StatusSnapshot *snap = tableLocked ? nullptr : AcquireStatusSnapshot();
  const bool fromSnapshot = snap != nullptr && snap->Process != nullptr;
  AddString(out, "table", tableLocked ? "ok" : (fromSnapshot ? "snapshot" : "busy"));
  out->Add(",");
  AddWatchdog(db, nowMs, out);
  out->Add(",");
  AddTermination(nowMs, out);
  out->Add(",");
  AddKey(out, "last_shutdown");
  // Written before the threads started and never again.
  if (gStatusInfo.LastShutdown[0] != '\0') {
    out->AddJsonString(gStatusInfo.LastShutdown, strlen(gStatusInfo.LastShutdown));
  } else {
    out->Add("null");
  }
  out->Add(",");
  if (fromSnapshot) {
    out->Add("\"config\":null,\"periods\":null,\"safety\":null,");
    AddKey(out, "snapshot_age");
    AddSeconds(out, nowMs - snap->TakenMs);
    out->Add(",");
    AddInt(out, "process_count", snap->Total);
    AddProcesses(snap->Process, snap->NumProcess, snap->AliveWatch, snap, request, name, nameLength, nowMs, out);
  } else if (!tableLocked) {
    out->Add("\"config\":null,\"periods\":null,\"safety\":null,\"process_count\":null,\"processes\":null}\n");
  } else {
    AddConfig(db, nowMs, out);
    AddProcesses(db->Process, db->NumProcess, db->AliveWatch, nullptr, request, name, nameLength, nowMs, out);
  }
  if (snap != nullptr) ReleaseStatusSnapshot();
  if (out->Failed()) BuildStatusError("reply too large", out);
}
