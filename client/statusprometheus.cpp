// SPDX-License-Identifier: MIT
// wardctl status --prometheus: the reply in the Prometheus text format.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "statusfields.h"
#include "wardstatus.h"

namespace {

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

namespace {

// The daemon itself: its version, uptime and the board's, and whether the
// table could be had.
void DaemonFamilies(const JsonValue &reply, double boardUptime, std::string *out) {
  Family(out, "wardend_info", "gauge", "The daemon's version, as a label.");
  Sample(out, "wardend_info", "version=\"" + PrometheusLabel(Text(reply, "version")) + "\"", 1);
  const double uptime = Number(reply, "uptime");
  if (!std::isnan(uptime)) {
    Family(out, "wardend_uptime_seconds", "gauge", "Seconds since the daemon started.");
    Sample(out, "wardend_uptime_seconds", "", uptime);
  }
  // The daemon's uptime starts afresh when it is restarted; the board's
  // only when the board boots, which is what a count of reboots needs.
  if (!std::isnan(boardUptime)) {
    Family(out, "wardend_board_uptime_seconds", "gauge", "Seconds since the board booted (its boot clock).");
    Sample(out, "wardend_board_uptime_seconds", "", boardUptime);
  }
  Family(out, "wardend_table_busy", "gauge",
         "1 when a supervision pass or a termination held the process table too long for this reply.");
  Sample(out, "wardend_table_busy", "", Text(reply, "table") != "ok" ? 1 : 0);
}

// The last read of the configuration, the safety settings and the count of
// processes.
void ConfigFamilies(const JsonValue &reply, std::string *out) {
  const JsonValue *config = JsonMember(reply, "config");
  if (config != nullptr && config->is_object()) {
    Family(out, "wardend_config_read_age_seconds", "gauge", "Seconds since the configuration file was last read.");
    Sample(out, "wardend_config_read_age_seconds", "", Number(*config, "read_age"));
    Family(out, "wardend_config_read_ok", "gauge", "1 when the last read could open the configuration file.");
    Sample(out, "wardend_config_read_ok", "", Flag(*config, "read_ok") ? 1 : 0);
  }
  const JsonValue *safety = JsonMember(reply, "safety");
  if (safety != nullptr && safety->is_object()) {
    const JsonValue *record = JsonMember(*safety, "RebootRecord");
    const JsonValue *loop = JsonMember(*safety, "RebootLoopLimit");
    const struct {
      const char *setting;
      bool on;
    } settings[] = {
        {"SuperviseStallTimeout", Number(*safety, "SuperviseStallTimeout", 0) > 0},
        {"RebootRecord", record != nullptr && record->is_string()},
        {"RebootLoopLimit", loop != nullptr && loop->is_object()},
        {"WdtPriority", Number(*safety, "WdtPriority", 0) > 0},
    };
    Family(out, "wardend_safety_enabled", "gauge", "1 when the optional safety setting is on, 0 when it is off.");
    for (const auto &setting : settings) {
      Sample(out, "wardend_safety_enabled", std::string("setting=\"") + setting.setting + "\"", setting.on ? 1 : 0);
    }
  }
  const double count = Number(reply, "process_count");
  if (!std::isnan(count)) {
    Family(out, "wardend_processes", "gauge", "Number of supervised processes.");
    Sample(out, "wardend_processes", "", count);
  }
}

void WatchdogFamilies(const JsonValue &reply, std::string *out) {
  const JsonValue *watchdog = JsonMember(reply, "watchdog");
  if (watchdog == nullptr || !watchdog->is_object()) return;
  Family(out, "wardend_watchdog_refresh_period_seconds", "gauge", "Period of the watchdog refresh.");
  Sample(out, "wardend_watchdog_refresh_period_seconds", "", Number(*watchdog, "refresh_period"));
  const double since = Number(*watchdog, "since_refresh");
  if (!std::isnan(since)) {
    Family(out, "wardend_watchdog_seconds_since_refresh", "gauge",
           "Seconds since the last watchdog refresh that the device accepted.");
    Sample(out, "wardend_watchdog_seconds_since_refresh", "", since);
  }
  Family(out, "wardend_watchdog_interval_seconds", "gauge", "The last interval between two watchdog refreshes.");
  Sample(out, "wardend_watchdog_interval_seconds", "", Number(*watchdog, "interval"));
  Family(out, "wardend_watchdog_max_interval_seconds", "gauge",
         "The largest interval between two watchdog refreshes since the daemon started.");
  Sample(out, "wardend_watchdog_max_interval_seconds", "", Number(*watchdog, "max_interval"));
  Family(out, "wardend_watchdog_late_refreshes_total", "counter",
         "Refresh intervals longer than twice the period (each logged as a warning).");
  Sample(out, "wardend_watchdog_late_refreshes_total", "", Number(*watchdog, "late_refreshes"));
  Family(out, "wardend_watchdog_failed_refreshes_total", "counter", "Watchdog refreshes the device refused.");
  Sample(out, "wardend_watchdog_failed_refreshes_total", "", Number(*watchdog, "failed_refreshes", 0));
  Family(out, "wardend_watchdog_refresh_failing", "gauge",
         "1 while the watchdog device refuses the refreshes (the board is not protected).");
  Sample(out, "wardend_watchdog_refresh_failing", "", Flag(*watchdog, "refresh_failing") ? 1 : 0);
  const JsonValue *reset = JsonMember(*watchdog, "caused_last_reset");
  if (reset != nullptr && reset->is_boolean()) {
    Family(out, "wardend_watchdog_caused_last_reset", "gauge",
           "1 when the watchdog driver says the watchdog reset the board before this boot, 0 when it says not.");
    Sample(out, "wardend_watchdog_caused_last_reset", "", reset->get<bool>() ? 1 : 0);
  }
}

void TerminationFamily(const JsonValue &reply, std::string *out) {
  const JsonValue *termination = JsonMember(reply, "termination");
  if (termination == nullptr || !termination->is_object()) return;
  Family(out, "wardend_termination_in_progress", "gauge", "1 while the daemon brings the board down.");
  Sample(out, "wardend_termination_in_progress", "", Flag(*termination, "in_progress") ? 1 : 0);
}

// Labels per entry: the name, and for a name that an earlier entry already
// has (only the first receives health checks) also the entry's index, so
// that no two series are the same.
std::vector<std::string> EntryLabels(const JsonValue &processes) {
  std::vector<std::string> labels;
  std::vector<std::string> seen;
  for (const JsonValue &entry : processes) {
    const std::string name = Text(entry, "name");
    std::string label = "name=\"" + PrometheusLabel(name) + "\"";
    bool duplicate = false;
    for (const std::string &other : seen) duplicate = duplicate || other == name;
    if (duplicate) label += ",index=\"" + Whole(Number(entry, "index", 0)) + "\"";
    seen.push_back(name);
    labels.push_back(label);
  }
  return labels;
}

void ProcessFamilies(const JsonValue &processes, std::string *out) {
  const std::vector<std::string> labels = EntryLabels(processes);
  Family(out, "wardend_process_state", "gauge",
         "1 for the state the process is in: healthy, waiting for first check, late, missing, forgiven once or "
         "not checked.");
  for (size_t i = 0; i < labels.size(); i++) {
    const std::string state = ProcessState(processes[i]);
    for (const char *name : kStates) {
      Sample(out, "wardend_process_state", labels[i] + ",state=\"" + name + "\"", state == name ? 1 : 0);
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
    Family(out, metric.metric, metric.type, metric.help);
    for (size_t i = 0; i < labels.size(); i++) {
      const double value = Number(processes[i], metric.key);
      if (!std::isnan(value)) Sample(out, metric.metric, labels[i], value);
    }
  }
}

}  // namespace

std::string RenderPrometheus(const JsonValue *reply, double boardUptime) {
  std::string out;
  Family(&out, "wardend_up", "gauge", "1 when the daemon answered the status request, 0 otherwise.");
  Sample(&out, "wardend_up", "", reply != nullptr ? 1 : 0);
  if (reply == nullptr) return out;
  DaemonFamilies(*reply, boardUptime, &out);
  ConfigFamilies(*reply, &out);
  WatchdogFamilies(*reply, &out);
  TerminationFamily(*reply, &out);
  // A snapshot's entries are as they were when it was taken: not samples
  // of now.
  const JsonValue *processes = Processes(*reply);
  if (processes != nullptr && Text(*reply, "table") == "ok") ProcessFamilies(*processes, &out);
  return out;
}
