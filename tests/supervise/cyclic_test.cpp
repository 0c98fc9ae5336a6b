// The supervision pass: health-check windows, alive timers, the forgiven
// failure, the respawn command and the reason text.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>

#include "supervise/cyclic.h"
#include "supervise/mainloop.h"
#include "supervise_support.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

namespace {

// Passes are numbered from 1; a health check may arrive before given passes.
// Once failed, a window stays expired: the next pass fails the same way.
TEST(SupervisePass, HealthCheckWindows) {
  const std::tuple<int32_t, std::vector<int>, int> cases[] = {
      {3, {}, 6},                    // never sends: fails at the second end of the window
      {3, {5}, 9},                   // one check in the second window
      {2, {2, 4, 6, 8, 10, 12}, 0},  // checks in every window: never fails within 12 passes
      {-4, {}, 2},                   // a negative window acts as one second
      {0, {}, 0},                    // no health check configured
  };
  for (const auto &[healthCheck, checksBefore, failsAt] : cases) {
    CapturedLog log;
    Table table({{MANAGE, healthCheck, "", "/bin/app", ""}});
    for (int pass = 1; pass <= (failsAt != 0 ? failsAt + 1 : 12); ++pass) {
      if (std::count(checksBefore.begin(), checksBefore.end(), pass) != 0) table[0].FlgHlthChk.store(0);
      const bool failed = failsAt != 0 && pass >= failsAt;
      int index = -1;
      EXPECT_EQ(SuperviseProcess(&table.arg, &index), failed ? SUPERVISE_NO_HEALTH_CHECK : SUPERVISE_OK)
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
  char dir[] = "/tmp/supervise_pass.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string selfPid = std::string(dir) + "/self.pid", gonePid = std::string(dir) + "/gone.pid";
  std::ofstream(selfPid) << getpid() << "\n";
  std::ofstream(gonePid) << gone << "\n";
  PsCommand = "ps ax";
  CapturedLog log;
  Table table({{MANAGE, 0, selfPid, std::string("/opt/bin/") + program_invocation_short_name, ""},
               {MANAGE, 0, gonePid, "/usr/sbin/logd", ""}}, 2);
  table[0].CntAlive = 1;
  const std::pair<int, std::string> notFound{LOG_ERR, "Process [logd:" + std::to_string(gone) + "] was not found"};
  for (int pass = 1; pass <= 4; ++pass) {
    SCOPED_TRACE(pass);
    int index = 7;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index), pass == 4 ? SUPERVISE_DEAD : SUPERVISE_OK);
    EXPECT_EQ(index, pass == 4 ? 1 : -1);
    EXPECT_EQ(table[0].TmrAlive, pass % 2 == 1 ? 1 : 2);
    EXPECT_EQ(table[0].CntAlive, pass == 1 ? 1 : 0);
    EXPECT_EQ(table[1].CntAlive, pass == 1 ? 0 : 1);
    EXPECT_EQ(log.lines(), LogLines(pass / 2, notFound));
  }
  ASSERT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
}

TEST(SupervisePass, RespawnCommandIsCutAndOnlyForRespawnEntries) {
  char command[CONFIG_TEXT_SIZE] = "unchanged";
  Table table({{MANAGE, 0, "/x.pid", "/bin/true", "x"}, {RESPAWN, 0, "/x.pid", "/bin/true", std::string(258, 'o')}});
  EXPECT_TRUE(SuperviseProcessAlive_Respawn(&table[0], command) == 0 && strcmp(command, "unchanged") == 0) << command;
  EXPECT_EQ(SuperviseProcessAlive_Respawn(&table[1], command), 0);
  EXPECT_EQ(std::string(command), "true " + std::string(254, 'o'));  // cut to 259
}

// Entry 1 misses its health check in the same pass in which its own and
// entry 2's alive timers run out: the walk stops at the health check.
TEST(SupervisePass, HealthBeforeAliveAndStopAtFirstFailure) {
  CapturedLog log;
  Table table({{MANAGE, 100, "", "/bin/a", ""}, {MANAGE, 1, "/nonexistent/none.pid", "/bin/b", ""},
               {MANAGE, 0, "/nonexistent/none.pid", "/bin/c", ""}}, 5);
  table[1].FlgHlthChk.store(1);
  table[1].TmrAlive = table[2].TmrAlive = 1;
  int index = 0;
  EXPECT_EQ(SuperviseProcess(&table.arg, &index), SUPERVISE_NO_HEALTH_CHECK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(table[0].TmrHlthChk, 99);
  EXPECT_TRUE(table[1].TmrAlive == 1 && table[2].TmrAlive == 1);
  EXPECT_TRUE(log.lines().empty());
}

// A period of 0 or less turns the alive check off (a check here would find
// the entry dead).
TEST(SupervisePass, NoAliveCheckWithoutAPeriod) {
  for (int32_t alive : {0, -3}) {
    Table table({{MANAGE, 0, "/nonexistent/none.pid", "/bin/a", ""}}, alive);
    table[0].TmrAlive = table[0].CntAlive = 1;
    int index = 0;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index), SUPERVISE_OK) << alive;
  }
}

TEST(DownReason, NamesTheEntryOrUnknown) {
  std::vector<EntrySpec> specs(101, EntrySpec{MANAGE, 0, "", "/bin/p", ""});
  specs[99].execPath = "/" + std::string(240, 'n');
  Table table(specs);
  const std::tuple<int, int, std::string> cases[] = {
      {SUPERVISE_NO_HEALTH_CHECK, 100, "Detect that the process [unknown] did not sent health check."},
      {SUPERVISE_DEAD, -1, "Detect that the process [unknown] was dead."},
      // 25 + 240 + 11 characters are cut to 255.
      {SUPERVISE_DEAD, 99, ("Detect that the process [" + std::string(240, 'n') + "] was dead.").substr(0, 255)},
  };
  for (const auto &[result, index, expected] : cases) {
    char reason[SUPERVISE_REASON_SIZE];
    BuildDownReason(&table.db, result, index, reason);
    EXPECT_EQ(std::string(reason), expected);
  }
}

}  // namespace
