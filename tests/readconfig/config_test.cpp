// SPDX-License-Identifier: MIT
// CleanConfig (count, table, what a reset keeps) and StaggerAliveTimers;
// the defaults are checked by the reader's tests.
#include <cstdint>
#include <cstring>

#include "config_fixture.h"
#include "support/table_test.h"

namespace {

using namespace std::string_literals;

// The capacity counts every line that starts with "Process", whatever key it
// turns out to have, byte by byte: neither a NUL nor a byte that is no
// character of the locale's encoding may hide the lines after it. There is
// always a table.
struct PreCountRow {
  const char *name;
  std::string content;
  int32_t capacity;
};

const PreCountRow kPreCountRows[] = {
    {"CountsLinesStartingWithProcess", "Process:a\nProcessX:b\n process:c\n:Process:d\n#Process\nProcess\n", 3},
    {"LastLineWithoutNewline", "Proces\nProcess:a\r\nProcess", 2},
    {"NulInACommentChangesNothing", "# a\0comment\nProcess:a\n#\0Process\nProcess:b\n"s, 2},
    {"BytesOfNoEncodingChangeNothing", "# caf\xe9 \xff\xfe\nProcess:a\n", 1},
    {"LongLineCountsOnce", "Process" + std::string(600, 'x') + "Process\n", 1},
    {"EmptyText", "", 0},
};

class PreCountTable : public ConfigTest, public testing::WithParamInterface<PreCountRow> {};

TEST_P(PreCountTable, SizesTheTableFromTheCount) {
  const PreCountRow &row = GetParam();
  const ConfigText text{row.content.data(), row.content.size()};
  CleanConfig(&text, &db_);
  EXPECT_EQ(db_.NumProcess, row.capacity);
  EXPECT_NE(db_.Process, nullptr);
  EXPECT_EQ(Errors(), std::vector<std::string>{});
}
TABLE_ROWS(PreCountTable, kPreCountRows);

// Without a path the table goes, and the pid path stays: the daemon must
// still remove its pid file at exit.
TEST_F(ConfigTest, NullPathFreesTheTableAndKeepsThePidPath) {
  const ConfigText one{"Process\n", 8};
  CleanConfig(&one, &db_);
  strcpy(db_.MyPidPath, "/run/wardend.pid");
  CntLine = 9;
  CntProcess = 9;
  db_.TermTimeout = 9;
  CleanConfig(nullptr, &db_);
  EXPECT_EQ(db_.Process, nullptr);
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_EQ(CntLine, 0);
  EXPECT_EQ(CntProcess, 0);
  EXPECT_EQ(db_.TermTimeout, 5);
  EXPECT_STREQ(db_.MyPidPath, "/run/wardend.pid");
}

// A negative period never resets and must not wrap round to a positive timer.
struct StaggerRow {
  const char *name;
  int32_t aliveWatch;
  std::vector<int32_t> timers;
};

const StaggerRow kStaggerRows[] = {
    {"WrapsRoundThePeriod", 3, {3, 2, 1, 3, 2, 1, 3}},
    {"ZeroPeriodCountsDown", 0, {0, -1, -2}},
    {"SmallestPeriodNeverOverflows", INT32_MIN, {INT32_MIN, INT32_MIN}},
};

class StaggerTable : public testing::TestWithParam<StaggerRow> {};

TEST_P(StaggerTable, SpreadsTheFirstAliveChecks) {
  const StaggerRow &row = GetParam();
  std::vector<ProcEntry> entries(row.timers.size());
  ConfigDb db{};
  db.AliveWatch = row.aliveWatch;
  db.NumProcess = static_cast<int32_t>(row.timers.size());
  db.Process = entries.data();
  StaggerAliveTimers(&db);
  std::vector<int32_t> timers;
  for (const ProcEntry &entry : entries) timers.push_back(entry.TmrAlive);
  EXPECT_EQ(timers, row.timers);
}
TABLE_ROWS(StaggerTable, kStaggerRows);

// The index must answer every name exactly as a walk over the table from
// its first entry: duplicates (the first one wins), names that are prefixes
// of one another, names that collide in a small index, an empty name, and
// entries without a name. Tables of several sizes make the index grow.
TEST(NameIndex, AnswersAsTheWalkFromTheFirstEntry) {
  for (int32_t size : {1, 3, 4, 5, 17, 100, 300}) {
    SCOPED_TRACE(size);
    std::vector<ProcEntry> entries(static_cast<size_t>(size));
    std::vector<std::string> names;
    for (int32_t i = 0; i < size; i++) {
      // Every third name repeats an earlier one; some are prefixes of others.
      const std::string name = i % 3 == 2 ? names[static_cast<size_t>(i) / 2] : "p" + std::to_string(i * 7 % 50);
      names.push_back(name);
      snprintf(entries[i].ExecPath, sizeof entries[i].ExecPath, "/usr/bin/%s", name.c_str());
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
    EXPECT_GE(db.NameSlots, 2 * size);
    for (size_t q = 0; q < queries.size(); q++) {
      EXPECT_EQ(FindProcessByName(&db, queries[q].data(), queries[q].size()), walked[q]) << "[" << queries[q] << "]";
    }
    // Only the name's own bytes count, not what follows them.
    EXPECT_EQ(FindProcessByName(&db, "p7xyz", 2), FindProcessByName(&db, "p7", 2));
    ReleaseNameIndex(&db);
    EXPECT_EQ(db.NameIndex, nullptr);
  }
}

// Every read builds the index for its own table, and the release at exit
// takes it away with the table.
TEST_F(ConfigTest, EveryReadIndexesItsOwnTable) {
  const std::string pid = PidFile("p.pid");
  const std::string a = Program("a");
  const std::string b = Program("b");
  ASSERT_EQ(Read("Process:MONITOR:1:" + pid + ":" + a + "\nProcess:MONITOR:1:" + pid + ":" + b + "\n"), 0);
  ASSERT_NE(db_.NameIndex, nullptr);
  EXPECT_EQ(FindProcessByName(&db_, "b", 1), 1);
  ASSERT_EQ(Read("Process:MONITOR:1:" + pid + ":" + b + "\n"), 0);
  EXPECT_EQ(FindProcessByName(&db_, "b", 1), 0);
  EXPECT_EQ(FindProcessByName(&db_, "a", 1), -1);
  CleanConfig(nullptr, &db_);
  EXPECT_EQ(db_.NameIndex, nullptr);
  EXPECT_EQ(FindProcessByName(&db_, "b", 1), -1);
}

}  // namespace
