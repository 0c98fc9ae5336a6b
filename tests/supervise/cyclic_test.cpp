// SPDX-License-Identifier: MIT
// The supervision pass: health-check windows, alive checks and their pid files, the
// reason, the termination a failed pass starts, the stall guard's judgement of a pass.
#include <sys/wait.h>

#include <tuple>

#include "common/cmdexec.h"
#include "supervise/alive.h"
#include "supervise/procscan.h"
#include "supervise/stall.h"
#include "supervise_support.h"

using namespace supervise_test;  // NOLINT(build/namespaces)

namespace {

// Once failed, a window stays expired: the next pass fails the same way. The
// alive period is 0 or less, which turns the alive check off.
TEST(SupervisePass, FailsWhenAHealthWindowEndsTwiceWithoutACheck) {
  const struct {
    int32_t healthCheck;
    std::vector<int> checksBefore;  // passes before which a health check arrives
    int failsAt;                    // first failing pass; 0: none in 12 passes
  } rows[] = {{3, {}, 6}, {3, {5}, 9}, {-4, {}, 2} /* acts as one second */, {0, {}, 0} /* none configured */};
  for (const auto &row : rows) {
    CapturedLog log;
    Table table({{MANAGE, row.healthCheck, "/nonexistent/none.pid", "/bin/app", ""}}, std::min(row.healthCheck, 0));
    for (int pass = 1; pass <= (row.failsAt != 0 ? row.failsAt + 1 : 12); ++pass) {
      SCOPED_TRACE(testing::Message() << "window " << row.healthCheck << ", pass " << pass);
      if (std::count(row.checksBefore.begin(), row.checksBefore.end(), pass) != 0) table[0].FlgHlthChk.store(0);
      const bool failed = row.failsAt != 0 && pass >= row.failsAt;
      int index = -1;
      EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), failed ? SUPERVISE_NO_HEALTH_CHECK : SUPERVISE_OK);
      EXPECT_EQ(index, failed ? 0 : -1);
    }
    EXPECT_TRUE(log.lines().empty());
  }
}

// Entry 1 misses its health check in the pass in which its own and entry 2's
// alive timers run out: the walk stops there and brings the board down with
// the reason, still holding the table so that no re-read can release it.
Table *gTerminating = nullptr;
std::string gTermination;

TEST(SupervisePass, JudgesHealthFirstAndTerminatesWithTheReasonWhileHoldingTheTable) {
  Table table({{MANAGE, 100, "", "/bin/a", ""},
               {MANAGE, 1, "/nonexistent/none.pid", "/usr/bin/beacon", ""},
               {MANAGE, 0, "/nonexistent/none.pid", "/bin/c", ""}},
              5);
  table[1].FlgHlthChk.store(1);
  table[1].TmrAlive = table[2].TmrAlive = 1;
  gTerminating = &table;
  const TerminateAction record = [](int mode, ConfigDb *db, const char *reason) {
    const bool held = pthread_mutex_trylock(&gTerminating->arg.Mutex) == EBUSY;
    gTermination = std::to_string(mode) + (held ? " held " : " free ");
    gTermination += (db == &gTerminating->db ? "" : "other ") + std::string(reason);
  };
  int index = 0;
  EXPECT_EQ(SuperviseProcess(&table.arg, &index, record), SUPERVISE_NO_HEALTH_CHECK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(gTermination,
            std::to_string(TERM_REBOOT) + " held Detect that the process [beacon] did not sent health check.");
  EXPECT_EQ(table[0].TmrHlthChk, 99);
  EXPECT_EQ(table[1].TmrAlive, 1);
  EXPECT_EQ(table[2].TmrAlive, 1);
}

// Entries outside 0..99 are unknown, even when the table has them.
TEST(DownReason, NamesTheEntryOrUnknown) {
  Table table(std::vector<EntrySpec>(101, EntrySpec{MANAGE, 0, "", "/bin/p", ""}));
  char reason[SUPERVISE_REASON_SIZE];
  for (const auto &[kind, index, expected] : {std::tuple{SUPERVISE_DEAD, 99, "[p] was dead."},
                                              {SUPERVISE_NO_HEALTH_CHECK, 100, "[unknown] did not sent health check."},
                                              {SUPERVISE_DEAD, -1, "[unknown] was dead."}}) {
    BuildDownReason(&table.db, kind, index, reason);
    EXPECT_EQ(reason, "Detect that the process " + std::string(expected));
  }
}

// A live entry is checked at the end of each alive period and its earlier
// failure forgotten; a vanished one is forgiven once, then found dead.
TEST(SupervisePass, ForgivesOneLostCheckAndFindsTheSecondDead) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string selfPid = testing::TempDir() + "self" + std::to_string(getpid()) + ".pid";
  const std::string gonePid = selfPid + "2";
  std::ofstream(selfPid) << getpid() << "\n";
  std::ofstream(gonePid) << gone << "\n";
  PsCommand = "ps ax";
  CapturedLog log;
  Table table({{MANAGE, 0, selfPid, std::string("/opt/bin/") + program_invocation_short_name, ""},
               {MANAGE, 0, gonePid, "/usr/sbin/logd", ""}},
              2);
  table[0].CntAlive = 1;
  for (int pass = 1; pass <= 4; ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    int index = 7;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), pass == 4 ? SUPERVISE_DEAD : SUPERVISE_OK);
    EXPECT_EQ(index, pass == 4 ? 1 : -1);
    EXPECT_EQ(table[0].TmrAlive, pass % 2 == 1 ? 1 : 2);
    EXPECT_EQ(table[0].CntAlive, pass == 1 ? 1 : 0);
    EXPECT_EQ(table[1].CntAlive, pass == 1 ? 0 : 1);
    EXPECT_EQ(log.lines(), LogLines(pass / 2, {LOG_ERR, "Process [logd:" + std::to_string(gone) + "] was not found"}));
  }
  std::remove(selfPid.c_str());
  std::remove(gonePid.c_str());
}

// A pass that waits for the table (a dump blocked in the log, a re-read)
// has made no progress: the wait counts towards the timeout.
TEST(Stall, PassWaitingForTheTableStalls) {
  Table table({});
  ASSERT_EQ(pthread_mutex_lock(&table.arg.Mutex), 0);
  ResetPassProgress();
  std::thread pass([&table] {
    int index = 0;
    EXPECT_EQ(SuperviseProcess(&table.arg, &index, nullptr), SUPERVISE_OK);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_GE(SupervisionStalled(1), 1);
  ASSERT_EQ(pthread_mutex_unlock(&table.arg.Mutex), 0);
  pass.join();
  EXPECT_EQ(SupervisionStalled(1), 0);
}

TEST(PidFile, ReadsTheLastLineFromTheEndOfTheFile) {
  const std::string path = testing::TempDir() + "pidfile" + std::to_string(getpid());
  const struct {
    std::string content;
    int result;
    std::string line;
  } rows[] = {
      // A pid file that collects a line per start keeps growing; a last line
      // that begins before the part read is none; a long one is cut.
      {std::string(8000, '1') + "\n" + std::string(6000, '\n') + "4321\n", CMD_OK, "4321"},
      {"\n" + std::string(PID_FILE_READ_SIZE + 10, '5') + "\n", CMD_NO_OUTPUT, ""},
      {"x\n" + std::string(300, '6') + "\n", CMD_OK, std::string(300 - (CONFIG_TEXT_SIZE - 1), '6')},
  };
  for (const auto &row : rows) {
    std::ofstream(path) << row.content;
    char line[CONFIG_TEXT_SIZE];
    EXPECT_EQ(ReadPidFileLine(path.c_str(), line, sizeof line), row.result) << row.line;
    EXPECT_EQ(line, row.line);
  }
  std::remove(path.c_str());
}

// Whole seconds since the mark that counts: the pass's, or the termination's
// step while one runs; nothing once its commands have run or with the check off.
TEST(Stall, JudgedOnTheMarkThatCounts) {
  constexpr int64_t kNow = 5'000'000;
  constexpr int64_t kLongAgo = kNow - 60'000;
  const struct {
    int64_t passMs;
    int32_t phase;
    int64_t termMs;
    int32_t timeout;
    int stalled;
  } rows[] = {
      {kNow - 2'999, TERM_PHASE_NONE, 0, 3, 0},  // not yet
      {kNow - 3'000, TERM_PHASE_NONE, 0, 3, 3},  // exactly the timeout
      {kNow - 7'999, TERM_PHASE_NONE, 0, 3, 7},  // whole seconds, cut
      // A termination's step is judged on its own mark: a pass held by the
      // termination is not stalled, a step that hangs is, whatever the pass.
      {kLongAgo, TERM_PHASE_STEPS, kNow - 1'000, 3, 0},
      {kNow, TERM_PHASE_STEPS, kNow - 4'000, 3, 4},
      // Once the commands have run the device is closed: nothing to judge.
      {kLongAgo, TERM_PHASE_FINAL_WAIT, kLongAgo, 3, 0},
      {kLongAgo, TERM_PHASE_ENDED, kLongAgo, 3, 0},
      {kLongAgo, TERM_PHASE_NONE, 0, 0, 0},  // off
      {kLongAgo, TERM_PHASE_STEPS, kLongAgo, -5, 0},
      {kNow + 1'000, TERM_PHASE_NONE, 0, 1, 0},  // a mark from the future is no stall
      {kNow - int64_t{INT_MAX} * 1000 - 5'000, TERM_PHASE_NONE, 0, 1, INT_MAX},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "pass " << kNow - row.passMs << " ms ago, phase " << row.phase << ", step "
                                    << kNow - row.termMs << " ms ago, timeout " << row.timeout);
    const ProgressMarks marks{row.passMs, row.phase, row.termMs};
    EXPECT_EQ(StalledSeconds(marks, row.timeout, kNow), row.stalled);
  }
}

}  // namespace
