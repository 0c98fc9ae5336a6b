// SPDX-License-Identifier: MIT
// CleanConfig, StaggerAliveTimers and the name index.
#include <cstdint>
#include <cstring>

#include "config_fixture.h"

namespace {

// The capacity counts the lines starting with "Process"; without a text the
// table goes and the pid path stays.
TEST_F(ConfigTest, SizesTheTableFromTheCountAndResetsAllButThePidPath) {
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
  strcpy(db_.MyPidPath, "/run/wardend.pid");
  CntLine = CntProcess = db_.TermTimeout = 9;
  CleanConfig(nullptr, &db_);
  EXPECT_EQ(db_.Process, nullptr);
  EXPECT_EQ(std::make_tuple(db_.NumProcess, CntLine, CntProcess, db_.TermTimeout), std::make_tuple(0, 0, 0, 5));
  EXPECT_STREQ(db_.MyPidPath, "/run/wardend.pid");
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

// The index answers as a walk from the first entry: duplicates, prefixes,
// collisions, empty and missing names, in tables that make it grow.
TEST(NameIndex, AnswersAsTheWalkFromTheFirstEntry) {
  for (int32_t size : {1, 3, 4, 5, 17, 100, 300}) {
    SCOPED_TRACE(size);
    std::vector<ProcEntry> entries(static_cast<size_t>(size));
    std::vector<std::string> names;
    for (int32_t i = 0; i < size; i++) {
      names.push_back(i % 3 == 2 ? names[static_cast<size_t>(i) / 2] : "p" + std::to_string(i * 7 % 50));
      snprintf(entries[i].ExecPath, sizeof entries[i].ExecPath, "/usr/bin/%s", names.back().c_str());
      entries[i].procName = i == size / 2 ? nullptr : entries[i].ExecPath + 9;
    }
    ConfigDb db{};
    db.Process = entries.data();
    db.NumProcess = size;
    std::vector<std::string> queries = names;
    for (const char *other : {"", "p", "p1 ", "P1", "p999", "usr/bin/p1"}) queries.push_back(other);
    std::vector<int32_t> walked;
    for (const std::string &query : queries) walked.push_back(FindProcessByName(&db, query.data(), query.size()));
    BuildNameIndex(&db);
    ASSERT_NE(db.NameIndex, nullptr);
    for (size_t q = 0; q < queries.size(); q++) {
      EXPECT_EQ(FindProcessByName(&db, queries[q].data(), queries[q].size()), walked[q]) << "[" << queries[q] << "]";
    }
    // Only the name's own bytes count, not what follows them.
    EXPECT_EQ(FindProcessByName(&db, "p7xyz", 2), FindProcessByName(&db, "p7", 2));
    ReleaseNameIndex(&db);
    EXPECT_EQ(db.NameIndex, nullptr);
  }
}

}  // namespace
