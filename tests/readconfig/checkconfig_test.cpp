// SPDX-License-Identifier: MIT
// The configuration check: the reader's reports and the warnings, each on its line.
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "config_fixture.h"
#include "readconfig/checkconfig.h"

namespace {

using Notes = std::vector<std::tuple<int32_t, int32_t, std::string>>;
constexpr int32_t E = CHECK_ERROR, W = CHECK_WARNING;

class CheckTest : public ConfigTest {
 protected:
  // The notes of a check (search path: the scratch folder); the check logs nothing.
  Notes Check(const std::string &content, CheckOptions options = {}, const std::string &name = "check.conf") {
    std::vector<CheckNote> notes;
    if (options.SearchPath == nullptr) options.SearchPath = dir_.c_str();
    EXPECT_EQ(CheckConfig(WriteFile(name, content).c_str(), &notes, options), CHECK_OK);
    LogMessage("test", "test", 1, LOG_ERR, "after");  // the check logs nothing and restores the hook it found
    EXPECT_EQ(Errors(), Texts{"after"});
    Notes found;
    for (const CheckNote &note : notes) found.emplace_back(note.Line, note.Severity, note.Text);
    return found;
  }
};

// The warnings, each on its line, after the reader's report if it refuses the line.
TEST_F(CheckTest, ReportsEveryRefusalAndWarningOnItsLine) {
  const std::string pid = PidFile("app.pid"), exe = Program("app"), tail = ":" + pid + ":" + exe;
  const std::string ignored = ": the daemon ignores the line";
  const std::string caseRule = ": keys are matched in exact letter case, so the daemon ignores the line";
  // clang-format off
  const std::vector<std::pair<std::string, std::vector<std::pair<int32_t, std::string>>>> rows = {
      {"# a comment:AliveWatchPerod", {}}, {"", {}}, {"   \t", {}}, {":::", {}}, {"WdtRefreshPeriod:5:extra", {}},
      {" Wardend:x:/run/w.pid", {{W, "unknown key ' Wardend'" + ignored + "; did you mean 'Wardend'?"}}},
      {"Watchdog:5", {{W, "unknown key 'Watchdog'" + ignored}}},
      {"process:MONITOR" + tail, {{W, "key 'process' is not 'Process'" + caseRule}}},
      {"TermTimeout: 3", {{W, "blank before the number ' 3' (taken, but a blank after a number is not)"}}},
      {"AliveWatchPeriod:7\t",
       {{E, "Str2Num convert error [7\t] : Success"}, {W, "blank after the number '7\t': the value does not convert"}}},
      {"Process:MANAGE:5 " + tail,
       {{E, "Str2Num convert error [5 ] : Success"}, {W, "blank after the number '5 ': the value does not convert"}}},
      {"WdtRefreshPeriod:-2", {{W, "WdtRefreshPeriod -2 is taken as 1 second"}}},
      {"Process:start:5" + tail, {{W, "start-up kind 'start' makes the daemon pass over the line without a report: "
                                      "the process is not supervised"}}},
      {"Process:MONITOR:-4" + tail, {{W, "negative health-check cycle -4 acts as a cycle of 1 second"}}},
      {"Process:RESPAWN:10" + tail + ":-q", {{W, "process name 'app' is used on line 14 already: health checks "
                                                 "naming 'app' reach only the entry of line 14"}}},
      {"Process:MANAGE:0:" + pid + ":" + Program("later"), {}},
      {"AliveCheck:Proc", {{E, "Config read: AliveCheck convert error line 17 [Proc]"},
                           {W, "method 'Proc' is not 'proc': methods are matched in lower case"}}},
      {"AliveCheck:proc", {}},
      // Notes go on the file's lines, texts keep the reader's count (each piece of a long line); the check reads
      // every byte; Windows line ends warn once.
      {std::string(300, 'x') + "TermTimeout", {{E, "line 19 is too long in config file"},
          {W, "unknown key '" + std::string(45, 'x') + "TermTimeout': the daemon ignores the line"}}},
      {"AliveWatchPeriod", {{E, "No alive watch value given on line 21"}}}, {std::string("# \0", 3), {}},
      {"# comment\r", {{W, "Windows line ends on 2 lines, the first here: the carriage return stays in the last "
                               "field, where a number does not convert and a path names no file"}}},
      {"TermTimeout:3\r", {{E, "Str2Num convert error [3\r] : Success"}}},
  };
  // clang-format on
  std::string content;
  Notes expected;
  for (size_t i = 0; i < rows.size(); i++) {
    content += rows[i].first + "\n";
    for (const auto &[severity, text] : rows[i].second)
      expected.emplace_back(static_cast<int32_t>(i + 1), severity, text);
  }
  EXPECT_EQ(Check(content, {}, "split #x"), expected);
}

TEST_F(CheckTest, CleanFilesAndFilesThatCannotBeChecked) {
  std::vector<CheckNote> notes{{1, CHECK_ERROR, "stale"}};
  EXPECT_EQ(CheckConfig((dir_ + "/missing").c_str(), &notes), CHECK_CANNOT_READ);
  EXPECT_TRUE(notes.empty());
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {dir_, std::string("/dev/null"), fifo}) {
    EXPECT_EQ(CheckConfig(path.c_str(), &notes), CHECK_NOT_A_FILE) << path;
  }
  const std::string large = WriteFile("large", std::string(CONFIG_FILE_MAX + 1, '#'));
  EXPECT_EQ(CheckConfig(large.c_str(), &notes), CHECK_CANNOT_READ);
  EXPECT_EQ(errno, EFBIG);
}

// Mistakes the reader takes in silence or explains badly, one file each.
TEST_F(CheckTest, WarnsAboutMistakesThatBiteOnABoard) {
  const std::string pid = PidFile("app.pid"), exe = Program("app"), tail = ":" + pid + ":" + exe;
  ASSERT_EQ(mkdir((dir_ + "/opt").c_str(), 0755), 0);
  const std::string elsewhere = Program("opt/tool"), shadowed = Program("opt/app"), fifo = dir_ + "/fifo";
  const std::string script = WriteFile("run", "#!/bin/sh\nexec sleep 9\n", 0755), viaPath = "the respawn command runs ";
  const std::string noFolder = " does not exist, so the daemon cannot keep the record: create it on persistent storage";
  // An executable FIFO passes the reader; the check must not block on it.
  ASSERT_EQ(mkfifo(fifo.c_str(), 0755) | chmod(fifo.c_str(), 0755), 0);
  // clang-format off
  const std::string interpreted = script + " is run by an interpreter (#!/bin/sh): a termination's 'pidof -s run' "
      "cannot see it, so it is not stopped before the reboot; set AliveCheck:proc, which finds it through its pid "
      "file";
  const std::vector<std::pair<std::string, Notes>> rows = {
      {"Process:MANAGE" + tail, {{1, E, "Str2Num convert error [" + pid + "] : Success"},
                                 {1, W, "no health-check cycle: '" + pid + "' stands where the cycle belongs; a "
                                        "Process line is Process:StartUp:HealthCheck:PidPath:ExecPath[:Option], with 0 "
                                        "for a process that sends no health checks"}}},
      {"Process:MANAGE:x" + tail, {{1, E, "Str2Num convert error [x] : Success"}}},
      {"RebootLoopLimit:3:600", {{1, W, "RebootLoopLimit without RebootRecord does nothing: the daemon counts reboots "
                                        "in the record; add RebootRecord:<a file on persistent storage>"}}},
      {"RebootLoopLimit:3:600\nRebootRecord:" + dir_ + "/reboots", {}},
      {"RebootRecord:" + dir_ + "/none/reboots", {{1, W, "the reboot record's folder " + dir_ + "/none" + noFolder}}},
      {"Process:RESPAWN:0" + tail + ":-p:" + pid + "::-v", {{1, W, "respawn option cut at ':': the daemon keeps "
          "'-p' and drops ':" + pid + "::-v'; write the option without ':'"}}},
      {"Process:RESPAWN:0" + tail + ":-p " + pid, {}},
      {"Process:RESPAWN:0:" + pid + ":" + elsewhere, {{1, W, viaPath + "'tool' through the search path, and no "
          "folder of '" + dir_ + "' holds it: put " + dir_ + "/opt on the daemon's PATH or link the program into one "
          "of its folders"}}},
      {"Process:MONITOR:0:" + pid + ":" + elsewhere, {}},
      {"Process:RESPAWN:0:" + pid + ":" + shadowed, {{1, W, viaPath + "'app' through the search path, which finds " +
          exe + " first, not " + shadowed + ": rename the program or put " + dir_ + "/opt before that folder on the "
          "daemon's PATH"}}},
      {"Process:MANAGE:0:" + pid + ":" + script, {{1, W, interpreted}}},
      {"Process:RESPAWN:0:" + pid + ":" + script, {{1, W, interpreted}}},
      {"Process:MANAGE:0:" + pid + ":" + script + "\nAliveCheck:proc", {}},
      {"Process:MONITOR:0:" + pid + ":" + script, {}}, {"Process:MANAGE:0:" + pid + ":" + fifo, {}},
  };
  // clang-format on
  for (const auto &[content, expected] : rows) EXPECT_EQ(Check(content + "\n"), expected) << content;
  const std::string both = dir_ + ":" + dir_ + "/opt";
  EXPECT_EQ(Check("Process:RESPAWN:0:" + pid + ":" + elsewhere + "\n", {nullptr, both.c_str()}), Notes{});
}

// Under an image's root, links lead to the image's files, a loop ends the lookup
// only, and the reader's texts keep the paths as written.
TEST_F(CheckTest, LooksPathsUpUnderAnImageRoot) {
  const std::string root = dir_ + "/image", bin = "/usr/sbin:/usr/bin";
  for (const char *folder : {"", "/run", "/usr", "/usr/bin", "/opt", "/opt/app", "/data"})
    ASSERT_EQ(mkdir((root + folder).c_str(), 0755), 0);
  WriteFile("image/run/app.pid", "42\n");
  Program("image/opt/app/camd");
  ASSERT_EQ(symlink("/opt/app/camd", (root + "/usr/bin/camd").c_str()) |
                symlink("../../run/app.pid", (root + "/usr/bin/camd.pid").c_str()) |
                symlink("/usr/bin/loop", (root + "/usr/bin/loop").c_str()),
            0);
  const std::string content =
      "RebootRecord:/data/reboots\nRebootLoopLimit:3:600\nProcess:RESPAWN:0:/usr/bin/camd.pid:/usr/bin/camd:-d\n";
  EXPECT_EQ(Check(content, {root.c_str(), bin.c_str()}), Notes{});
  EXPECT_EQ(Check(content, {nullptr, bin.c_str()}),  // the same file judged on this system, where none of it exists
            (Notes{{1, W,
                    "the reboot record's folder /data does not exist, so the daemon cannot keep the record: "
                    "create it on persistent storage"},
                   {3, E, "Config read: PID file is not exist line 3 [/usr/bin/camd.pid]"}}));
  EXPECT_EQ(Check("Process:MONITOR:0:/usr/bin/loop:/usr/bin/camd\n", {root.c_str(), bin.c_str()}),
            (Notes{{1, E, "Config read: PID file is not exist line 1 [/usr/bin/loop]"}}));
}

}  // namespace
