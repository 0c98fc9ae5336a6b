// SPDX-License-Identifier: MIT
// The status channel: request reader, JSON text, bounded wait for the table, the
// server's stop (clients, floods, threads changing the table: the board tests).
#include <linux/watchdog.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "common/clock.h"
#include "common/statusaddress.h"
#include "supervise/stall.h"
#include "supervise/status.h"
#include "supervise/statusinfo.h"
#include "supervise/statusreply.h"
#include "supervise/watchdog.h"
#include "supervise_support.h"

namespace {

using supervise_test::Table;

TEST(StatusRequest, ReadsOneLineInAnyChunksAndRefusesTheRest) {
  const std::string longName(259, 'n');
  const struct {
    std::vector<std::string> chunks;
    int read, request;  // request -9: not parsed, the line was too long
    std::string name;
  } cases[] = {
      {{}, STATUS_READ_MORE, STATUS_REQ_ALL, ""},  // nothing sent, then the end or the time limit
      {{"\n"}, STATUS_READ_LINE, STATUS_REQ_ALL, ""},
      {{"status\n"}, STATUS_READ_LINE, STATUS_REQ_ALL, ""},
      {{"status"}, STATUS_READ_MORE, STATUS_REQ_ALL, ""},  // no line end before the end
      {{"sta", "tus a", "pp\r\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, "app"},
      {{"status two words\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, "two words"},
      {{"status app\nstatus other\n", std::string(1000, 'x')}, STATUS_READ_LINE, STATUS_REQ_NAME, "app"},
      {{"status " + longName + "\r\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, longName},
      {{"status \n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{"statusapp\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{"Status\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{std::string("status a\0b\n", 11)}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},  // a NUL would cut the name
      {{std::string(STATUS_REQUEST_MAX - 1, 's') + "\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{std::string(STATUS_REQUEST_MAX, 's')}, STATUS_READ_TOO_LONG, -9, ""},
      {{std::string(200, 's'), std::string(200, 's'), "\n"}, STATUS_READ_TOO_LONG, -9, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.chunks.empty() ? "(nothing)" : c.chunks[0].substr(0, 40));
    StatusRequest request{};
    int read = STATUS_READ_MORE, parsed = -9;
    for (const std::string &chunk : c.chunks) read = StatusRequestAdd(&request, chunk.data(), chunk.size());
    const char *name = "";
    size_t length = 0;
    if (read != STATUS_READ_TOO_LONG) parsed = StatusRequestParse(&request, &name, &length);
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(parsed, c.request);
    EXPECT_EQ(parsed == STATUS_REQ_NAME ? std::string(name, length) : "", c.name);
  }
}

TEST(StatusText, JsonStringsEscapeQuotesControlsAndBytesThatAreNotUtf8) {
  const std::string bad = "\\ufffd";
  const std::pair<std::string, std::string> cases[] = {
      {"a\"b\\c\tnl\n\r\x01\x1f\x7f", "\"a\\\"b\\\\c\\tnl\\n\\u000d\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7\xc2\xa0", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7\xc2\xa0\""},
      {"\xc2\x80\xc2\x9b[2J\xc2\x9f", "\"\\u0080\\u009b[2J\\u009f\""},  // C1 controls
      // A stray byte, an overlong form, a surrogate, beyond U+10FFFF, and
      // sequences cut by the end of the text.
      {"\xff\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"
       "a\xc3",
       "\"" + bad + bad + bad + bad + bad + bad + bad + bad + bad + bad + "a" + bad + "\""},
      {"\xe2\x82", "\"" + bad + bad + "\""},
  };
  for (const auto &[text, json] : cases) {
    StatusText out;
    out.AddJsonString(text.data(), text.size());
    EXPECT_EQ(std::string(out.Data(), out.Length()), json);
  }
}

struct ReplyTable : Table {
  ReplyTable()
      : Table({{MONITOR, 10, "/run/beacon.pid", "/bin/beacon", ""},
               {MANAGE, 0, "/run/gone.pid", "/bin/gone", ""},
               {RESPAWN, -1, "/run/w\"x.pid", "/bin/w\"x\\y", "-d"},
               {MONITOR, 10, "/run/beacon2.pid", "/bin/beacon", ""}},
              4) {}
  std::string Reply(bool locked, int64_t now, int request = STATUS_REQ_ALL, const std::string &name = "") {
    StatusText out;
    BuildStatusReply(&arg, locked, request, name.data(), name.size(), now, &out);
    EXPECT_FALSE(out.Failed());
    return std::string(out.Data(), out.Length());
  }
};

void ExpectParts(const std::string &reply, const std::vector<std::string> &parts) {
  for (const std::string &part : parts) {
    EXPECT_NE(reply.find(part), std::string::npos) << part << " in " << reply;
  }
}

// With the table: every field of each entry, the safety settings, the lines
// the last read refused (all counted, the first kept ones shown), and a name
// that picks every entry of that name.
TEST(StatusReply, ListsEachEntryWithItsFacts) {
  ReplyTable t;
  const int64_t now = 1000000;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  t[0].TimHlthChk.store(now - 2500);
  t[0].FlgHlthChk.store(1);
  t[0].TmrHlthChk = 7;
  t[0].TmrAlive = 3;
  t[0].PidAlive = getpid();
  t[1].PidAlive = gone;
  t[1].CntAlive = 1;
  t[2].PidAlive = -1;
  t[2].CntRespawn = 2;
  t[2].TmrHlthChk = -5;
  StatusNoteConfigRead("/c", 0);
  const std::string reply = t.Reply(true, now);
  EXPECT_EQ(reply.substr(reply.size() - 4), "\n]}\n");
  const std::vector<std::string> parts = {
      "\n{\"index\":0,\"name\":\"beacon\",\"kind\":\"MONITOR\",\"pid_file\":\"/run/beacon.pid\",\"pid\":" +
          std::to_string(getpid()) +
          ",\"running\":true,\"pid_read\":\"ok\",\"health_check_cycle\":10,\"health_check_age\":2.500,"
          "\"health_check_armed\":true,\"window_left\":7,\"alive_check_in\":3,\"forgiven\":0,\"respawns\":0,\"respawning\":null}",
      "\n{\"index\":1,\"name\":\"gone\",\"kind\":\"MANAGE\",\"pid_file\":\"/run/gone.pid\",\"pid\":" +
          std::to_string(gone) +
          ",\"running\":false,\"pid_read\":\"ok\",\"health_check_cycle\":0,\"health_check_age\":null,"
          "\"health_check_armed\":null,\"window_left\":null,\"alive_check_in\":4,\"forgiven\":1,\"respawns\":0,\"respawning\":null}",
      "\n{\"index\":2,\"name\":\"w\\\"x\\\\y\",\"kind\":\"RESPAWN\",\"pid_file\":\"/run/w\\\"x.pid\",\"pid\":null,"
      "\"running\":null,\"pid_read\":\"failed\",\"health_check_cycle\":-1,\"health_check_age\":null,"
      "\"health_check_armed\":false,\"window_left\":0,\"alive_check_in\":4,\"forgiven\":0,\"respawns\":2,\"respawning\":null}",
      "\"table\":\"ok\"",
      "\"process_count\":4,",
      "\"refused_lines\":0,\"refused\":[]}",
      "\"safety\":{\"SuperviseStallTimeout\":0,\"RebootRecord\":null,\"RebootLoopLimit\":null,\"WdtPriority\":0}",
  };
  ExpectParts(reply, parts);
  t.db.StallTimeout.store(30);
  snprintf(t.db.RebootRecord, sizeof t.db.RebootRecord, "/data/re\"cord");
  t.db.LoopLimitCount = 3;
  t.db.LoopLimitWindow = 600;
  t.db.WdtPriority = 50;
  t.db.NumRefused = CONFIG_REFUSED_KEEP + 1;
  for (int32_t i = 0; i < CONFIG_REFUSED_KEEP; i++) {
    t.db.Refused[i].Line = 3 + i;
    snprintf(t.db.Refused[i].Text, sizeof t.db.Refused[i].Text, "Process:MONITOR::\"%d", static_cast<int>(i));
  }
  ExpectParts(t.Reply(true, now), {"\"safety\":{\"SuperviseStallTimeout\":30,\"RebootRecord\":\"/data/re\\\"cord\","
                                   "\"RebootLoopLimit\":{\"count\":3,\"window\":600},\"WdtPriority\":50}",
                                   "\"refused_lines\":9,\"refused\":[{\"line\":3,\"text\":\"Process:MONITOR::\\\"0\"},",
                                   "{\"line\":10,\"text\":\"Process:MONITOR::\\\"7\"}]}"});
  t.db.AliveWatch = 0;  // off: no next check
  const std::string beacons = t.Reply(true, now, STATUS_REQ_NAME, "beacon");
  ExpectParts(beacons, {"{\"index\":0,", ",\n{\"index\":3,", "\"alive_check_in\":null"});
  EXPECT_EQ(beacons.find("{\"index\":1,"), std::string::npos);
  ExpectParts(t.Reply(true, now, STATUS_REQ_NAME, "beaco"), {"\"processes\":[]}\n"});
}

// Without the table a reply says busy and still shows the watchdog and the
// termination: refused keep-alives with the system's text while they last,
// what the driver said of the last reset, and a stall that stopped the
// refreshes for good.
TEST(StatusReply, WithoutTheLockSaysBusyAndKeepsWatchdogAndTermination) {
  ReplyTable t;
  StatusSnapshotClear();  // a pass that terminated in an earlier test left one
  gStatusInfo.WdtBootAsked = 0;
  StatusTerminationBegin(TERM_SAFEMODE, "Reboot to Safe-mode request from application [up\"d] : x");
  const int64_t now = MonotonicMs();
  gDebugInfo.CntWdtLate.store(3);
  gDebugInfo.MaxWdtInterval.store(61234);
  gDebugInfo.WdtMonoMs.store(now - 4500);
  gDebugInfo.CntWdtFail.store(4);
  gDebugInfo.WdtFailErrno.store(EIO);
  gDebugInfo.WdtFailing.store(1);
  const std::string during = t.Reply(false, now);
  StatusTerminationEnd();
  gDebugInfo.WdtFailing.store(0);
  StatusNoteWdtBootStatus(true, WDIOF_OVERHEAT);  // another flag than the reset's
  StopRefresh(12);
  const std::string after = t.Reply(false, now);
  ResetPassProgress();
  gDebugInfo.CntWdtFail.store(0);
  gStatusInfo.WdtBootAsked = 0;
  ExpectParts(during, {"\"table\":\"busy\"", "\"late_refreshes\":3", "\"max_interval\":61.234",
                       "\"since_refresh\":4.500,",
                       "\"failed_refreshes\":4,\"refresh_failing\":true,\"refresh_error\":\"Input/output error\",",
                       "\"caused_last_reset\":null,\"refresh_stopped\":false,\"stalled_seconds\":null}",
                       "\"termination\":{\"in_progress\":true,\"mode\":\"safemode\",\"reason\":\"Reboot to "
                       "Safe-mode request from application [up\\\"d] : x\",\"age\":0.",
                       "\"config\":null,\"periods\":null,\"safety\":null,"
                       "\"process_count\":null,\"processes\":null}\n"});
  ExpectParts(after, {"{\"in_progress\":false,\"mode\":\"safemode\"",
                      "\"failed_refreshes\":4,\"refresh_failing\":false,\"refresh_error\":null,",
                      "\"caused_last_reset\":false,\"refresh_stopped\":true,\"stalled_seconds\":12}"});
}

// Without the table, a reply lists the entries as the termination copied
// them when it began; neither a later respawn nor a second termination
// replaces that copy. A respawn's own copy (shown on the board) goes with it.
TEST(StatusReply, WithoutTheLockListsTheSnapshotOfTheTermination) {
  ReplyTable t;
  StatusSnapshotClear();
  StatusWatchTable(&t.db);
  StatusRespawnBegin(&t[2], "w -d");
  StatusRespawnEnd();
  ExpectParts(t.Reply(false, MonotonicMs()), {"\"table\":\"busy\"", "\"processes\":null}"});
  StatusSnapshotForTermination(&t.db);
  t[0].CntAlive = 1;
  StatusRespawnBegin(&t[1], "gone ");
  StatusRespawnEnd();
  StatusSnapshotForTermination(&t.db);
  const std::string terminating = t.Reply(false, MonotonicMs(), STATUS_REQ_NAME, "beacon");
  StatusSnapshotClear();
  StatusWatchTable(nullptr);
  ExpectParts(terminating, {"\"table\":\"snapshot\"", "{\"index\":0,\"name\":\"beacon\"", "\"forgiven\":0,"});
  EXPECT_EQ(terminating.find("\"index\":1,"), std::string::npos) << terminating;
}

TEST(StatusLock, GivesUpWhenTheTableStaysBusyOrWhenToldToQuit) {
  Table t({});
  std::atomic<int> phase{0};
  std::thread pass([&] {  // a pass that holds the table
    pthread_mutex_lock(&t.arg.Mutex);
    for (phase.store(1); phase.load() != 2;) usleep(1000);
    pthread_mutex_unlock(&t.arg.Mutex);
  });
  while (phase.load() != 1) usleep(1000);
  EXPECT_FALSE(LockTableWithin(&t.arg, 30, -1));
  int quit[2];
  ASSERT_EQ(pipe(quit), 0);
  ASSERT_EQ(write(quit[1], "q", 1), 1);
  EXPECT_FALSE(LockTableWithin(&t.arg, 600000, quit[0]));  // would wait ten minutes otherwise
  close(quit[0]);
  close(quit[1]);
  phase.store(2);
  pass.join();
  EXPECT_TRUE(LockTableWithin(&t.arg, 1000, -1));
  pthread_mutex_unlock(&t.arg.Mutex);
}

TEST(StatusServer, StopsWithASilentClient) {
  Table t({});
  ASSERT_EQ(StatusServerStart(&t.arg), 0);
  struct sockaddr_un address;
  const socklen_t length = StatusSocketAddress(&address);
  const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(silent, reinterpret_cast<struct sockaddr *>(&address), length), 0);
  StatusServerStop();
  char byte;
  EXPECT_LE(recv(silent, &byte, 1, 0), 0);  // closed without a reply (reset when it was never accepted)
  close(silent);
  const int late = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_NE(connect(late, reinterpret_cast<struct sockaddr *>(&address), length), 0);  // nobody listens any more
  close(late);
}

}  // namespace
