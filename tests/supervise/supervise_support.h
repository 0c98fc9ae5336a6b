// SPDX-License-Identifier: MIT
// Test support for the supervision tests: a captured log, and a table built
// in the test with the thread record that points at it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "readconfig/config.h"
#include "supervise/mainloop.h"

namespace supervise_test {

using LogLines = std::vector<std::pair<int, std::string>>;  // priority, text

// Collects every finished log line while it lives. The hook may be called
// from several threads.
struct CapturedLog {
  CapturedLog() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    LogHook = &Hook;
  }
  ~CapturedLog() { LogHook = nullptr; }
  LogLines lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  static void Hook(int pri, const char *line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(pri, line);
  }
  static inline std::mutex mutex_;
  static inline LogLines lines_;
};

struct EntrySpec {
  int32_t startUp, healthCheck;
  std::string pidPath, execPath, option;
};

// Filled the way the reader fills a table; every ExecPath has a slash.
struct Table {
  explicit Table(const std::vector<EntrySpec> &specs, int32_t alive = 15) : entries(new ProcEntry[specs.size() + 1]()) {
    db.AliveWatch = alive;
    db.NumProcess = static_cast<int32_t>(specs.size());
    db.Process = specs.empty() ? nullptr : entries.get();
    for (size_t i = 0; i < specs.size(); ++i) {
      ProcEntry &e = entries[i];
      e.StartUp = specs[i].startUp;
      e.TmrHlthChk = e.HealthCheck = specs[i].healthCheck;
      snprintf(e.PidPath, sizeof e.PidPath, "%s", specs[i].pidPath.c_str());
      snprintf(e.ExecPath, sizeof e.ExecPath, "%s", specs[i].execPath.c_str());
      snprintf(e.Option, sizeof e.Option, "%s", specs[i].option.c_str());
      e.procName = strrchr(e.ExecPath, '/') + 1;
      e.TmrAlive = alive;
    }
  }
  ProcEntry &operator[](int i) { return entries[i]; }

  ConfigDb db{};
  std::unique_ptr<ProcEntry[]> entries;
  std::atomic<int> stop{0};
  ThreadArg arg{-1, &stop, &db, PTHREAD_MUTEX_INITIALIZER, nullptr};
};

}  // namespace supervise_test
