// SPDX-License-Identifier: MIT
// CleanConfig and StaggerAliveTimers.
#include <cstdint>

#include "config_fixture.h"

namespace {

// The capacity counts the lines starting with "Process" (freeing the table and
// keeping the pid path: ReportsEachRefusedLineByNumberAndKeepsTheOthers).
TEST_F(ConfigTest, SizesTheTableFromTheCount) {
  const std::pair<std::string, int32_t> rows[] = {
      {"Process:a\nProcessX:b\n process:c\n:Process:d\n#Process\nProcess\n", 3},
      {"Proces\nProcess:a\r\nProcess", 2},
      {"Process" + std::string(600, 'x') + "Process\n", 1},
      {"", 0}};
  for (const auto &[content, capacity] : rows) {
    const ConfigText text{content.data(), content.size()};
    CleanConfig(&text, &db_);
    EXPECT_EQ(db_.NumProcess, capacity) << content;
    EXPECT_NE(db_.Process, nullptr);
  }
  EXPECT_EQ(Errors(), Texts{});
}

// A negative period never resets and must not wrap round to a positive timer.
TEST(StaggerAliveTimers, SpreadsTheFirstAliveChecks) {
  const std::pair<int32_t, std::vector<int32_t>> rows[] = {
      {3, {3, 2, 1, 3, 2, 1, 3}}, {0, {0, -1, -2}}, {INT32_MIN, {INT32_MIN, INT32_MIN}}};
  for (const auto &[aliveWatch, expected] : rows) {
    std::vector<ProcEntry> entries(expected.size());
    ConfigDb db{};
    db.AliveWatch = aliveWatch;
    db.NumProcess = static_cast<int32_t>(expected.size());
    db.Process = entries.data();
    StaggerAliveTimers(&db);
    std::vector<int32_t> timers;
    for (const ProcEntry &entry : entries) timers.push_back(entry.TmrAlive);
    EXPECT_EQ(timers, expected);
  }
}

}  // namespace
