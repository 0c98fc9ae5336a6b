// Test support for the supervision tests: a captured log and tables built in
// the test.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "readconfig/config.h"

namespace supervise_test {

struct LogLine {
  int priority;
  std::string text;
};

// Collects every finished log line for the lifetime of the object. The
// hook may be called from several threads.
class CapturedLog {
 public:
  CapturedLog() {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().clear();
    LogHook = &CapturedLog::Hook;
  }
  ~CapturedLog() { LogHook = nullptr; }

  std::vector<LogLine> lines() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const LogLine &line : lines()) out.push_back(line.text);
    return out;
  }
  bool contains(const std::string &text) const {
    for (const LogLine &line : lines())
      if (line.text == text) return true;
    return false;
  }
  int priorityOf(const std::string &text) const {
    for (const LogLine &line : lines())
      if (line.text == text) return line.priority;
    return -1;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().clear();
  }

 private:
  static std::mutex &Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<LogLine> &Lines() {
    static std::vector<LogLine> lines;
    return lines;
  }
  static void Hook(int priority, const char *line) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().push_back({priority, line});
  }
};

struct EntrySpec {
  int32_t startUp;
  int32_t healthCheck;
  std::string pidPath;
  std::string execPath;
  std::string option;
};

// A table owned by the test, filled the way the reader fills one.
class Table {
 public:
  explicit Table(const std::vector<EntrySpec> &specs, int32_t aliveWatch = 15) {
    db_.AliveWatch = aliveWatch;
    db_.PowerWatch = 1;
    db_.WdtRefresh.store(30);
    db_.TermTimeout = 5;
    entries_.reset(new ProcEntry[specs.size() + 1]());
    for (size_t i = 0; i < specs.size(); ++i) {
      ProcEntry &e = entries_[i];
      e.StartUp = specs[i].startUp;
      e.HealthCheck = specs[i].healthCheck;
      snprintf(e.PidPath, sizeof e.PidPath, "%s", specs[i].pidPath.c_str());
      snprintf(e.ExecPath, sizeof e.ExecPath, "%s", specs[i].execPath.c_str());
      snprintf(e.Option, sizeof e.Option, "%s", specs[i].option.c_str());
      const char *slash = strrchr(e.ExecPath, '/');
      e.procName = slash != nullptr ? const_cast<char *>(slash + 1) : e.ExecPath;
      e.TmrHlthChk = e.HealthCheck;
      e.FlgHlthChk.store(0);
      e.TmrAlive = aliveWatch;
      e.CntAlive = 0;
    }
    db_.NumProcess = static_cast<int32_t>(specs.size());
    db_.Process = specs.empty() ? nullptr : entries_.get();
  }
  ConfigDb *db() { return &db_; }
  ProcEntry &operator[](int i) { return entries_[i]; }

 private:
  ConfigDb db_{};
  std::unique_ptr<ProcEntry[]> entries_;
};

}  // namespace supervise_test
