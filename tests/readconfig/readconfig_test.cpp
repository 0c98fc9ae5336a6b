// SPDX-License-Identifier: MIT
// The configuration file reader and the staggered first alive checks.
#include <unistd.h>

#include <cstdint>
#include <iterator>
#include <tuple>

#include "config_fixture.h"

namespace {

// A line of 254 and its newline fit the chunk; a longer one is refused piece by
// piece. In debug mode a report names the operation that makes it.
TEST_F(ConfigTest, ReadsLinesOfUpTo254CharactersAndNamesEachReporter) {
  const std::string pid244 = "/" + std::string(243, 'p'), tail80 = "/" + std::string(79, 'q');
  const std::string noAlive = "No alive watch value given on line ", tooLong = "line 1 is too long in config file";
  // clang-format off
  const std::tuple<std::string, Texts, std::string> rows[] = {  // file, reports, pid path read
      {"Wardend:x:" + pid244 + "\nAliveWatchPeriod\n", {noAlive + "2"}, pid244},
      {"Wardend:x:" + pid244 + "p\nAliveWatchPeriod\n", {tooLong, noAlive + "3"}, ""},
      {std::string(510, 'x') + "Wardend:x:" + tail80 + "\nAliveWatchPeriod\n",
       {tooLong, "line 2 is too long in config file", noAlive + "4"}, tail80},
      {"AliveWatchPeriod\nWardend:x:" + pid244, {noAlive + "1"}, pid244},
      {"AliveWatchPeriod\nWardend:x:" + pid244 + "p", {noAlive + "1", "line 2 is too long in config file"}, ""}};
  // clang-format on
  for (const auto &[content, reports, pidPath] : rows) {
    SCOPED_TRACE(content.substr(0, 20));
    db_.MyPidPath[0] = '\0';  // which a re-read keeps
    EXPECT_EQ(Read(content), 0);
    EXPECT_EQ(Errors(), reports);
    EXPECT_EQ(std::make_pair(db_.NumRefused, std::string(db_.MyPidPath)), std::make_pair(int(reports.size()), pidPath));
  }
  LogDebug = 1;
  EXPECT_EQ(Read("Process:MONITOR\n" + std::string(300, 'x') + "\nTermTimeout:x\n"), 0);
  LogDebug = 0;
  Texts reporters;
  for (const std::string &report : Errors()) reporters.push_back(report.substr(report.rfind(':') + 1));
  EXPECT_EQ(reporters,
            (Texts{"handle_config_line@readconfig\n", "ReadConfig@readconfig\n", "handle_numeric@readconfig\n"}));
}

// Refused lines, each named by its line, among accepted and silently passed
// lines; a carriage return stays in the line's last field.
TEST_F(ConfigTest, ReportsEachRefusedLineByNumberAndKeepsTheOthers) {
  const std::string pid = PidFile("p.pid"), exe = Program("p"), tail = ":" + pid + ":" + exe, on = " given on line ";
  const std::string empty = WriteFile("empty.pid", ""), noExec = WriteFile("plain", "data", 0655);
  const std::string missing = dir_ + "/missing", m0 = "Process:MONITOR:0:", cr = "Config read: ";
  // clang-format off
  const std::pair<std::string, std::string> rows[] = {  // second: the report, if any
      {"AliveWatchPeriod", "No alive watch value" + on + "1"}, {"PowerWatchPeriod:", "No power watch value" + on + "2"},
      {"WdtRefreshPeriod::", "No WDT refresh value" + on + "3"}, {"Wardend:/run/x.pid", "No PID file path" + on + "4"},
      {"TermTimeout", "No terminate timeout value" + on + "5"}, {"Wardend::/run/x.pid", "No PID file path" + on + "6"},
      {"Process", "No startup" + on + "7"}, {"Process:MONITOR", "No health check cycle" + on + "8"},
      {m0, "No PID file path" + on + "9"}, {m0 + pid, "No exec path" + on + "10"},
      {"Process:BOOT:0" + tail, cr + "StartUp convert error line 11 [BOOT]"}, {"Process:Start:0" + tail, ""},
      // A left-out HealthCheck shifts the pid path into its place.
      {"Process:MONITOR::" + tail, "Str2Num convert error [" + pid + "] : Success"},
      {m0 + missing + ":" + exe, cr + "PID file is not exist line 14 [" + missing + "]"},
      {m0 + empty + ":" + exe, cr + "PID file is empty line 15"},
      {m0 + pid + ":" + missing, cr + "Exec file is not exist line 16 [" + missing + "]"},
      {m0 + pid + ":" + noExec, cr + "Exec file is not executable line 17"},
      {m0 + pid + ":" + exe + "\r", cr + "Exec file is not exist line 18 [" + exe + "\r]"},
      {"# comment:AliveWatchPeriod:1", ""}, {":::", ""}, {"process:MONITOR" + tail, ""}, {"", ""},
      {"TermTimeout:10:x", ""}, {"PowerWatchPeriod: +7", ""}, {"Wardend:b:/run/two.pid:extra", ""},
      {"AliveWatchPeriod:6", ""}, {"WdtRefreshPeriod:-1", ""},
      {"Process::MONITOR:0" + tail, ""}, {"Process:Manage:5" + tail + ":-a  -b:sixth", ""},
      {"Process:RESPAWN: 7:" + pid + ":/tmp/", ""}, {"Process:monitor:-1:" + pid + ":/tmp:", ""},
      {m0 + pid + ":" + exe + ":-v\r", ""},
      // A refused value leaves the one read before it.
      {"TermTimeout:3\r", "Str2Num convert error [3\r] : Success"},
      {"SuperviseStallTimeout:-1", cr + "SuperviseStallTimeout out of range line 34 [-1]"},
      {"SuperviseStallTimeout:12", ""}, {"SuperviseStallTimeout:5s", "Str2Num convert error [5s] : Success"},
      {"WdtPriority:0", cr + "WdtPriority out of range line 37 [0]"},
      {"WdtPriority:100", cr + "WdtPriority out of range line 38 [100]"}, {"WdtPriority:99", ""},
      {"WdtPriority:2147483648", "Str2Num convert error [2147483648] : Numerical result out of range"},
      {"RebootRecord:/var/lib/wardend/reboots:x", ""}, {"RebootLoopLimit:3:600", ""},
      {"RebootLoopLimit:0:600", cr + "RebootLoopLimit out of range line 43 [0]"},
      {"RebootLoopLimit:4:x", "Str2Num convert error [x] : Success"},
      {"RebootLoopLimit:4:0", cr + "RebootLoopLimit out of range line 45 [0]"},
      // The record keeps 16 terminations.
      {"RebootLoopLimit:17:600", cr + "RebootLoopLimit out of range line 46 [17]"},
      {"rebootrecord:/elsewhere", ""}, {"WdtPriority: 1", ""},
      // The keys not given without a value above, and the pair's bounds.
      {"SuperviseStallTimeout", "No supervise stall timeout value" + on + "49"},
      {"WdtPriority", "No WDT priority value" + on + "50"}, {"RebootRecord", "No reboot record path" + on + "51"},
      {"RebootLoopLimit", "No reboot loop limit value" + on + "52"},
      {"RebootLoopLimit:16", "No reboot loop window value" + on + "53"}, {"RebootLoopLimit:16:2147483647", ""},
      // The methods are taken exactly; a refused one leaves the earlier one.
      {"AliveCheck", "No alive check value" + on + "55"}, {"AliveCheck:ps", ""}, {"AliveCheck:proc", ""},
      {"AliveCheck:PS", cr + "AliveCheck convert error line 58 [PS]"},
  };
  // clang-format on
  std::string content;
  Texts expected;
  for (const auto &[line, report] : rows) {
    content += line + "\n";
    if (!report.empty()) expected.push_back(report);
  }
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(CntLine, static_cast<int32_t>(std::size(rows)));
  // Every reported line is counted; the first ones are kept whole, not cut into fields.
  ASSERT_EQ(db_.NumRefused, static_cast<int32_t>(expected.size()));
  for (int32_t i = 0; i < CONFIG_REFUSED_KEEP; i++) {
    EXPECT_EQ(db_.Refused[i].Line, i + 1);
    EXPECT_EQ(db_.Refused[i].Text, rows[i].first);
  }
  // clang-format off
  const Fields defaults = {{"AliveWatch", "15"}, {"PowerWatch", "1"}, {"WdtRefresh", "30"}, {"TermTimeout", "5"},
                           {"MyPidPath", "/run/two.pid"}, {"NumProcess", "1"}, {"StallTimeout", "0"},
                           {"WdtPriority", "0"}, {"LoopLimit", "0:0"}, {"RebootRecord", ""},
                           {"AliveCheck", std::to_string(ALIVE_CHECK_PS)}};
  EXPECT_EQ(SettingsOf(db_), With(defaults, {{"AliveWatch", "6"}, {"PowerWatch", "7"}, {"WdtRefresh", "-1"},
                                             {"TermTimeout", "10"}, {"NumProcess", "5"}, {"StallTimeout", "12"},
                                             {"WdtPriority", "1"}, {"LoopLimit", "16:2147483647"},
                                             {"RebootRecord", "/var/lib/wardend/reboots"},
                                             {"AliveCheck", std::to_string(ALIVE_CHECK_PROC)}}));
  // The timers start at the entry's cycle and staggered alive periods.
  const Fields monitor = {{"StartUp", "0"}, {"HealthCheck", "0"}, {"PidPath", pid}, {"ExecPath", exe},
                          {"procName", "p"}, {"Option", ""}, {"TmrHlthChk", "0"}, {"FlgHlthChk", "0"},
                          {"TmrAlive", "6"}, {"CntAlive", "0"}};
  EXPECT_EQ(EntriesOf(db_), (std::vector<Fields>{monitor,
      With(monitor, {{"StartUp", "1"}, {"HealthCheck", "5"}, {"Option", "-a  -b"}, {"TmrHlthChk", "5"},
                     {"TmrAlive", "5"}}),
      With(monitor, {{"StartUp", "2"}, {"HealthCheck", "7"}, {"ExecPath", "/tmp/"}, {"procName", ""},
                     {"TmrHlthChk", "7"}, {"TmrAlive", "4"}}),
      With(monitor, {{"HealthCheck", "-1"}, {"ExecPath", "/tmp"}, {"procName", "tmp"}, {"TmrHlthChk", "-1"},
                     {"TmrAlive", "3"}}),
      With(monitor, {{"Option", "-v\r"}, {"TmrAlive", "2"}})}));
  // clang-format on
  // A re-read starts from a fresh table and the defaults but keeps the pid path, to remove at exit.
  db_.Process[0].CntAlive = 1;
  ASSERT_NE(db_.NameIndex, nullptr);
  // The index answers as the walk: the first of equal names, only the name's own bytes, an empty name.
  EXPECT_EQ(std::make_tuple(FindProcessByName(&db_, "tmpx", 3), FindProcessByName(&db_, "p", 1),
                            FindProcessByName(&db_, "", 0), FindProcessByName(&db_, "t", 1)),
            std::make_tuple(3, 0, 2, -1));
  ASSERT_EQ(Read("Process:RESPAWN:3" + tail + "\n"), 0);
  EXPECT_EQ(FindProcessByName(&db_, "tmp", 3), -1);  // each read indexes its own table
  // Eight names leave the index half empty: a search for a missing name ends.
  std::string eight;
  for (const char *name : {"n1", "n2", "n3", "n4", "n5", "n6", "n7", "n8"}) eight += ProcessLine("MONITOR", name);
  ASSERT_EQ(Read(eight), 0);
  EXPECT_EQ(std::make_pair(FindProcessByName(&db_, "n8", 2), FindProcessByName(&db_, "n9", 2)), std::make_pair(7, -1));
  ASSERT_EQ(Read("Process:RESPAWN:3" + tail + "\n"), 0);
  EXPECT_EQ(SettingsOf(db_), defaults);
  const Fields respawn = {{"StartUp", "2"}, {"HealthCheck", "3"}, {"TmrHlthChk", "3"}, {"TmrAlive", "15"}};
  EXPECT_EQ(EntriesOf(db_), std::vector<Fields>{With(monitor, respawn)});
  // Without a text the table and its index go, the pid path stays (the daemon removes its file at exit).
  CntLine = CntProcess = db_.TermTimeout = 9;
  CleanConfig(nullptr, &db_);
  EXPECT_TRUE(db_.Process == nullptr && db_.NameIndex == nullptr && FindProcessByName(&db_, "p", 1) == -1);
  EXPECT_EQ(SettingsOf(db_), With(defaults, {{"NumProcess", "0"}}));
  EXPECT_EQ(std::make_pair(CntLine, CntProcess), std::make_pair(0, 0));
}

// The capacity counts the lines starting with "Process" in the bytes that are
// parsed: ":Process" is parsed but not counted, and a NUL or a byte of no
// encoding hides no line.
TEST_F(ConfigTest, SizesTheTableFromTheProcessLinesOfTheFileItReads) {
  const std::pair<std::string, int32_t> rows[] = {
      {"Process:a\nProcessX:b\n process:c\n:Process:d\n#Process\nProcess\n", 3},
      {"Proces\nProcess:a\r\nProcess", 2},
      {"Process" + std::string(600, 'x') + "Process\n", 1},
      {"", 0}};
  for (const auto &[content, capacity] : rows) {
    const ConfigText text{content.data(), content.size()};
    CleanConfig(&text, &db_);
    EXPECT_TRUE(db_.NumProcess == capacity && db_.Process != nullptr) << content;
  }
  ASSERT_EQ(Read(":" + ProcessLine("MANAGE") + ProcessLine("MONITOR")), 0);
  EXPECT_EQ(Errors(), Texts{"No more processes manage line 2"});
  EXPECT_EQ(std::make_pair(db_.NumProcess, db_.Process[0].StartUp), std::make_pair(1, 1));
  EXPECT_EQ(Read(std::string("# a\0b\n# caf\xe9 \xff\n", 15) + ProcessLine("MONITOR")), 0);
  EXPECT_EQ(std::make_pair(Errors(), db_.NumProcess), std::make_pair(Texts{}, 1));
}

// Only a regular file within the bound, not a link to a device; a file anyone
// named only when root alone can have written it. Anything else: as a missing
// file. (A FIFO, a folder, a missing file and another user's file: test_reread.)
TEST_F(ConfigTest, ReadsOnlyRegularFilesWithinTheBoundThatOnlyRootWrote) {
  if (geteuid() != 0) GTEST_SKIP() << "owners are changed as root";
  const std::string link = dir_ + "/null.conf";
  const char *denied = "Operation not permitted";
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  std::string bound;
  while (bound.size() < CONFIG_FILE_MAX) bound += std::string(99, '#') + "\n";
  bound.resize(CONFIG_FILE_MAX);
  const auto owned = [this](const char *name, uid_t owner, mode_t mode) {
    const std::string path = WriteFile(name, ProcessLine("MONITOR"));
    EXPECT_EQ(chown(path.c_str(), owner, 0) | chmod(path.c_str(), mode), 0);
    return path;
  };
  const int root = CONFIG_NAMED_BY_ROOT, anyone = CONFIG_NAMED_BY_ANYONE;
  // clang-format off
  const std::tuple<std::string, int, const char *, int32_t> rows[] = {  // file, named by, refusal, processes read
      {link, root, "Invalid argument", 0}, {WriteFile("large.conf", bound + "#"), root, "File too large", 0},
      {WriteFile("bound.conf", bound), root, nullptr, 0}, {owned("a.conf", 0, 0644), anyone, nullptr, 1},
      {owned("c.conf", 0, 0664), anyone, denied, 0}, {owned("d.conf", 0, 0646), anyone, denied, 0},
      {owned("f.conf", 65534, 0666), root, nullptr, 1},
  };
  // clang-format on
  for (const auto &[path, namedBy, reason, processes] : rows) {
    SCOPED_TRACE(path);
    ASSERT_EQ(Read("TermTimeout:9\n" + ProcessLine("MONITOR")), 0);
    EXPECT_EQ(ReadConfigFrom(path.c_str(), namedBy, &db_), reason != nullptr ? 1 : 0);
    EXPECT_EQ(Errors(), reason != nullptr ? Texts{"Unable to open config file '" + path + "': " + reason} : Texts{});
    EXPECT_EQ(std::make_pair(db_.NumProcess, db_.TermTimeout), std::make_pair(processes, 5));
  }
}

// The watchdog thread, reading without the lock during a re-read, sees the old
// value or the new one, never the default CleanConfig sets in between.
ConfigDb *gWatched = nullptr;
std::vector<std::pair<int32_t, int32_t>> gSeen;

TEST_F(ConfigTest, WatchdogSettingsChangeOnlyWhenTheReadEnds) {
  ASSERT_EQ(Read("WdtRefreshPeriod:2\nSuperviseStallTimeout:9\n"), 0);
  gWatched = &db_;
  LogHook = [](int, const char *) { gSeen.emplace_back(gWatched->WdtRefresh.load(), gWatched->StallTimeout.load()); };
  ASSERT_EQ(Read("AliveWatchPeriod\nWdtRefreshPeriod:4\nSuperviseStallTimeout:5\nTermTimeout\n"), 0);
  EXPECT_EQ(gSeen, (std::vector<std::pair<int32_t, int32_t>>{{2, 9}, {2, 9}}));
  EXPECT_EQ(std::make_pair(db_.WdtRefresh.load(), db_.StallTimeout.load()), std::make_pair(4, 5));
}

// ControlGroup: a refused line keeps the queue as it was unless an earlier line
// named a group; the last good line counts; a re-read starts over.
TEST_F(ConfigTest, ControlGroupSetsKeepsOrLeavesTheGroup) {
  const std::string unknown = "Config read: ControlGroup unknown group line ";
  const int32_t none = CONTROL_GROUP_NONE, set = CONTROL_GROUP_SET, keep = CONTROL_GROUP_KEEP;
  // clang-format off
  const std::tuple<std::string, int32_t, int32_t, std::string> rows[] = {  // file, group kind, gid, report
      {"TermTimeout:3", none, 0, ""}, {"ControlGroup:root", set, 0, ""},
      {"ControlGroup:12x", keep, 0, unknown + "1 [12x]"},
      {"ControlGroup", keep, 0, "No control group value given on line 1"},
      {"ControlGroup:7\nControlGroup:no-such-group", set, 7, unknown + "2 [no-such-group]"},
      {"ControlGroup:no-such-group\nControlGroup:7", set, 7, unknown + "1 [no-such-group]"}};
  // clang-format on
  for (const auto &[content, kind, gid, report] : rows) {
    ASSERT_EQ(Read("ControlGroup:99\n"), 0);
    ASSERT_EQ(Read(content + "\n"), 0);
    EXPECT_EQ(Errors(), report.empty() ? Texts{} : Texts{report}) << content;
    EXPECT_EQ(db_.NumRefused, report.empty() ? 0 : 1) << content;  // a reported line is a refused one
    EXPECT_EQ(std::make_pair(db_.ControlGroup, db_.ControlGid), std::make_pair(kind, gid)) << content;
  }
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

}  // namespace
