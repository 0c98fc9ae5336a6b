// The supervision pass: health-check windows, alive timers, the forgiven
// failure, respawn commands and the reason text.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "supervise/cyclic.h"
#include "supervise/mainloop.h"
#include "supervise_support.h"

using supervise_test::CapturedLog;
using supervise_test::EntrySpec;
using supervise_test::Table;

namespace {

class SupervisePass : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/supervise_pass.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    PsCommand = "ps ax";
  }
  void TearDown() override {
    std::string command = "rm -rf " + dir_;
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  std::string WriteFile(const std::string &name, const std::string &content) const {
    std::ofstream(Path(name)) << content;
    return Path(name);
  }
  // A pid that belonged to a process which has exited and been reaped.
  static pid_t GonePid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
  }
  int Pass(Table &table, int *index) {
    ThreadArg arg;
    arg.QueId = -1;
    arg.Stop = nullptr;
    arg.Config = table.db();
    pthread_mutex_init(&arg.Mutex, nullptr);
    int result = SuperviseProcess(&arg, index);
    pthread_mutex_destroy(&arg.Mutex);
    return result;
  }
  static std::string OwnName() { return std::string("/opt/bin/") + program_invocation_short_name; }

  std::string dir_;
};

TEST_F(SupervisePass, EmptyTablePassesSilently) {
  CapturedLog log;
  Table table({});
  int index = 7;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
  EXPECT_EQ(index, -1);
  EXPECT_TRUE(log.lines().empty());
}

// Passes are numbered from 1; a health check may arrive before given passes.
TEST_F(SupervisePass, HealthCheckWindows) {
  struct Case {
    const char *name;
    int32_t healthCheck;
    std::vector<int> checksBefore;
    int failsAt;  // 0: never within 12 passes
  } cases[] = {
      {"never sends: fails at the second end of the window", 3, {}, 6},
      {"one check in the second window", 3, {5}, 9},
      {"a check before the first end changes nothing", 3, {2}, 6},
      {"checks in every window", 2, {2, 4, 6, 8, 10, 12}, 0},
      {"negative window acts as one second", -4, {}, 2},
      {"one-second window", 1, {}, 2},
      {"no health check configured", 0, {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    Table table({{MANAGE, c.healthCheck, "", "/bin/app", ""}});
    int failedAt = 0;
    for (int pass = 1; pass <= 12 && failedAt == 0; ++pass) {
      for (int when : c.checksBefore)
        if (when == pass) table[0].FlgHlthChk.store(0);
      int index = 0;
      int result = Pass(table, &index);
      if (result != SUPERVISE_OK) {
        EXPECT_EQ(result, SUPERVISE_NO_HEALTH_CHECK);
        EXPECT_EQ(index, 0);
        failedAt = pass;
      }
    }
    EXPECT_EQ(failedAt, c.failsAt);
    if (failedAt != 0) {
      // The window stays expired: the next pass finds the same failure.
      int index = -1;
      EXPECT_EQ(Pass(table, &index), SUPERVISE_NO_HEALTH_CHECK);
      EXPECT_EQ(index, 0);
    }
    EXPECT_TRUE(log.lines().empty());
  }
}

TEST_F(SupervisePass, LiveProcessPassesItsAliveCheck) {
  CapturedLog log;
  std::string pidFile = WriteFile("self.pid", std::to_string(getpid()) + "\n");
  Table table({{MANAGE, 0, pidFile, OwnName(), ""}}, 3);
  table[0].TmrAlive = 2;
  table[0].CntAlive = 1;  // a failure before is forgotten once found
  int index = 0;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
  EXPECT_EQ(table[0].TmrAlive, 1);
  EXPECT_EQ(table[0].CntAlive, 1);
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(table[0].TmrAlive, 3);
  EXPECT_EQ(table[0].CntAlive, 0);
  EXPECT_TRUE(log.lines().empty()) << log.texts()[0];
}

TEST_F(SupervisePass, VanishedProcessIsForgivenOnceThenDead) {
  CapturedLog log;
  pid_t gone = GonePid();
  std::string pidFile = WriteFile("gone.pid", std::to_string(gone) + "\n");
  Table table({{MONITOR, 0, "", "/bin/other", ""}, {MANAGE, 0, pidFile, "/usr/sbin/logd", ""}}, 2);
  table[1].TmrAlive = 1;
  int index = 0;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
  EXPECT_EQ(table[1].CntAlive, 1);
  std::string notFound = "Process [logd:" + std::to_string(gone) + "] was not found";
  EXPECT_EQ(log.texts(), std::vector<std::string>{notFound});
  EXPECT_EQ(log.priorityOf(notFound), LOG_ERR);

  log.clear();
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);  // timer 2 -> 1
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(Pass(table, &index), SUPERVISE_DEAD);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(log.texts(), std::vector<std::string>{notFound});
}

TEST_F(SupervisePass, BadPidFilesAreReported) {
  struct Case {
    const char *name;
    const char *content;  // nullptr: no file
    std::vector<std::string> messages;  // "%p" stands for the pid file path
  } cases[] = {
      {"missing file", nullptr, {"Cmd exec fail : cat %p"}},
      {"empty file", "", {"Cmd exec fail : cat %p"}},
      {"empty last line", "12\n\n", {"Cmd exec fail : cat %p"}},
      {"trailing blank", "123 \n", {"Str2Num convert error [123 ] : cat %p", "Illegal PID file [logd:%p]"}},
      {"no number", "abc\n", {"Str2Num convert error [abc] : cat %p", "Illegal PID file [logd:%p]"}},
      {"negative", "-5\n", {"Illegal PID file [logd:%p]"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Path("bad.pid");
    unlink(path.c_str());
    if (c.content != nullptr) WriteFile("bad.pid", c.content);
    CapturedLog log;
    Table table({{MANAGE, 0, path, "/usr/sbin/logd", ""}}, 5);
    table[0].TmrAlive = 1;
    EXPECT_EQ(SuperviseProcessAlive(&table[0]), 0);
    EXPECT_EQ(table[0].CntAlive, 1);
    std::vector<std::string> expected;
    for (std::string m : c.messages) {
      for (size_t at; (at = m.find("%p")) != std::string::npos;) m.replace(at, 2, path);
      expected.push_back(m);
    }
    EXPECT_EQ(log.texts(), expected);
    for (const auto &line : log.lines()) EXPECT_EQ(line.priority, LOG_ERR);
    // The second failure in a row is the end.
    EXPECT_EQ(SuperviseProcessAlive(&table[0]), 1);
  }
}

TEST_F(SupervisePass, RespawnRunsNameAndOptionOnce) {
  CapturedLog log;
  std::string marker = Path("respawned");
  Table table({{RESPAWN, 0, Path("none.pid"), "/usr/bin/touch", marker}, {MANAGE, 0, Path("none.pid"), "/usr/bin/touch", Path("managed")}}, 4);
  EXPECT_EQ(SuperviseProcessAlive(&table[0]), 0);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0);
  std::string respawn = "Respawn: touch " + marker + " ";
  EXPECT_EQ(log.priorityOf(respawn), LOG_WARNING);

  // MANAGE entries are forgiven too, but nothing is started for them.
  EXPECT_EQ(SuperviseProcessAlive(&table[1]), 0);
  EXPECT_EQ(table[1].CntAlive, 1);
  EXPECT_NE(access(Path("managed").c_str(), F_OK), 0);
}

TEST_F(SupervisePass, RespawnCommandText) {
  CapturedLog log;
  char command[CONFIG_TEXT_SIZE];
  Table table({{RESPAWN, 0, "/x.pid", "/bin/true", ""}, {RESPAWN, 0, "/x.pid", "/bin/true", std::string(258, 'o')}, {MONITOR, 0, "/x.pid", "/bin/false", "x"}});
  EXPECT_EQ(SuperviseProcessAlive_Respawn(&table[0], command), 0);
  EXPECT_STREQ(command, "true ");  // an empty option leaves the blank
  EXPECT_TRUE(log.contains("Respawn: true  "));

  // "true " and 258 characters do not fit: the command is cut to 259.
  EXPECT_EQ(SuperviseProcessAlive_Respawn(&table[1], command), 0);
  EXPECT_EQ(strlen(command), 259u);
  EXPECT_EQ(std::string(command), "true " + std::string(254, 'o'));

  log.clear();
  strcpy(command, "unchanged");
  EXPECT_EQ(SuperviseProcessAlive_Respawn(&table[2], command), 0);
  EXPECT_STREQ(command, "unchanged");
  EXPECT_TRUE(log.lines().empty());
}

// Entry 1 misses its health check in the same pass in which its own and
// entry 2's alive timers run out: the walk stops at the health check.
TEST_F(SupervisePass, HealthBeforeAliveAndStopAtFirstFailure) {
  CapturedLog log;
  Table table({{MANAGE, 100, "", "/bin/a", ""},
               {MANAGE, 1, Path("none.pid"), "/bin/b", ""},
               {MANAGE, 0, Path("none.pid"), "/bin/c", ""}},
              5);
  table[1].FlgHlthChk.store(1);
  table[1].TmrAlive = 1;
  table[2].TmrAlive = 1;
  int index = 0;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_NO_HEALTH_CHECK);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(table[0].TmrHlthChk, 99);
  EXPECT_EQ(table[1].TmrAlive, 1);
  EXPECT_EQ(table[2].TmrAlive, 1);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(SupervisePass, DeadEntryGivesResultAndIndex) {
  CapturedLog log;
  Table table({{MONITOR, 0, "", "/bin/a", ""}, {MANAGE, 0, "", "/bin/b", ""}, {MANAGE, 0, Path("none.pid"), "/bin/c", ""}}, 5);
  table[2].TmrAlive = 1;
  table[2].CntAlive = 1;
  int index = 0;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_DEAD);
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(log.contains("Cmd exec fail : cat " + Path("none.pid")));
}

TEST_F(SupervisePass, NoAliveCheckWithoutPidPathOrPeriod) {
  for (int32_t aliveWatch : {0, -3}) {
    CapturedLog log;
    Table table({{MANAGE, 0, Path("none.pid"), "/bin/a", ""}}, aliveWatch);
    table[0].TmrAlive = 1;
    table[0].CntAlive = 1;
    int index = 0;
    EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
    EXPECT_EQ(table[0].TmrAlive, 1);
    EXPECT_TRUE(log.lines().empty());
  }
  CapturedLog log;
  Table table({{MANAGE, 0, "", "/bin/a", ""}}, 5);
  table[0].TmrAlive = 1;
  table[0].CntAlive = 1;
  int index = 0;
  EXPECT_EQ(Pass(table, &index), SUPERVISE_OK);
  EXPECT_TRUE(log.lines().empty());
}

TEST(DownReason, NamesTheEntryOrUnknown) {
  std::vector<EntrySpec> specs(101, EntrySpec{MANAGE, 0, "", "/bin/p", ""});
  specs[7].execPath = "/usr/bin/logd";
  specs[99].execPath = "/usr/bin/last";
  specs[100].execPath = "/usr/bin/beyond";
  specs[3].execPath = "/" + std::string(240, 'n');
  Table table(specs);
  struct Case {
    int result, index;
    std::string reason;
  } cases[] = {
      {SUPERVISE_DEAD, 7, "Detect that the process [logd] was dead."},
      {SUPERVISE_NO_HEALTH_CHECK, 7, "Detect that the process [logd] did not sent health check."},
      {SUPERVISE_DEAD, 99, "Detect that the process [last] was dead."},
      {SUPERVISE_DEAD, 100, "Detect that the process [unknown] was dead."},
      {SUPERVISE_DEAD, -1, "Detect that the process [unknown] was dead."},
      // 25 + 240 + 11 characters are cut to 255.
      {SUPERVISE_DEAD, 3, ("Detect that the process [" + std::string(240, 'n') + "] was dead.").substr(0, 255)},
  };
  for (const Case &c : cases) {
    char reason[SUPERVISE_REASON_SIZE];
    BuildDownReason(table.db(), c.result, c.index, reason);
    EXPECT_EQ(std::string(reason), c.reason);
  }
}

}  // namespace
