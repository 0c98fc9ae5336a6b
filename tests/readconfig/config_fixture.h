// SPDX-License-Identifier: MIT
// A scratch folder, a database of the test's own and the lines the code logs.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "readconfig/readconfig.h"

// A record's fields by name, so that a difference names its field.
using Fields = std::map<std::string, std::string>;
using Texts = std::vector<std::string>;

// clang-format off
inline Fields SettingsOf(const ConfigDb &db) {
  return {{"AliveWatch", std::to_string(db.AliveWatch)}, {"PowerWatch", std::to_string(db.PowerWatch)},
          {"WdtRefresh", std::to_string(db.WdtRefresh)}, {"TermTimeout", std::to_string(db.TermTimeout)},
          {"MyPidPath", db.MyPidPath}, {"NumProcess", std::to_string(db.NumProcess)},
          {"StallTimeout", std::to_string(db.StallTimeout)}, {"WdtPriority", std::to_string(db.WdtPriority)},
          {"LoopLimit", std::to_string(db.LoopLimitCount) + ":" + std::to_string(db.LoopLimitWindow)},
          {"RebootRecord", db.RebootRecord}, {"AliveCheck", std::to_string(db.AliveCheck)}};
}

// Every entry; procName must point into the entry's own copy of the path.
inline std::vector<Fields> EntriesOf(const ConfigDb &db) {
  std::vector<Fields> entries;
  for (const ProcEntry *e = db.Process; e < db.Process + db.NumProcess; e++) {
    EXPECT_TRUE(e->procName >= e->ExecPath && e->procName < e->ExecPath + sizeof e->ExecPath) << e->ExecPath;
    entries.push_back({{"StartUp", std::to_string(e->StartUp)}, {"HealthCheck", std::to_string(e->HealthCheck)},
                       {"PidPath", e->PidPath}, {"ExecPath", e->ExecPath}, {"procName", e->procName},
                       {"Option", e->Option}, {"TmrHlthChk", std::to_string(e->TmrHlthChk)},
                       {"FlgHlthChk", std::to_string(e->FlgHlthChk)}, {"TmrAlive", std::to_string(e->TmrAlive)},
                       {"CntAlive", std::to_string(e->CntAlive)}});
  }
  return entries;
}
// clang-format on

inline Fields With(Fields base, const Fields &changes) {
  for (const auto &[name, value] : changes) base[name] = value;
  return base;
}

// Every line logged during a test, with its priority.
inline std::vector<std::pair<int, std::string>> gLogged;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogHook = [](int priority, const char *line) { gLogged.emplace_back(priority, line); };
    gLogged.clear();
    char pattern[] = "/tmp/readconfig_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    CleanConfig(nullptr, &db_);
    LogHook = nullptr;
    std::filesystem::remove_all(dir_);
  }

  std::string WriteFile(const std::string &name, const std::string &content, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string PidFile(const std::string &name) { return WriteFile(name, "4242\n"); }
  // A compiled program (the check tells scripts apart by their "#!" line).
  std::string Program(const std::string &name) { return WriteFile(name, "\177ELF", 0755); }
  int Read(const std::string &content) { return ReadConfig(WriteFile("wardend.conf", content).c_str(), &db_); }
  std::string ProcessLine(const std::string &kind, const std::string &program = "p") {
    return "Process:" + kind + ":3:" + PidFile(program + ".pid") + ":" + Program(program) + "\n";
  }

  // The lines logged since the last call, all at LOG_ERR.
  Texts Errors() {
    Texts texts;
    for (const auto &[priority, text] : gLogged) {
      EXPECT_EQ(priority, LOG_ERR) << text;
      texts.push_back(text);
    }
    gLogged.clear();
    return texts;
  }

  std::string dir_;
  ConfigDb db_{};
};
