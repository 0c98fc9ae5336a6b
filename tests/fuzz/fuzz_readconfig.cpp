// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the configuration reader: once as a whole file
// through ReadConfig, and line by line through handle_config_line with a
// table that has room, so the "Process" path is reached even when the file's
// own count of "Process" lines is 0. Nothing may crash, overread or leak.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "readconfig/readconfig.h"

namespace {

void DropLine(int, const char *) {}

// One file per fuzzing process, rewritten for every input.
const std::string &ConfigPath() {
  static const std::string path = "/tmp/fuzz_readconfig." + std::to_string(getpid()) + ".conf";
  static const bool cleanup = atexit([] { unlink(ConfigPath().c_str()); }) == 0;
  (void)cleanup;
  return path;
}

bool WriteInput(const uint8_t *data, size_t size) {
  FILE *fp = fopen(ConfigPath().c_str(), "we");
  if (fp == nullptr) return false;
  const bool ok = fwrite(data, 1, size, fp) == size;
  return fclose(fp) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  LogHook = DropLine;
  static ConfigDb db{};

  if (WriteInput(data, size) && ReadConfig(ConfigPath().c_str(), &db) == 0) {
    // After a read that opened its file, exactly the filled entries count.
    if (db.NumProcess != CntProcess || db.Process == nullptr) __builtin_trap();
  }

  // Direct calls: the input split at newlines, each piece a NUL-terminated
  // copy, against a fresh table of a few entries.
  CleanConfig(nullptr, &db);
  constexpr int32_t kSlots = 4;
  db.Process = new ProcEntry[kSlots]();
  db.NumProcess = kSlots;
  std::vector<char> line;
  for (size_t i = 0; i <= size; i++) {
    if (i == size || data[i] == '\n') {
      line.push_back('\0');
      handle_config_line(line.data(), &db);
      line.clear();
    } else {
      line.push_back(static_cast<char>(data[i]));
    }
  }
  for (int32_t i = 0; i < CntProcess; i++) {
    const ProcEntry &e = db.Process[i];
    if (e.procName < e.ExecPath || e.procName >= e.ExecPath + sizeof e.ExecPath) __builtin_trap();
  }
  StaggerAliveTimers(&db);
  CleanConfig(nullptr, &db);
  return 0;
}
