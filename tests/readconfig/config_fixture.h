// Test ground for the configuration database and reader: a scratch folder
// for configuration, pid and program files, a database of the test's own,
// and the log lines the code under test reports.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "readconfig/config.h"

struct LoggedLine {
  int priority;
  std::string text;
};

inline std::vector<LoggedLine> &CapturedLog() {
  static std::vector<LoggedLine> lines;
  return lines;
}

inline void CaptureLine(int priority, const char *line) { CapturedLog().push_back({priority, line}); }

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogDebug = 0;
    LogHook = CaptureLine;
    CapturedLog().clear();
    char pattern[] = "/tmp/readconfig_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    CleanConfig(nullptr, &db_);
    LogHook = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Writes a file in the scratch folder and returns its full path.
  std::string WriteFile(const std::string &name, const std::string &content, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
    return path;
  }

  std::string PidFile(const std::string &name) { return WriteFile(name, "4242\n"); }
  std::string Program(const std::string &name) { return WriteFile(name, "#!/bin/sh\n", 0755); }

  int Read(const std::string &content) {
    conf_ = WriteFile("wardend.conf", content);
    return ReadConfig(conf_.c_str(), &db_);
  }

  // The texts of every captured line, all of them at LOG_ERR.
  std::vector<std::string> Errors() const {
    std::vector<std::string> texts;
    for (const LoggedLine &line : CapturedLog()) {
      EXPECT_EQ(line.priority, LOG_ERR) << line.text;
      texts.push_back(line.text);
    }
    return texts;
  }

  std::string dir_;
  std::string conf_;
  ConfigDb db_{};
};
