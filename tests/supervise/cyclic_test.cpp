// The supervision pass: health-check windows, alive timers, the forgiven
// failure, the respawn command and the reason text.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>

#include "supervise/alive.h"
#include "supervise/cyclic.h"
#include "supervise_support.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

namespace {

// Passes are numbered from 1; a health check may arrive before given passes.
// Once failed, a window stays expired: the next pass fails the same way. The
// alive period is 0 or less, which turns the alive check off (a check here
// would find the entry dead).
TEST(SupervisePass, HealthCheckWindows) {
  const std::tuple<int32_t, std::vector<int>, int> cases[] = {
      {3, {}, 6},  // never sends: fails at the second end of the window
      {3, {5}, 9},  // one check in the second window
      {-4, {}, 2},  // a negative window acts as one second
      {0, {}, 0},  // no health check configured
  };
  for (const auto &[healthCheck, checksBefore, failsAt] : cases) {
    CapturedLog log;
    Table table({{MANAGE, healthCheck, "/nonexistent/none.pid", "/bin/app", ""}}, std::min(healthCheck, 0));
    for (int pass = 1; pass <= (failsAt != 0 ? failsAt + 1 : 12); ++pass) {
      if (std::count(checksBefore.begin(), checksBefore.end(), pass) != 0) table[0].FlgHlthChk.store(0);
      const bool failed = failsAt != 0 && pass >= failsAt;
      int index = -1;
      EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), failed ? SUPERVISE_NO_HEALTH_CHECK : SUPERVISE_OK)
          << healthCheck << " at " << pass;
      EXPECT_EQ(index, failed ? 0 : -1) << healthCheck << " at " << pass;
    }
    EXPECT_TRUE(log.lines().empty()) << healthCheck;
  }
}

// A live entry is checked at the end of each alive period and its earlier
// failure forgotten; a vanished one is forgiven once, then found dead.
TEST(SupervisePass, AliveTimersAndTheForgivenFailure) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string selfPid = testing::TempDir() + "self" + std::to_string(getpid()) + ".pid", gonePid = selfPid + "2";
  std::ofstream(selfPid) << getpid() << "\n";
  std::ofstream(gonePid) << gone << "\n";
  PsCommand = "ps ax";
  CapturedLog log;
  Table table({{MANAGE, 0, selfPid, std::string("/opt/bin/") + program_invocation_short_name, ""},
               {MANAGE, 0, gonePid, "/usr/sbin/logd", ""}}, 2);
  table[0].CntAlive = 1;
  for (int pass = 1; pass <= 4; ++pass) {
    SCOPED_TRACE(pass);
    int index = 7;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), pass == 4 ? SUPERVISE_DEAD : SUPERVISE_OK);
    EXPECT_EQ(index, pass == 4 ? 1 : -1);
    EXPECT_EQ(table[0].TmrAlive, pass % 2 == 1 ? 1 : 2);
    EXPECT_TRUE(table[0].CntAlive == (pass == 1) && table[1].CntAlive == (pass != 1));
    EXPECT_EQ(log.lines(), LogLines(pass / 2, {LOG_ERR, "Process [logd:" + std::to_string(gone) + "] was not found"}));
  }
  std::remove(selfPid.c_str()), std::remove(gonePid.c_str());
}

TEST(SupervisePass, RespawnCommandIsCut) {
  char command[CONFIG_TEXT_SIZE];
  Table table({{RESPAWN, 0, "/x.pid", "/bin/true", std::string(258, 'o')}});
  EXPECT_EQ(SuperviseProcessAlive_Respawn(&table[0], command), 0);
  EXPECT_EQ(std::string(command), "true " + std::string(254, 'o'));  // cut to 259
}

// Entry 1 misses its health check in the same pass in which its own and
// entry 2's alive timers run out: the walk stops at the health check (an
// alive check would have reset or failed a timer).
TEST(SupervisePass, HealthBeforeAliveAndStopAtFirstFailure) {
  Table table({{MANAGE, 100, "", "/bin/a", ""}, {MANAGE, 1, "/nonexistent/none.pid", "/bin/b", ""},
               {MANAGE, 0, "/nonexistent/none.pid", "/bin/c", ""}}, 5);
  table[1].FlgHlthChk.store(1);
  table[1].TmrAlive = table[2].TmrAlive = 1;
  int index = 0;
  EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), SUPERVISE_NO_HEALTH_CHECK);
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(table[0].TmrHlthChk == 99 && table[1].TmrAlive == 1 && table[2].TmrAlive == 1);
}

// Entries outside 0..99 are unknown, even when the table has them.
TEST(DownReason, NamesTheEntryOrUnknown) {
  Table table(std::vector<EntrySpec>(101, EntrySpec{MANAGE, 0, "", "/bin/p", ""}));
  char reason[SUPERVISE_REASON_SIZE];
  const auto reasonFor = [&](int r, int i) { BuildDownReason(&table.db, r, i, reason); return std::string(reason); };
  EXPECT_EQ(reasonFor(SUPERVISE_DEAD, 99), "Detect that the process [p] was dead.");
  EXPECT_EQ(reasonFor(SUPERVISE_NO_HEALTH_CHECK, 100), "Detect that the process [unknown] did not sent health check.");
  EXPECT_EQ(reasonFor(SUPERVISE_DEAD, -1), "Detect that the process [unknown] was dead.");
}

}  // namespace
