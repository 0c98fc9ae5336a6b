// CleanConfig (pre-count, table, what a reset keeps) and StaggerAliveTimers;
// the defaults are checked by the reader's tests.
#include <cstdint>
#include <cstring>

#include "config_fixture.h"
#include "support/table_test.h"

namespace {

// The capacity counts every line that starts with "Process", whatever key it
// turns out to have. The path reaches the shell unquoted, so the pipeline may
// print anything: only a plain non-negative count sizes the table, and there
// is always a table.
struct PreCountRow {
  const char *name;
  const char *content;  // of a file in the scratch folder; nullptr: path is the path itself
  const char *path;
  int32_t capacity;
  const char *error;  // nullptr: none
};

const PreCountRow kPreCountRows[] = {
    {"CountsLinesStartingWithProcess", "Process:a\nProcessX:b\n process:c\n:Process:d\n#Process\nProcess\n",
     "three.conf", 3, nullptr},
    {"PipelineWithoutOutput", nullptr, "/dev/null; exit #", 0,
     "Cmd exec fail : cat /dev/null; exit # | grep '^Process' | wc -l"},
    {"OutputThatIsNoNumber", nullptr, "/dev/null; echo abc #", 0,
     "Str2Num convert error [abc] : cat /dev/null; echo abc # | grep '^Process' | wc -l"},
    {"NegativeCount", nullptr, "/dev/null; echo -4 #", 0, nullptr},
};

class PreCountTable : public ConfigTest, public testing::WithParamInterface<PreCountRow> {};

TEST_P(PreCountTable, SizesTheTableFromAPlainCount) {
  const PreCountRow &row = GetParam();
  const std::string path = row.content != nullptr ? WriteFile(row.path, row.content) : row.path;
  CleanConfig(path.c_str(), &db_);
  EXPECT_EQ(db_.NumProcess, row.capacity);
  EXPECT_NE(db_.Process, nullptr);
  EXPECT_EQ(Errors(), row.error != nullptr ? std::vector<std::string>{row.error} : std::vector<std::string>{});
}
TABLE_ROWS(PreCountTable, kPreCountRows);

// Without a path the table goes, and the pid path stays: the daemon must
// still remove its pid file at exit.
TEST_F(ConfigTest, NullPathFreesTheTableAndKeepsThePidPath) {
  CleanConfig(WriteFile("one.conf", "Process\n").c_str(), &db_);
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
  ConfigDb db{row.aliveWatch, 0, {0}, 0, {}, static_cast<int32_t>(row.timers.size()), entries.data()};
  StaggerAliveTimers(&db);
  std::vector<int32_t> timers;
  for (const ProcEntry &entry : entries) timers.push_back(entry.TmrAlive);
  EXPECT_EQ(timers, row.timers);
}
TABLE_ROWS(StaggerTable, kStaggerRows);

}  // namespace
