// The configuration file reader: chunking, splitting, every refusal with its
// line number, accepted forms, and what survives a re-read.
#include <cctype>
#include <cstdio>
#include <iterator>
#include <tuple>

#include "config_fixture.h"

namespace {

using Texts = std::vector<std::string>;

// The settings, then every entry as "StartUp HealthCheck PidPath ExecPath
// procName [Option] TmrHlthChk FlgHlthChk TmrAlive CntAlive".
Texts Dump(const ConfigDb &db) {
  char line[1200];
  snprintf(line, sizeof line, "%d %d %d %d %s #%d", db.AliveWatch, db.PowerWatch, db.WdtRefresh.load(),
           db.TermTimeout, db.MyPidPath, db.NumProcess);
  Texts dump{line};
  for (int32_t i = 0; i < db.NumProcess; i++) {
    const ProcEntry &e = db.Process[i];
    // procName must point into the entry's own copy of the path.
    EXPECT_TRUE(e.procName >= e.ExecPath && e.procName < e.ExecPath + sizeof e.ExecPath) << i;
    snprintf(line, sizeof line, "%d %d %s %s %s [%s] %d %d %d %d", e.StartUp, e.HealthCheck, e.PidPath, e.ExecPath,
             e.procName, e.Option, e.TmrHlthChk, e.FlgHlthChk.load(), e.TmrAlive, e.CntAlive);
    dump.push_back(line);
  }
  return dump;
}

// A chunk holds 255 characters: a line of 254 and its newline fits, anything
// longer is reported piece by piece and its remainder read as its own line.
TEST_F(ConfigTest, LineLengths) {
  const std::string p244 = "/" + std::string(243, 'p'), p245 = p244 + "p", tail80 = "/" + std::string(79, 'q');
  const std::string tooLong = "line 1 is too long in config file", noAlive = "No alive watch value given on line ";
  const std::tuple<std::string, Texts, std::string> cases[] = {
      {"Wardend:x:" + p244 + "\nAliveWatchPeriod\n", {noAlive + "2"}, p244},
      {"Wardend:x:" + p245 + "\nAliveWatchPeriod\n", {tooLong, noAlive + "3"}, ""},
      {std::string(510, 'x') + "Wardend:x:" + tail80 + "\nAliveWatchPeriod\n",
       {tooLong, "line 2 is too long in config file", noAlive + "4"}, tail80},
      {"AliveWatchPeriod\nWardend:x:" + p244, {noAlive + "1"}, p244},
      {"AliveWatchPeriod\nWardend:x:" + p245, {noAlive + "1", "line 2 is too long in config file"}, ""},
  };
  for (const auto &[content, messages, pidPath] : cases) {
    gLogged.clear();
    db_.MyPidPath[0] = '\0';
    EXPECT_EQ(Read(content), 0) << pidPath;
    EXPECT_EQ(Errors(), messages) << pidPath;
    EXPECT_EQ(db_.MyPidPath, pidPath);
  }
}

// Refused lines, each message naming its own line, mixed with accepted forms,
// lines passed over in silence and CRLF line ends (the carriage return stays
// in the last field of the line).
TEST_F(ConfigTest, RefusedAcceptedAndIgnoredLines) {
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
  const std::string p = " " + pid + " ";
  EXPECT_EQ(Dump(db_), (Texts{"6 7 -1 10 /run/two.pid #5", "0 0" + p + exe + " p [] 0 0 6 0",
                              "1 5" + p + exe + " p [-a  -b] 5 0 5 0", "2 7" + p + "/tmp/  [] 7 0 4 0",
                              "0 -1" + p + "/tmp tmp [] -1 0 3 0", "0 0" + p + exe + " p [-v\r] 0 0 2 0"}));
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
// A re-read starts from a fresh table and the defaults but keeps the pid
// path. A path with a blank is counted by the shell piece by piece but
// opened whole: the pieces hold "Process" lines, the whole path does not
// exist, so the pre-counted capacity must not pass for filled entries.
TEST_F(ConfigTest, CapacityAndReReads) {
  const std::string pid = PidFile("p.pid"), exe = Program("p"), tail = ":3:" + pid + ":" + exe + "\n";
  ASSERT_EQ(Read("Wardend:x:/run/first.pid\nTermTimeout:9\n:Process:MANAGE" + tail + "Process:MONITOR" + tail), 0);
  EXPECT_EQ(Dump(db_), (Texts{"15 1 30 9 /run/first.pid #1", "1 3 " + pid + " " + exe + " p [] 3 0 15 0"}));
  db_.Process[0].TmrHlthChk = db_.Process[0].CntAlive = 1;
  db_.Process[0].FlgHlthChk.store(1);
  ASSERT_EQ(Read("Process:RESPAWN" + tail), 0);
  EXPECT_EQ(Dump(db_), (Texts{"15 1 30 5 /run/first.pid #1", "2 3 " + pid + " " + exe + " p [] 3 0 15 0"}));

  const std::string path = WriteFile("a", "Process:MONITOR" + tail) + " " + WriteFile("b", "Process:MONITOR" + tail);
  EXPECT_EQ(ReadConfig(path.c_str(), &db_), 1);
  EXPECT_EQ(Errors(), (Texts{"No more processes manage line 4",
                             "Unable to open config file '" + path + "': No such file or directory"}));
  EXPECT_EQ(Dump(db_), Texts{"15 1 30 5 /run/first.pid #0"});
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
