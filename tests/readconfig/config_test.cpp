// CleanConfig (pre-count, table, what a reset keeps) and StaggerAliveTimers;
// the defaults are checked by the reader's tests.
#include <cstdint>
#include <cstring>
#include <tuple>

#include "config_fixture.h"

namespace {

using CleanConfigTest = ConfigTest;

// The capacity counts every line that starts with "Process", whatever key it
// turns out to have. The path reaches the shell unquoted, so the pipeline may
// print anything: only a plain non-negative count sizes the table, and there
// is always a table. Without a path the table goes, and the pid path stays:
// the daemon must still remove its pid file at exit.
TEST_F(CleanConfigTest, PreCountSizesTheTableNullPathFreesIt) {
  const std::tuple<std::string, int32_t, std::vector<std::string>> cases[] = {
      {WriteFile("three.conf", "Process:a\nProcessX:b\n process:c\n:Process:d\n#Process\nProcess\n"), 3, {}},
      {"/dev/null; exit #", 0, {"Cmd exec fail : cat /dev/null; exit # | grep '^Process' | wc -l"}},
      {"/dev/null; echo abc #", 0,
       {"Str2Num convert error [abc] : cat /dev/null; echo abc # | grep '^Process' | wc -l"}},
      {"/dev/null; echo -4 #", 0, {}},
  };
  for (const auto &[path, capacity, messages] : cases) {
    gLogged.clear();
    CleanConfig(path.c_str(), &db_);
    EXPECT_EQ(db_.NumProcess, capacity) << path;
    EXPECT_NE(db_.Process, nullptr) << path;
    EXPECT_EQ(Errors(), messages) << path;
  }
  strcpy(db_.MyPidPath, "/run/wardend.pid");
  CntLine = CntProcess = db_.TermTimeout = 9;
  CleanConfig(nullptr, &db_);
  EXPECT_EQ(db_.Process, nullptr);
  EXPECT_EQ(std::make_tuple(db_.NumProcess, CntLine, CntProcess, db_.TermTimeout), std::make_tuple(0, 0, 0, 5));
  EXPECT_STREQ(db_.MyPidPath, "/run/wardend.pid");
}

// A negative period never resets and must not wrap round to a positive timer.
TEST(StaggerAliveTimers, WrapsRoundAndNeverOverflows) {
  const std::pair<int32_t, std::vector<int32_t>> cases[] = {
      {3, {3, 2, 1, 3, 2, 1, 3}}, {0, {0, -1, -2}}, {INT32_MIN, {INT32_MIN, INT32_MIN}}};
  for (const auto &[aliveWatch, want] : cases) {
    std::vector<ProcEntry> entries(want.size());
    ConfigDb db{aliveWatch, 0, {0}, 0, {}, static_cast<int32_t>(want.size()), entries.data()};
    StaggerAliveTimers(&db);
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(entries[i].TmrAlive, want[i]) << aliveWatch << " #" << i;
  }
}

}  // namespace
