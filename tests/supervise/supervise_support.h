// SPDX-License-Identifier: MIT
// Test support for the supervision and signal tests: the headers they share, a
// captured log, and a table built in the test with its thread record.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/log.h"
#include "readconfig/config.h"
#include "supervise/cyclic.h"
#include "supervise/mainloop.h"
#include "supervise/terminate.h"

namespace supervise_test {

using LogLines = std::vector<std::pair<int, std::string>>;  // priority, text

// Collects every finished log line while it lives; the hook may be called
// from several threads.
struct CapturedLog {
  CapturedLog() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    LogHook = [](int pri, const char *line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(pri, line);
    };
  }
  ~CapturedLog() { LogHook = nullptr; }
  LogLines lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
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
