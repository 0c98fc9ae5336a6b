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
#include <utility>
#include <vector>

#include "common/log.h"
#include "readconfig/readconfig.h"

// Every line logged during a test, with its priority (nothing in this
// program turns on the debug suffix).
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

  // Writes a file in the scratch folder and returns its full path.
  std::string WriteFile(const std::string &name, const std::string &content, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string PidFile(const std::string &name) { return WriteFile(name, "4242\n"); }
  std::string Program(const std::string &name) { return WriteFile(name, "#!/bin/sh\n", 0755); }
  int Read(const std::string &content) { return ReadConfig(WriteFile("wardend.conf", content).c_str(), &db_); }

  // The texts of every logged line, all of which must be at LOG_ERR.
  std::vector<std::string> Errors() const {
    std::vector<std::string> texts;
    for (const auto &[priority, text] : gLogged) {
      EXPECT_EQ(priority, LOG_ERR) << text;
      texts.push_back(text);
    }
    return texts;
  }

  std::string dir_;
  ConfigDb db_{};
};
