// The configuration file reader: chunking, splitting, every refusal with its
// line number, accepted forms, and what survives a re-read.
#include <sys/stat.h>

#include <cstring>

#include "config_fixture.h"

namespace {

using ReadConfigTest = ConfigTest;

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// The file of the reader's worked example, with real pid files and programs.
TEST_F(ReadConfigTest, WorkedExample) {
  const std::string a = Program("a"), b = Program("b"), c = Program("c");
  const std::string aPid = PidFile("a.pid"), bPid = PidFile("b.pid"), cPid = PidFile("c.pid");
  ASSERT_EQ(Read("#periods\n"
                 "AliveWatchPeriod:10\n"
                 "WdtRefreshPeriod:20\n"
                 "\n"
                 "Wardend:x:/var/run/wardend.pid\n"
                 "Process:MONITOR:0:" + aPid + ":" + a + "\n"
                 "Process:respawn:30:" + bPid + ":" + b + ":-q -v\n"
                 "Process:START:0:" + cPid + ":" + c + "\n"
                 "TermTimeout:7s\n"),
            0);

  EXPECT_EQ(Errors(), std::vector<std::string>{"Str2Num convert error [7s] : Success"});
  EXPECT_EQ(db_.AliveWatch, 10);
  EXPECT_EQ(db_.PowerWatch, 1);
  EXPECT_EQ(db_.WdtRefresh.load(), 20);
  EXPECT_EQ(db_.TermTimeout, 5);
  EXPECT_STREQ(db_.MyPidPath, "/var/run/wardend.pid");
  ASSERT_EQ(db_.NumProcess, 2);
  EXPECT_EQ(CntProcess, 2);
  EXPECT_EQ(CntLine, 9);

  const ProcEntry &e0 = db_.Process[0];
  EXPECT_EQ(e0.StartUp, MONITOR);
  EXPECT_EQ(e0.HealthCheck, 0);
  EXPECT_STREQ(e0.PidPath, aPid.c_str());
  EXPECT_STREQ(e0.ExecPath, a.c_str());
  EXPECT_STREQ(e0.procName, "a");
  EXPECT_STREQ(e0.Option, "");
  EXPECT_EQ(e0.TmrHlthChk, 0);
  EXPECT_EQ(e0.TmrAlive, 10);

  const ProcEntry &e1 = db_.Process[1];
  EXPECT_EQ(e1.StartUp, RESPAWN);
  EXPECT_EQ(e1.HealthCheck, 30);
  EXPECT_STREQ(e1.procName, "b");
  EXPECT_STREQ(e1.Option, "-q -v");
  EXPECT_EQ(e1.TmrHlthChk, 30);
  EXPECT_EQ(e1.TmrAlive, 9);
  for (const ProcEntry *e : {&e0, &e1}) {
    EXPECT_EQ(e->FlgHlthChk.load(), 0);
    EXPECT_EQ(e->CntAlive, 0);
    // procName must point into the entry's own copy of the path.
    EXPECT_GE(e->procName, e->ExecPath);
    EXPECT_LT(e->procName, e->ExecPath + sizeof e->ExecPath);
  }
}

// A chunk holds 255 characters: a line of 254 and its newline fits, anything
// longer is reported piece by piece and its remainder read as its own line.
TEST_F(ReadConfigTest, LineLengths) {
  const std::string path244 = "/" + Repeat('p', 243);
  const std::string path245 = "/" + Repeat('p', 244);
  const std::string tail80 = "/" + Repeat('q', 79);
  struct Case {
    const char *name;
    std::string content;
    std::vector<std::string> messages;
    std::string pidPath;
  };
  const Case cases[] = {
      {"254 characters", "Wardend:x:" + path244 + "\nAliveWatchPeriod\n",
       {"No alive watch value given on line 2"}, path244},
      {"255 characters", "Wardend:x:" + path245 + "\nAliveWatchPeriod\n",
       {"line 1 is too long in config file", "No alive watch value given on line 3"}, ""},
      {"600 characters", Repeat('x', 510) + "Wardend:x:" + tail80 + "\nAliveWatchPeriod\n",
       {"line 1 is too long in config file", "line 2 is too long in config file",
        "No alive watch value given on line 4"},
       tail80},
      {"last line of 254 without newline", "AliveWatchPeriod\nWardend:x:" + path244,
       {"No alive watch value given on line 1"}, path244},
      {"last line of 255 without newline", "AliveWatchPeriod\nWardend:x:" + path245,
       {"No alive watch value given on line 1", "line 2 is too long in config file"}, ""},
  };
  for (const Case &c : cases) {
    CapturedLog().clear();
    db_.MyPidPath[0] = '\0';
    EXPECT_EQ(Read(c.content), 0) << c.name;
    EXPECT_EQ(Errors(), c.messages) << c.name;
    EXPECT_EQ(db_.MyPidPath, c.pidPath) << c.name;
  }
}

// The text of a chunk ends at its first NUL; a chunk that starts with one is
// an empty line, and nothing before the buffer is looked at.
TEST_F(ReadConfigTest, NulBytesEndTheChunkText) {
  const std::string content("\0AliveWatchPeriod:3\nAliveWatchPeriod:4\0junk\nTermTimeout\n\0", 57);
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), std::vector<std::string>{"No terminate timeout value given on line 3"});
  EXPECT_EQ(db_.AliveWatch, 4);
  EXPECT_EQ(CntLine, 4);
}

// The carriage return stays in the last field of the line.
TEST_F(ReadConfigTest, CarriageReturnStaysInLastField) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  ASSERT_EQ(Read("AliveWatchPeriod:10\r\n"
                 "Process:MONITOR:0:" + pid + ":" + exe + "\r\n"
                 "Process:MONITOR:0:" + pid + ":" + exe + ":-v\r\n"),
            0);
  EXPECT_EQ(Errors(), (std::vector<std::string>{
                          "Str2Num convert error [10\r] : Success",
                          "Config read: Exec file is not exist line 2 [" + exe + "\r]",
                      }));
  EXPECT_EQ(db_.AliveWatch, 15);
  ASSERT_EQ(db_.NumProcess, 1);
  EXPECT_STREQ(db_.Process[0].Option, "-v\r");
}

// One refused line per row, in file order; each message names its own line.
TEST_F(ReadConfigTest, EveryRefusalNamesItsLine) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  const std::string empty = WriteFile("empty.pid", "");
  const std::string noExec = WriteFile("plain", "data", 0655);
  const std::string missing = dir_ + "/missing";
  const std::string tail = ":" + pid + ":" + exe;
  struct Row {
    std::string line;
    std::string message;  // empty: refused without a message
  };
  const std::vector<Row> rows = {
      {"AliveWatchPeriod", "No alive watch value given on line 1"},
      {"PowerWatchPeriod:", "No power watch value given on line 2"},
      {"WdtRefreshPeriod::", "No WDT refresh value given on line 3"},
      {"TermTimeout", "No terminate timeout value given on line 4"},
      {"Wardend:/run/x.pid", "No PID file path given on line 5"},
      {"Wardend::/run/x.pid", "No PID file path given on line 6"},
      {"Process", "No startup given on line 7"},
      {"Process:MONITOR", "No health check cycle given on line 8"},
      {"Process:MONITOR:0", "No PID file path given on line 9"},
      {"Process:MONITOR:0:" + pid, "No exec path given on line 10"},
      {"Process:BOOT:0" + tail, "Config read: StartUp convert error line 11 [BOOT]"},
      {"Process: MONITOR:0" + tail, "Config read: StartUp convert error line 12 [ MONITOR]"},
      {"Process:start:0" + tail, ""},
      {"Process:Start:0" + tail, ""},
      {"Process:MONITOR:x" + tail, "Str2Num convert error [x] : Success"},
      {"Process:MONITOR:2147483648" + tail,
       "Str2Num convert error [2147483648] : Numerical result out of range"},
      // A left-out HealthCheck shifts the pid path into its place.
      {"Process:MONITOR::" + pid + ":" + exe, "Str2Num convert error [" + pid + "] : Success"},
      {"Process:MONITOR:0:" + missing + ":" + exe,
       "Config read: PID file is not exist line 18 [" + missing + "]"},
      {"Process:MONITOR:0:" + empty + ":" + exe, "Config read: PID file is empty line 19"},
      {"Process:MONITOR:0:" + pid + ":" + missing,
       "Config read: Exec file is not exist line 20 [" + missing + "]"},
      {"Process:MONITOR:0:" + pid + ":" + noExec, "Config read: Exec file is not executable line 21"},
      {"AliveWatchPeriod:2147483648",
       "Str2Num convert error [2147483648] : Numerical result out of range"},
      {"PowerWatchPeriod:5 ", "Str2Num convert error [5 ] : Success"},
      {"WdtRefreshPeriod:0x10", "Str2Num convert error [0x10] : Success"},
  };
  std::string content;
  std::vector<std::string> expected;
  for (const Row &row : rows) {
    content += row.line + "\n";
    if (!row.message.empty()) expected.push_back(row.message);
  }
  ASSERT_EQ(Read(content), 0);
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(CntLine, static_cast<int32_t>(rows.size()));
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_EQ(db_.AliveWatch, 15);
  EXPECT_EQ(db_.PowerWatch, 1);
  EXPECT_EQ(db_.WdtRefresh.load(), 30);
  EXPECT_STREQ(db_.MyPidPath, "");
}

TEST_F(ReadConfigTest, AcceptedFormsAndIgnoredLines) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  const std::string bin = dir_ + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
  ASSERT_EQ(Read("# comment:AliveWatchPeriod:1\n"
                 ":::\n"
                 "Process::MONITOR:0:" + pid + ":" + exe + "\n"
                 "Process:Manage:5:" + pid + ":" + exe + ":-a  -b:sixth\n"
                 "Process:RESPAWN: 7:" + pid + ":" + bin + "/\n"
                 "Process:monitor:-1:" + pid + ":" + bin + ":\n"
                 "TermTimeout:10:x\n"
                 "AliveWatchPeriod:4\n"
                 "AliveWatchPeriod:6\n"
                 "AliveWatchPeriod:6x\n"
                 " AliveWatchPeriod:9\n"
                 "AliveWatchPeriod :9\n"
                 "#AliveWatchPeriod:9\n"
                 "process:MONITOR:0:" + pid + ":" + exe + "\n"
                 "WdtRefreshPeriod:-1\n"
                 "PowerWatchPeriod: +7\n"
                 "Wardend:a:/run/one.pid\n"
                 "Wardend:b:/run/two.pid:extra\n"
                 "Wardend:c\n"),
            0);
  EXPECT_EQ(Errors(), (std::vector<std::string>{"Str2Num convert error [6x] : Success",
                                                "No PID file path given on line 19"}));
  EXPECT_EQ(db_.TermTimeout, 10);
  EXPECT_EQ(db_.AliveWatch, 6);
  EXPECT_EQ(db_.WdtRefresh.load(), -1);
  EXPECT_EQ(db_.PowerWatch, 7);
  EXPECT_STREQ(db_.MyPidPath, "/run/two.pid");

  struct Want {
    int32_t startUp, healthCheck;
    std::string execPath, procName, option;
    int32_t tmrAlive;
  };
  const Want want[] = {
      {MONITOR, 0, exe, "p", "", 6},
      {MANAGE, 5, exe, "p", "-a  -b", 5},
      {RESPAWN, 7, bin + "/", "", "", 4},
      {MONITOR, -1, bin, "bin", "", 3},
  };
  ASSERT_EQ(db_.NumProcess, 4);
  for (int i = 0; i < 4; i++) {
    const ProcEntry &e = db_.Process[i];
    EXPECT_EQ(e.StartUp, want[i].startUp) << i;
    EXPECT_EQ(e.HealthCheck, want[i].healthCheck) << i;
    EXPECT_EQ(e.TmrHlthChk, want[i].healthCheck) << i;
    EXPECT_STREQ(e.PidPath, pid.c_str()) << i;
    EXPECT_EQ(e.ExecPath, want[i].execPath) << i;
    EXPECT_EQ(e.procName, want[i].procName) << i;
    EXPECT_GE(e.procName, e.ExecPath) << i;
    EXPECT_LT(e.procName, e.ExecPath + sizeof e.ExecPath) << i;
    EXPECT_EQ(e.Option, want[i].option) << i;
    EXPECT_EQ(e.TmrAlive, want[i].tmrAlive) << i;
  }
}

// The capacity is the pre-count of lines starting with "Process"; a line
// that starts with ':' is parsed as a "Process" line but was not counted.
TEST_F(ReadConfigTest, ProcessLinesBeyondThePreCountAreRefused) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  const std::string tail = ":0:" + pid + ":" + exe + "\n";
  ASSERT_EQ(Read(":Process:MANAGE" + tail + "Process:MONITOR" + tail), 0);
  EXPECT_EQ(Errors(), std::vector<std::string>{"No more processes manage line 2"});
  ASSERT_EQ(db_.NumProcess, 1);
  EXPECT_EQ(db_.Process[0].StartUp, MANAGE);
}

TEST_F(ReadConfigTest, ReReadRebuildsTableAndKeepsPidPath) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  ASSERT_EQ(Read("Wardend:x:/run/first.pid\nTermTimeout:9\nProcess:MONITOR:3:" + pid + ":" + exe + "\n"), 0);
  ASSERT_EQ(db_.NumProcess, 1);
  db_.Process[0].TmrHlthChk = 1;
  db_.Process[0].FlgHlthChk.store(1);
  db_.Process[0].CntAlive = 1;

  ASSERT_EQ(Read("Process:RESPAWN:3:" + pid + ":" + exe + "\n"), 0);
  EXPECT_STREQ(db_.MyPidPath, "/run/first.pid");
  EXPECT_EQ(db_.TermTimeout, 5);
  ASSERT_EQ(db_.NumProcess, 1);
  EXPECT_EQ(db_.Process[0].StartUp, RESPAWN);
  EXPECT_EQ(db_.Process[0].TmrHlthChk, 3);
  EXPECT_EQ(db_.Process[0].FlgHlthChk.load(), 0);
  EXPECT_EQ(db_.Process[0].CntAlive, 0);
  EXPECT_EQ(db_.Process[0].TmrAlive, 15);

  CapturedLog().clear();
  const std::string missing = dir_ + "/gone.conf";
  EXPECT_EQ(ReadConfig(missing.c_str(), &db_), 1);
  EXPECT_EQ(Errors(), std::vector<std::string>{"Unable to open config file '" + missing +
                                               "': No such file or directory"});
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_STREQ(db_.MyPidPath, "/run/first.pid");
  EXPECT_EQ(db_.AliveWatch, 15);
}

// A path with a blank is counted by the shell piece by piece but opened
// whole: here the pieces hold two "Process" lines and the whole path does
// not exist, so the pre-counted capacity must not pass for filled entries.
TEST_F(ReadConfigTest, CountedButUnopenedFileLeavesNoEntries) {
  const std::string pid = PidFile("p.pid"), exe = Program("p");
  const std::string line = "Process:MONITOR:0:" + pid + ":" + exe + "\n";
  const std::string first = WriteFile("a", line), second = WriteFile("b", line);
  const std::string path = first + " " + second;
  EXPECT_EQ(ReadConfig(path.c_str(), &db_), 1);
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_EQ(CntProcess, 0);
}

TEST_F(ReadConfigTest, OnlyCommentsAndEmptyLinesGiveDefaults) {
  ASSERT_EQ(Read("# one\n\n#Process:MONITOR\n\n"), 0);
  EXPECT_TRUE(CapturedLog().empty());
  EXPECT_EQ(db_.NumProcess, 0);
  EXPECT_NE(db_.Process, nullptr);
  EXPECT_EQ(db_.AliveWatch, 15);
  EXPECT_EQ(db_.PowerWatch, 1);
  EXPECT_EQ(db_.WdtRefresh.load(), 30);
  EXPECT_EQ(db_.TermTimeout, 5);
  EXPECT_EQ(CntLine, 4);
}

// Called directly, a line longer than the reader ever hands on is refused
// rather than copied into the fixed text fields.
TEST_F(ReadConfigTest, DirectOverlongLineIsRefused) {
  CleanConfig(nullptr, &db_);
  std::string line = "Wardend:x:/" + Repeat('p', 300);
  handle_config_line(line.data(), &db_);
  EXPECT_EQ(Errors(), std::vector<std::string>{"line 1 is too long in config file"});
  EXPECT_STREQ(db_.MyPidPath, "");
  handle_config_line(nullptr, &db_);
  EXPECT_EQ(CntLine, 1);
}

}  // namespace
