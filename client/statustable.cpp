// SPDX-License-Identifier: MIT
// wardctl status: the reply as a table for people, with every control
// character of a text shown as an escape.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "statusfields.h"
#include "wardstatus.h"

namespace {

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

// Seconds with three decimals, for the watchdog intervals.
std::string Seconds(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", std::isnan(value) ? 0 : Clamped(value));
  return text;
}

std::string Padded(const std::string &text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

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
  const JsonValue *respawning = JsonMember(entry, "respawning");
  if (respawning != nullptr && respawning->is_object()) {
    const double since = Number(*respawning, "since", 0);
    return "respawning since " + Whole(std::floor(std::isnan(since) ? 0 : since)) + " s (" +
           Printable(Text(*respawning, "command")) + ")";
  }
  // A failure the alive check forgave comes first: the next one brings the
  // board down. Before that check, a process that is gone is missing.
  if (Number(entry, "forgiven", 0) > 0) return "forgiven once";
  const JsonValue *running = JsonMember(entry, "running");
  if (running != nullptr && running->is_boolean() && !running->get<bool>()) return "missing";
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
  const JsonValue *aliveIn = JsonMember(entry, "alive_check_in");
  if (aliveIn == nullptr || !aliveIn->is_number()) return "not checked";
  if (Text(entry, "pid_read") == "never") return "waiting for first check";
  return "healthy";
}

namespace {

// The first line: the daemon, its configuration file and the process count.
std::string HeadLine(const JsonValue &reply) {
  std::string out = "wardend " + Printable(Text(reply, "version")) + ", pid " + Whole(Number(reply, "pid", 0)) +
                    ", up " + Age(Number(reply, "uptime"));
  const JsonValue *config = JsonMember(reply, "config");
  if (config != nullptr && config->is_object()) {
    out += "; configuration " + Printable(Text(*config, "path"));
    out += Flag(*config, "read_ok") ? ", read " : ", could not be read ";
    out += Age(Number(*config, "read_age")) + " ago";
    // The default needs no mention; the in-process check does.
    const std::string aliveCheck = Text(*config, "alive_check");
    if (!aliveCheck.empty() && aliveCheck != "ps") out += ", alive check " + Printable(aliveCheck);
  }
  const double count = Number(reply, "process_count");
  if (!std::isnan(count)) out += "; " + Whole(count) + (count == 1 ? " process" : " processes");
  return out + "\n";
}

// A refused "Process" line leaves its process unsupervised without any
// other sign; the lines themselves are in the reply.
std::string RefusedLine(const JsonValue &reply) {
  const JsonValue *config = JsonMember(reply, "config");
  const double refused = config != nullptr && config->is_object() ? Number(*config, "refused_lines", 0) : 0;
  if (refused <= 0) return "";
  return Whole(refused) + (refused == 1 ? " line" : " lines") + " refused at the last read: see wardctl status --json\n";
}

// The optional safety settings, those that are on.
std::string SafetyLine(const JsonValue &reply) {
  const JsonValue *safety = JsonMember(reply, "safety");
  if (safety == nullptr || !safety->is_object()) return "";
  std::string settings;
  const double stall = Number(*safety, "SuperviseStallTimeout", 0);
  if (stall > 0) settings += "; stall timeout " + Whole(stall) + "s";
  const std::string record = Text(*safety, "RebootRecord");
  if (!record.empty()) settings += "; reboot record " + Printable(record);
  const JsonValue *loop = JsonMember(*safety, "RebootLoopLimit");
  if (loop != nullptr && loop->is_object()) {
    settings += "; reboot loop limit " + Whole(Number(*loop, "count", 0)) + " in " + Whole(Number(*loop, "window", 0)) +
                "s";
  }
  const double priority = Number(*safety, "WdtPriority", 0);
  if (priority > 0) settings += "; watchdog priority " + Whole(priority);
  return settings.empty() ? "" : "safety: " + settings.substr(2) + "\n";
}

// One row per process entry under a head, the columns as wide as their
// widest text; what to say instead when the table was busy.
std::string ProcessRows(const JsonValue &reply) {
  std::string out;
  const JsonValue *processes = Processes(reply);
  const bool snapshot = Text(reply, "table") == "snapshot";
  if (snapshot && processes != nullptr) {
    out += "process table busy (a termination or a respawn holds it): processes as they were " +
           Age(Number(reply, "snapshot_age")) + " ago\n";
  }
  if (Text(reply, "table") == "busy" || processes == nullptr) {
    return out + "process table busy (a supervision pass or a termination holds it): no process details\n";
  }
  if (processes->empty()) return out;
  struct Row {
    std::string name, kind, state, check, pid;
  };
  std::vector<Row> rows;
  Row head{"NAME", "KIND", "STATE", "LAST CHECK", "PID"};
  size_t nameWidth = head.name.size(), stateWidth = head.state.size(), checkWidth = head.check.size();
  for (const JsonValue &entry : *processes) {
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
  return out;
}

std::string WatchdogLine(const JsonValue &reply) {
  const JsonValue *watchdog = JsonMember(reply, "watchdog");
  if (watchdog == nullptr || !watchdog->is_object()) return "";
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
           refreshed.c_str(), Whole(Number(*watchdog, "refresh_period", 0)).c_str(),
           Seconds(Number(*watchdog, "interval", 0)).c_str(), Seconds(Number(*watchdog, "max_interval", 0)).c_str(),
           Whole(late).c_str(), late == 1 ? "" : "es");
  std::string out = line;
  if (failed > 0) out += ", " + Whole(failed) + (failed == 1 ? " refused refresh" : " refused refreshes");
  return out + "\n";
}

std::string TerminationLine(const JsonValue &reply) {
  const JsonValue *termination = JsonMember(reply, "termination");
  if (termination == nullptr || !Flag(*termination, "in_progress")) return "";
  return "termination in progress (" + Printable(Text(*termination, "mode")) + ", for " +
         Age(Number(*termination, "age")) + "): " + Printable(Text(*termination, "reason")) + "\n";
}

}  // namespace

std::string RenderStatusTable(const JsonValue &reply, std::string *error) {
  if (!reply.is_object()) {
    *error = "the reply is not a JSON object";
    return "";
  }
  if (JsonMember(reply, "error") != nullptr) {
    *error = "the daemon refused the request: " + Printable(Text(reply, "error"));
    return "";
  }
  std::string out = HeadLine(reply) + RefusedLine(reply) + SafetyLine(reply);
  const std::string lastShutdown = Text(reply, "last_shutdown");
  if (!lastShutdown.empty()) out += "last shutdown: " + Printable(lastShutdown) + "\n";
  return out + ProcessRows(reply) + WatchdogLine(reply) + TerminationLine(reply);
}
