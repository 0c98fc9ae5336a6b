// SPDX-License-Identifier: MIT
// The configuration file reader: chunking, splitting, every refusal with its
// line number, accepted forms, and what survives a re-read.
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "config_fixture.h"
#include "support/table_test.h"

namespace {

using Texts = std::vector<std::string>;

// The file made of rows' lines, and the reports the refused ones make (an
// empty report: the line is taken or passed over in silence).
template <size_t N>
std::pair<std::string, Texts> FileAndReports(const std::pair<std::string, std::string> (&rows)[N]) {
  std::pair<std::string, Texts> result;
  for (const auto &[line, message] : rows) {
    result.first += line + "\n";
    if (!message.empty()) result.second.push_back(message);
  }
  return result;
}

// A chunk holds 255 characters: a line of 254 and its newline fits, anything
// longer is reported piece by piece and its remainder read as its own line.
const std::string kPid244 = "/" + std::string(243, 'p');
const std::string kTail80 = "/" + std::string(79, 'q');
const std::string kNoAlive = "No alive watch value given on line ";

struct LineRow {
  const char *name;
  std::string content;
  Texts errors;
  std::string pidPath;  // MyPidPath after the read
};

// clang-format off
const LineRow kLineRows[] = {
    {"LineOf254Fits", "Wardend:x:" + kPid244 + "\nAliveWatchPeriod\n", {kNoAlive + "2"}, kPid244},
    {"LineOf255IsTooLongAndItsNewlineALine", "Wardend:x:" + kPid244 + "p\nAliveWatchPeriod\n",
     {"line 1 is too long in config file", kNoAlive + "3"}, ""},
    {"RemainderOfALongLineIsReadAsALine", std::string(510, 'x') + "Wardend:x:" + kTail80 + "\nAliveWatchPeriod\n",
     {"line 1 is too long in config file", "line 2 is too long in config file", kNoAlive + "4"}, kTail80},
    {"LastLineWithoutNewlineFits", "AliveWatchPeriod\nWardend:x:" + kPid244, {kNoAlive + "1"}, kPid244},
    {"LastLineWithoutNewlineTooLong", "AliveWatchPeriod\nWardend:x:" + kPid244 + "p",
     {kNoAlive + "1", "line 2 is too long in config file"}, ""},
};
// clang-format on

class LineLengthTable : public ConfigTest, public testing::WithParamInterface<LineRow> {};

TEST_P(LineLengthTable, ReadsLinesOfUpTo254Characters) {
  EXPECT_EQ(Read(GetParam().content), 0);
  EXPECT_EQ(Errors(), GetParam().errors);
  EXPECT_EQ(db_.MyPidPath, GetParam().pidPath);
  // Every piece of a long line is a refused line of its own.
  EXPECT_EQ(db_.NumRefused, static_cast<int32_t>(GetParam().errors.size()));
}
TABLE_ROWS(LineLengthTable, kLineRows);

// In debug mode a report names the operation that makes it, as the reader's
// documentation lists them: the line's own checks are handle_config_line's,
// a line too long for the chunk is ReadConfig's, a field check is its own.
struct ReporterRow {
  const char *name;
  std::string content;
  std::string suffix;  // the end of the one line logged
};

const ReporterRow kReporterRows[] = {
    {"MissingValue", "AliveWatchPeriod\n", ":handle_config_line@readconfig\n"},
    {"MissingPairValue", "RebootLoopLimit:3\n", ":handle_config_line@readconfig\n"},
    {"MissingDaemonPidFile", "Wardend:x\n", ":handle_config_line@readconfig\n"},
    {"MissingProcessField", "Process:MONITOR\n", ":handle_config_line@readconfig\n"},
    {"TableFull", ":Process:MONITOR\n", ":handle_config_line@readconfig\n"},
    {"LineTooLong", std::string(300, 'x') + "\n", ":ReadConfig@readconfig\n"},
    {"BadNumber", "TermTimeout:x\n", ":handle_numeric@readconfig\n"},
};

class ReporterTable : public ConfigTest, public testing::WithParamInterface<ReporterRow> {};

TEST_P(ReporterTable, DebugSuffixNamesTheReportingOperation) {
  LogDebug = 1;
  const int read = Read(GetParam().content);
  LogDebug = 0;
  ASSERT_EQ(read, 0);
  ASSERT_FALSE(gLogged.empty());
  const std::string &line = gLogged.front().second;
  const std::string &suffix = GetParam().suffix;
  EXPECT_TRUE(line.size() > suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
      << line;
}
TABLE_ROWS(ReporterTable, kReporterRows);

// Refused lines, each message naming its own line, mixed with accepted forms,
// lines passed over in silence and CRLF line ends (the carriage return stays
// in the last field of the line).
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
      // A refused number leaves the value read before it.
      {"TermTimeout:3\r", "Str2Num convert error [3\r] : Success"},
  };
  // clang-format on
  const auto [content, expected] = FileAndReports(rows);
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(CntLine, static_cast<int32_t>(std::size(rows)));
  // Every reported line is counted; the first ones are kept whole, as the
  // file has them, not as the checks left them cut into fields.
  ASSERT_EQ(db_.NumRefused, static_cast<int32_t>(expected.size()));
  for (int32_t i = 0; i < CONFIG_REFUSED_KEEP; i++) {
    EXPECT_EQ(db_.Refused[i].Line, i + 1);
    EXPECT_EQ(db_.Refused[i].Text, rows[i].first);
  }
  // clang-format off
  EXPECT_EQ(SettingsOf(db_), (Fields{{"AliveWatch", "6"}, {"PowerWatch", "7"}, {"WdtRefresh", "-1"},
                                     {"TermTimeout", "10"}, {"MyPidPath", "/run/two.pid"}, {"NumProcess", "5"}}));
  // The timers start at the entry's cycle and staggered alive periods.
  const Fields monitor = {{"StartUp", "0"}, {"HealthCheck", "0"}, {"PidPath", pid}, {"ExecPath", exe},
                          {"procName", "p"}, {"Option", ""}, {"TmrHlthChk", "0"}, {"FlgHlthChk", "0"},
                          {"TmrAlive", "6"}, {"CntAlive", "0"}};
  EXPECT_EQ(EntriesOf(db_), (std::vector<Fields>{
                                monitor,
                                With(monitor, {{"StartUp", "1"}, {"HealthCheck", "5"}, {"Option", "-a  -b"},
                                               {"TmrHlthChk", "5"}, {"TmrAlive", "5"}}),
                                With(monitor, {{"StartUp", "2"}, {"HealthCheck", "7"}, {"ExecPath", "/tmp/"},
                                               {"procName", ""}, {"TmrHlthChk", "7"}, {"TmrAlive", "4"}}),
                                With(monitor, {{"HealthCheck", "-1"}, {"ExecPath", "/tmp"}, {"procName", "tmp"},
                                               {"TmrHlthChk", "-1"}, {"TmrAlive", "3"}}),
                                With(monitor, {{"Option", "-v\r"}, {"TmrAlive", "2"}}),
                            }));
  // clang-format on
  // The next read starts its own record.
  ASSERT_EQ(Read("AliveWatchPeriod:6\n"), 0);
  EXPECT_EQ(db_.NumRefused, 0);
}

// Every key of the reader's table is dispatched by the table itself: a key
// without its value names the row's own missing value, and with one stores
// it where the row says. (A key in other letter case is passed over: the
// "process:" and "rebootrecord:" rows of the tests around this one.)
TEST_F(ConfigTest, EveryKeyOfTheTableIsRead) {
  ASSERT_GE(NumConfigKeys, 10);
  for (int32_t i = 0; i < NumConfigKeys; i++) {
    const ConfigKey &key = ConfigKeys[i];
    SCOPED_TRACE(key.Name);
    const std::string name = key.Name;
    const std::string what = key.What != nullptr ? key.What : "";
    gLogged.clear();
    if (key.Kind == KEY_NUMBER) {
      // A value each row accepts, other than the default.
      const int32_t value = key.Min <= -77 ? -77 : key.Min + 1;
      ASSERT_EQ(Read(name + "\n" + name + ":" + std::to_string(value) + "\n"), 0);
      EXPECT_EQ(Errors(), Texts{"No " + what + " value given on line 1"});
      // The read has ended: the pending values are published too.
      const int32_t *target = key.Target(&db_);
      const int32_t stored = target == &PendingWdtRefresh     ? db_.WdtRefresh.load()
                             : target == &PendingStallTimeout ? db_.StallTimeout.load()
                                                              : *target;
      EXPECT_EQ(stored, value);
    } else if (key.Kind == KEY_PATH) {
      ASSERT_EQ(Read(name + "\n" + name + ":/var/lib/x\n"), 0);
      EXPECT_EQ(Errors(), Texts{"No " + what + " path given on line 1"});
      EXPECT_STREQ(key.Text(&db_), "/var/lib/x");
    } else if (key.Kind == KEY_PAIR) {
      const std::string first = std::to_string(key.Min);
      const std::string second = std::to_string(key.Max);
      ASSERT_EQ(Read(name + "\n" + name + ":" + first + "\n" + name + ":" + first + ":" + second + "\n"), 0);
      EXPECT_EQ(Errors(), (Texts{"No " + what + " value given on line 1",
                                 "No " + std::string(key.SecondWhat) + " value given on line 2"}));
      EXPECT_EQ(*key.Target(&db_), key.Min);
      EXPECT_EQ(*key.SecondTarget(&db_), key.Max);
    } else if (key.Kind == KEY_METHOD) {
      // The words are taken exactly; a refused one leaves the earlier one.
      ASSERT_EQ(Read(name + "\n" + name + ":proc\n" + name + ":PS\n" + name + ":ps \n"), 0);
      EXPECT_EQ(Errors(), (Texts{"No " + what + " value given on line 1",
                                 "Config read: " + name + " convert error line 3 [PS]",
                                 "Config read: " + name + " convert error line 4 [ps ]"}));
      EXPECT_EQ(*key.Target(&db_), ALIVE_CHECK_PROC);
      ASSERT_EQ(Read(name + ":proc\n" + name + ":ps\n"), 0);
      EXPECT_EQ(*key.Target(&db_), ALIVE_CHECK_PS);
    }
  }
}

// The capacity is the count of lines starting with "Process"; a line
// that starts with ':' is parsed as a "Process" line but was not counted.
TEST_F(ConfigTest, RefusesProcessLineWhenTableIsFull) {
  const std::string tail = ":3:" + PidFile("p.pid") + ":" + Program("p") + "\n";
  ASSERT_EQ(Read(":Process:MANAGE" + tail + "Process:MONITOR" + tail), 0);
  EXPECT_EQ(Errors(), Texts{"No more processes manage line 2"});
  ASSERT_EQ(db_.NumProcess, 1);
  EXPECT_EQ(EntryOf(db_.Process[0])["StartUp"], "1");
}

// A re-read starts from a fresh table and the defaults but keeps the pid
// path, which the daemon must still remove at exit.
TEST_F(ConfigTest, ReReadStartsFromDefaultsButKeepsThePidPath) {
  const std::string pid = PidFile("p.pid"), exe = Program("p"), tail = ":3:" + pid + ":" + exe + "\n";
  ASSERT_EQ(Read("Wardend:x:/run/first.pid\nTermTimeout:9\nProcess:MANAGE" + tail), 0);
  db_.Process[0].TmrHlthChk = 1;
  db_.Process[0].CntAlive = 1;
  db_.Process[0].FlgHlthChk.store(1);
  ASSERT_EQ(Read("Process:RESPAWN" + tail), 0);
  // clang-format off
  EXPECT_EQ(SettingsOf(db_), (Fields{{"AliveWatch", "15"}, {"PowerWatch", "1"}, {"WdtRefresh", "30"},
                                     {"TermTimeout", "5"}, {"MyPidPath", "/run/first.pid"}, {"NumProcess", "1"}}));
  EXPECT_EQ(EntriesOf(db_), (std::vector<Fields>{{{"StartUp", "2"}, {"HealthCheck", "3"}, {"PidPath", pid},
                                                  {"ExecPath", exe}, {"procName", "p"}, {"Option", ""},
                                                  {"TmrHlthChk", "3"}, {"FlgHlthChk", "0"}, {"TmrAlive", "15"},
                                                  {"CntAlive", "0"}}}));
  // clang-format on
}

// The table is sized from the very bytes that are then parsed: a NUL or a
// byte of no encoding in a comment hides no "Process" line from the count,
// nor ends the text the reader is given. (Paths the shell would split or run:
// the board's check tests, which load the file the same way.)
TEST_F(ConfigTest, CountsTheProcessLinesOfTheFileItReads) {
  const std::string line = "Process:MONITOR:3:" + PidFile("p.pid") + ":" + Program("p") + "\n";
  for (const std::string &content : {std::string("# a\0b\n", 6) + line, "# caf\xe9 \xff\n" + line}) {
    SCOPED_TRACE(content);
    EXPECT_EQ(Read(content), 0);
    EXPECT_EQ(Errors(), Texts{});
    EXPECT_EQ(db_.NumProcess, 1);
  }
}

// Only a regular file is read, and never blocks the read: anything else is
// refused with the report of a file that cannot be opened, and the database
// is left as after a missing file. A file larger than the bound is refused
// whole; one of exactly the bound is read.
struct RefusalRow {
  const char *name;
  std::string (*make)(const std::string &dir);
  const char *reason;  // nullptr: read
};

const std::string kComments = std::string(99, '#') + "\n";

const RefusalRow kRefusalRows[] = {
    {"Missing", [](const std::string &dir) { return dir + "/missing"; }, "No such file or directory"},
    {"Directory", [](const std::string &dir) { return dir; }, "Is a directory"},
    {"FifoWithoutWriter",
     [](const std::string &dir) {
       const std::string path = dir + "/fifo";
       EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
       return path;
     },
     "Invalid argument"},
    {"Device", [](const std::string &) { return std::string("/dev/null"); }, "Invalid argument"},
    {"LinkToADevice",
     [](const std::string &dir) {
       const std::string path = dir + "/null.conf";
       EXPECT_EQ(symlink("/dev/null", path.c_str()), 0);
       return path;
     },
     "Invalid argument"},
    {"LargerThanTheBound",
     [](const std::string &dir) {
       std::string content;
       while (content.size() <= CONFIG_FILE_MAX) content += kComments;
       const std::string path = dir + "/large.conf";
       std::ofstream(path, std::ios::binary) << content;
       return path;
     },
     "File too large"},
    {"AsLargeAsTheBound",
     [](const std::string &dir) {
       std::string content;
       while (content.size() < CONFIG_FILE_MAX) content += kComments;
       content.resize(CONFIG_FILE_MAX);
       const std::string path = dir + "/bound.conf";
       std::ofstream(path, std::ios::binary) << content;
       return path;
     },
     nullptr},
};

class RefusalTable : public ConfigTest, public testing::WithParamInterface<RefusalRow> {};

TEST_P(RefusalTable, ReadsOnlyRegularFilesWithinTheBound) {
  ASSERT_EQ(Read("TermTimeout:9\nProcess:MONITOR:3:" + PidFile("p.pid") + ":" + Program("p") + "\n"), 0);
  gLogged.clear();
  const std::string path = GetParam().make(dir_);
  const char *reason = GetParam().reason;
  EXPECT_EQ(ReadConfig(path.c_str(), &db_), reason != nullptr ? 1 : 0);
  EXPECT_EQ(Errors(), reason != nullptr ? Texts{"Unable to open config file '" + path + "': " + reason} : Texts{});
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_EQ(db_.TermTimeout, 5);
}
TABLE_ROWS(RefusalTable, kRefusalRows);

// A file named in a re-read request, which any local user may send, is read
// only when root (or the daemon's own user) alone can have written it;
// anything else is refused like a file that cannot be opened. A file root
// named is read whoever owns it.
struct WriterRow {
  const char *name;
  uid_t owner;  // 0 stands for root; changing it needs root
  mode_t mode;
  int namedBy;
  bool read;
};

const WriterRow kWriterRows[] = {
    {"RootsAndOnlyRootWrites", 0, 0644, CONFIG_NAMED_BY_ANYONE, true},
    {"RootsReadOnly", 0, 0400, CONFIG_NAMED_BY_ANYONE, true},
    {"GroupMayWrite", 0, 0664, CONFIG_NAMED_BY_ANYONE, false},
    {"OthersMayWrite", 0, 0646, CONFIG_NAMED_BY_ANYONE, false},
    {"AnotherUsers", 65534, 0644, CONFIG_NAMED_BY_ANYONE, false},
    {"AnotherUsersNamedByRoot", 65534, 0666, CONFIG_NAMED_BY_ROOT, true},
};

class WriterTable : public ConfigTest, public testing::WithParamInterface<WriterRow> {};

TEST_P(WriterTable, AFileNamedByAnyoneIsReadOnlyWhenOnlyRootWroteIt) {
  const WriterRow &row = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "owners are changed as root";
  ASSERT_EQ(Read("TermTimeout:9\nProcess:MONITOR:3:" + PidFile("p.pid") + ":" + Program("p") + "\n"), 0);
  gLogged.clear();
  const std::string path = WriteFile("named.conf", "Process:MONITOR:3:" + PidFile("p.pid") + ":" + Program("p") + "\n");
  ASSERT_EQ(chown(path.c_str(), row.owner, 0), 0);
  ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
  EXPECT_EQ(ReadConfigFrom(path.c_str(), row.namedBy, &db_), row.read ? 0 : 1);
  EXPECT_EQ(Errors(), row.read ? Texts{} : Texts{"Unable to open config file '" + path + "': Operation not permitted"});
  EXPECT_EQ(db_.NumProcess, row.read ? 1 : 0);  // refused: as after a missing file
  EXPECT_EQ(db_.TermTimeout, 5);
}
TABLE_ROWS(WriterTable, kWriterRows);

// The watchdog thread reads the refresh period and the stall timeout
// without the lock while a re-read runs: it must see the old value or the
// new one, never the default that CleanConfig sets before the file's own
// line is reached.
ConfigDb *gWatched = nullptr;
std::vector<std::pair<int32_t, int32_t>> gSeen;

TEST_F(ConfigTest, WatchdogSettingsChangeOnlyWhenTheReadEnds) {
  ASSERT_EQ(Read("WdtRefreshPeriod:2\nSuperviseStallTimeout:9\n"), 0);
  gWatched = &db_;
  LogHook = [](int, const char *) { gSeen.emplace_back(gWatched->WdtRefresh.load(), gWatched->StallTimeout.load()); };
  ASSERT_EQ(Read("AliveWatchPeriod\nWdtRefreshPeriod:4\nSuperviseStallTimeout:5\nTermTimeout\n"), 0);
  EXPECT_EQ(gSeen, (std::vector<std::pair<int32_t, int32_t>>{{2, 9}, {2, 9}}));
  EXPECT_EQ(db_.WdtRefresh.load(), 4);
  EXPECT_EQ(db_.StallTimeout.load(), 5);
}

// The optional settings: a value out of its range or one that does not
// convert is refused with its line and leaves the earlier value (a key
// without its value: EveryKeyOfTheTableIsRead). A read without the keys
// turns them all off again.
TEST_F(ConfigTest, OptionalSettingsAndTheirRefusals) {
  const std::string range = "Config read: ", rest = " out of range line ";
  // The line, and the report it makes, if any.
  const std::pair<std::string, std::string> rows[] = {
      {"SuperviseStallTimeout:-1", range + "SuperviseStallTimeout" + rest + "1 [-1]"},
      {"SuperviseStallTimeout:12", ""},
      {"SuperviseStallTimeout:5s", "Str2Num convert error [5s] : Success"},
      {"WdtPriority:0", range + "WdtPriority" + rest + "4 [0]"},
      {"WdtPriority:100", range + "WdtPriority" + rest + "5 [100]"},
      {"WdtPriority:99", ""},
      {"WdtPriority:2147483648", "Str2Num convert error [2147483648] : Numerical result out of range"},
      {"RebootRecord:/var/lib/wardend/reboots:x", ""},
      {"RebootLoopLimit:3:600", ""},
      {"RebootLoopLimit:0:600", range + "RebootLoopLimit" + rest + "10 [0]"},
      {"RebootLoopLimit:4:x", "Str2Num convert error [x] : Success"},
      {"RebootLoopLimit:4:0", range + "RebootLoopLimit" + rest + "12 [0]"},
      // The record keeps 16 terminations: a larger count could never be reached.
      {"RebootLoopLimit:17:600", range + "RebootLoopLimit" + rest + "13 [17]"},
      {"rebootrecord:/elsewhere", ""},
      {"WdtPriority: 1", ""},
  };
  const auto [content, expected] = FileAndReports(rows);
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(std::make_tuple(db_.StallTimeout.load(), db_.WdtPriority, db_.LoopLimitCount, db_.LoopLimitWindow),
            std::make_tuple(12, 1, 3, 600));
  EXPECT_STREQ(db_.RebootRecord, "/var/lib/wardend/reboots");

  ASSERT_EQ(Read("TermTimeout:3\n"), 0);
  EXPECT_EQ(std::make_tuple(db_.StallTimeout.load(), db_.WdtPriority, db_.LoopLimitCount, db_.LoopLimitWindow),
            std::make_tuple(0, 0, 0, 0));
  EXPECT_STREQ(db_.RebootRecord, "");
}

}  // namespace

namespace {

// ControlGroup: a name or a number; a refused line keeps the queue as it
// was unless an earlier line named a group, and the last good line counts.
struct GroupRow {
  const char *name;
  std::string content;
  int32_t kind;
  int32_t gid;
  Texts errors;
};

const GroupRow kGroupRows[] = {
    {"Absent", "TermTimeout:3\n", CONTROL_GROUP_NONE, 0, {}},
    {"ByName", "ControlGroup:root\n", CONTROL_GROUP_SET, 0, {}},
    {"ByNumber", "ControlGroup:4242\n", CONTROL_GROUP_SET, 4242, {}},
    {"Unknown", "ControlGroup:no-such-group\n", CONTROL_GROUP_KEEP, 0, {"Config read: ControlGroup unknown group line 1 [no-such-group]"}},
    {"NumberWithTail", "ControlGroup:12x\n", CONTROL_GROUP_KEEP, 0, {"Config read: ControlGroup unknown group line 1 [12x]"}},
    {"NoValue", "ControlGroup\n", CONTROL_GROUP_NONE, 0, {"No control group value given on line 1"}},
    {"RefusedAfterGood", "ControlGroup:7\nControlGroup:no-such-group\n", CONTROL_GROUP_SET, 7, {"Config read: ControlGroup unknown group line 2 [no-such-group]"}},
    {"GoodAfterRefused", "ControlGroup:no-such-group\nControlGroup:7\n", CONTROL_GROUP_SET, 7, {"Config read: ControlGroup unknown group line 1 [no-such-group]"}},
};

class ControlGroupTable : public ConfigTest, public testing::WithParamInterface<GroupRow> {};

TEST_P(ControlGroupTable, SetsKeepsOrLeavesTheGroup) {
  // A re-read starts over: what an earlier file set does not survive.
  ASSERT_EQ(Read("ControlGroup:99\n"), 0);
  ASSERT_EQ(Read(GetParam().content), 0);
  EXPECT_EQ(Errors(), GetParam().errors);
  EXPECT_EQ(db_.ControlGroup, GetParam().kind);
  if (GetParam().kind == CONTROL_GROUP_SET) {
    EXPECT_EQ(db_.ControlGid, GetParam().gid);
  }
}

TABLE_ROWS(ControlGroupTable, kGroupRows);

}  // namespace
