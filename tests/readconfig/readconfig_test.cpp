// The configuration file reader: chunking, splitting, every refusal with its
// line number, accepted forms, and what survives a re-read.
#include <cctype>
#include <cstdio>
#include <iterator>

#include "config_fixture.h"
#include "support/table_test.h"

namespace {

using Texts = std::vector<std::string>;

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

class LineLengthTable : public ConfigTest, public testing::WithParamInterface<LineRow> {};

TEST_P(LineLengthTable, ReadsLinesOfUpTo254Characters) {
  EXPECT_EQ(Read(GetParam().content), 0);
  EXPECT_EQ(Errors(), GetParam().errors);
  EXPECT_EQ(db_.MyPidPath, GetParam().pidPath);
}
TABLE_ROWS(LineLengthTable, kLineRows);

// Refused lines, each message naming its own line, mixed with accepted forms,
// lines passed over in silence and CRLF line ends (the carriage return stays
// in the last field of the line).
TEST_F(ConfigTest, ReportsEachRefusedLineByNumberAndKeepsTheOthers) {
  const std::string pid = PidFile("p.pid"), exe = Program("p"), tail = ":" + pid + ":" + exe, on = " given on line ";
  const std::string empty = WriteFile("empty.pid", ""), noExec = WriteFile("plain", "data", 0655);
  const std::string missing = dir_ + "/missing", m0 = "Process:MONITOR:0:", cr = "Config read: ";
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
  std::string content;
  Texts expected;
  for (const auto &[line, message] : rows) {
    content += line + "\n";
    if (!message.empty()) expected.push_back(message);
  }
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(CntLine, static_cast<int32_t>(std::size(rows)));
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
}

// Every key of the reader's table is dispatched by the table itself: a
// numeric key without its value names the key's own missing value, and with
// one stores it where the row says; a key differing only in letter case is
// nobody's.
TEST_F(ConfigTest, EveryKeyOfTheTableIsRead) {
  ASSERT_GE(NumConfigKeys, 6);
  for (int32_t i = 0; i < NumConfigKeys; i++) {
    const ConfigKey &key = ConfigKeys[i];
    SCOPED_TRACE(key.Name);
    EXPECT_EQ(FindConfigKey(key.Name), &key);
    std::string lower = key.Name;
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(FindConfigKey(lower.c_str()), nullptr);
    if (key.Kind != KEY_NUMBER) continue;
    gLogged.clear();
    ASSERT_EQ(Read(std::string(key.Name) + "\n" + key.Name + ":-77\n"), 0);
    EXPECT_EQ(Errors(), Texts{"No " + std::string(key.What) + " value given on line 1"});
    // The read has ended: the pending refresh period is published too.
    const int32_t stored = key.Target(&db_) == &PendingWdtRefresh ? db_.WdtRefresh.load() : *key.Target(&db_);
    EXPECT_EQ(stored, -77);
  }
}

// The capacity is the pre-count of lines starting with "Process"; a line
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
  EXPECT_EQ(SettingsOf(db_), (Fields{{"AliveWatch", "15"}, {"PowerWatch", "1"}, {"WdtRefresh", "30"},
                                     {"TermTimeout", "5"}, {"MyPidPath", "/run/first.pid"}, {"NumProcess", "1"}}));
  EXPECT_EQ(EntriesOf(db_), (std::vector<Fields>{{{"StartUp", "2"}, {"HealthCheck", "3"}, {"PidPath", pid},
                                                  {"ExecPath", exe}, {"procName", "p"}, {"Option", ""},
                                                  {"TmrHlthChk", "3"}, {"FlgHlthChk", "0"}, {"TmrAlive", "15"},
                                                  {"CntAlive", "0"}}}));
}

// A path with a blank is counted by the shell piece by piece but opened
// whole: the pieces hold "Process" lines, the whole path does not exist, so
// the pre-counted capacity must not pass for filled entries.
TEST_F(ConfigTest, UnopenedFileLeavesNoUnfilledEntries) {
  const std::string line = "Process:MONITOR:3:" + PidFile("p.pid") + ":" + Program("p") + "\n";
  const std::string path = WriteFile("a", line) + " " + WriteFile("b", line);
  EXPECT_EQ(ReadConfig(path.c_str(), &db_), 1);
  EXPECT_EQ(Errors(), Texts{"Unable to open config file '" + path + "': No such file or directory"});
  EXPECT_EQ(db_.NumProcess, 0);
}

// The watchdog thread reads the refresh period without the lock while a
// re-read runs: it must see the old period or the new one, never the default
// that CleanConfig sets before the file's own line is reached.
ConfigDb *gWatched = nullptr;
std::vector<int32_t> gSeenRefresh;

TEST_F(ConfigTest, RefreshPeriodChangesOnlyWhenTheReadEnds) {
  ASSERT_EQ(Read("WdtRefreshPeriod:2\n"), 0);
  gWatched = &db_;
  LogHook = [](int, const char *) { gSeenRefresh.push_back(gWatched->WdtRefresh.load()); };
  ASSERT_EQ(Read("AliveWatchPeriod\nWdtRefreshPeriod:4\nTermTimeout\n"), 0);
  EXPECT_EQ(gSeenRefresh, (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(db_.WdtRefresh.load(), 4);
}

}  // namespace
