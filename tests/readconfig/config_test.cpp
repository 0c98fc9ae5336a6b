// CleanConfig (defaults, pre-count, table) and StaggerAliveTimers.
#include <cstdint>
#include <cstring>

#include "config_fixture.h"

namespace {

using CleanConfigTest = ConfigTest;

TEST_F(CleanConfigTest, NullPathReleasesTableRestoresDefaultsKeepsPidPath) {
  db_.Process = new ProcEntry[2]();
  db_.NumProcess = 2;
  db_.AliveWatch = 1;
  db_.PowerWatch = 2;
  db_.WdtRefresh.store(3);
  db_.TermTimeout = 4;
  strcpy(db_.MyPidPath, "/run/wardend.pid");
  CntLine = 9;
  CntProcess = 2;

  CleanConfig(nullptr, &db_);

  EXPECT_EQ(db_.Process, nullptr);
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_EQ(db_.AliveWatch, 15);
  EXPECT_EQ(db_.PowerWatch, 1);
  EXPECT_EQ(db_.WdtRefresh.load(), 30);
  EXPECT_EQ(db_.TermTimeout, 5);
  EXPECT_STREQ(db_.MyPidPath, "/run/wardend.pid");
  EXPECT_EQ(CntLine, 0);
  EXPECT_EQ(CntProcess, 0);
  EXPECT_TRUE(CapturedLog().empty());
}

// The capacity counts every line that starts with "Process", whatever key
// the line turns out to have; the table is zero-filled and never empty.
TEST_F(CleanConfigTest, PreCountSizesZeroFilledTable) {
  struct Case {
    const char *content;
    int32_t capacity;
  };
  const Case cases[] = {
      {"", 0},
      {"# nothing\nAliveWatchPeriod:3\n", 0},
      {"Process:a\nProcessX:b\n process:c\nProcess\n", 3},
      {":Process:not counted\nProcess:x\n", 1},
  };
  for (const Case &c : cases) {
    const std::string path = WriteFile("count.conf", c.content);
    CleanConfig(path.c_str(), &db_);
    EXPECT_EQ(db_.NumProcess, c.capacity) << c.content;
    ASSERT_NE(db_.Process, nullptr) << c.content;
    const int32_t slots = c.capacity > 0 ? c.capacity : 1;
    for (int32_t i = 0; i < slots; i++) {
      const ProcEntry &e = db_.Process[i];
      EXPECT_EQ(e.StartUp | e.HealthCheck | e.TmrHlthChk | e.FlgHlthChk.load() | e.TmrAlive | e.CntAlive, 0);
      EXPECT_EQ(e.PidPath[0] | e.ExecPath[0] | e.Option[0], 0);
      EXPECT_EQ(e.procName, nullptr);
    }
  }
  EXPECT_TRUE(CapturedLog().empty());
}

// The path reaches the shell unquoted, so a path can make the pipeline
// print anything; only a plain non-negative count sizes the table.
TEST_F(CleanConfigTest, PreCountFailuresLeaveOneSlotAndNoCapacity) {
  struct Case {
    std::string path;
    const char *message;  // nullptr: no report
  };
  const Case cases[] = {
      {dir_ + "/missing.conf", nullptr},
      {"/dev/null; exit #", "Cmd exec fail : cat /dev/null; exit # | grep '^Process' | wc -l"},
      {"/dev/null; echo abc #",
       "Str2Num convert error [abc] : cat /dev/null; echo abc # | grep '^Process' | wc -l"},
      {"/dev/null; echo -4 #", nullptr},
  };
  for (const Case &c : cases) {
    CapturedLog().clear();
    CleanConfig(c.path.c_str(), &db_);
    EXPECT_EQ(db_.NumProcess, 0) << c.path;
    EXPECT_NE(db_.Process, nullptr) << c.path;
    if (c.message == nullptr) {
      EXPECT_TRUE(CapturedLog().empty()) << c.path;
    } else {
      EXPECT_EQ(Errors(), std::vector<std::string>{c.message});
    }
  }
}

TEST_F(CleanConfigTest, StaggerSpreadsAliveChecks) {
  struct Case {
    int32_t aliveWatch;
    std::vector<int32_t> timers;
  };
  const Case cases[] = {
      {15, {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 15, 14, 13, 12, 11}},
      {3, {3, 2, 1, 3, 2, 1, 3}},
      {1, {1, 1, 1}},
      {0, {0, -1, -2}},
      {-2, {-2, -3, -4}},
      // A negative period never resets and must not wrap round to a positive timer.
      {INT32_MIN, {INT32_MIN, INT32_MIN}},
  };
  for (const Case &c : cases) {
    CleanConfig(nullptr, &db_);
    const auto n = static_cast<int32_t>(c.timers.size());
    db_.Process = new ProcEntry[n]();
    db_.NumProcess = n;
    db_.AliveWatch = c.aliveWatch;
    StaggerAliveTimers(&db_);
    std::vector<int32_t> timers;
    for (int32_t i = 0; i < n; i++) timers.push_back(db_.Process[i].TmrAlive);
    EXPECT_EQ(timers, c.timers) << "AliveWatch " << c.aliveWatch;
  }
}

}  // namespace
