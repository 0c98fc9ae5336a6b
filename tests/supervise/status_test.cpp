// SPDX-License-Identifier: MIT
// The status channel: the request reader, the JSON text of names and of the
// reply, the bounded wait for the table, and the server thread answering
// while the receiver and the pass change the table (for ThreadSanitizer).
// Clients, floods and the daemon's own socket are tested on the board.
#include <gtest/gtest.h>
#include <linux/watchdog.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "common/clock.h"
#include "common/ctrlmsg.h"
#include "common/statusaddress.h"
#include "supervise/msgrcv.h"
#include "supervise/stall.h"
#include "supervise/status.h"
#include "supervise/statusinfo.h"
#include "supervise/statusreply.h"
#include "supervise/terminate.h"
#include "supervise/watchdog.h"
#include "supervise_support.h"

namespace {

using supervise_test::Table;

struct Parsed {
  int read;     // the last StatusRequestAdd result
  int request;  // StatusRequestParse, or -9 when the line was too long
  std::string name;
};

Parsed Feed(const std::vector<std::string> &chunks) {
  StatusRequest request{};
  Parsed result{STATUS_READ_MORE, -9, ""};
  for (const std::string &chunk : chunks) result.read = StatusRequestAdd(&request, chunk.data(), chunk.size());
  if (result.read == STATUS_READ_TOO_LONG) return result;
  const char *name = nullptr;
  size_t length = 0;
  result.request = StatusRequestParse(&request, &name, &length);
  if (result.request == STATUS_REQ_NAME) result.name.assign(name, length);
  return result;
}

TEST(StatusRequest, ReadsOneLineInAnyChunksAndRefusesTheRest) {
  const std::string longName(259, 'n');
  const struct {
    std::vector<std::string> chunks;
    int read, request;
    std::string name;
  } cases[] = {
      {{}, STATUS_READ_MORE, STATUS_REQ_ALL, ""},  // nothing sent, then the end or the time limit
      {{"\n"}, STATUS_READ_LINE, STATUS_REQ_ALL, ""},
      {{"status\n"}, STATUS_READ_LINE, STATUS_REQ_ALL, ""},
      {{"status"}, STATUS_READ_MORE, STATUS_REQ_ALL, ""},  // no line end before the end
      {{"sta", "tus a", "pp\r\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, "app"},
      {{"status two words\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, "two words"},
      {{"status app\nstatus other\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, "app"},  // the first line only
      {{"status app\n", std::string(1000, 'x')}, STATUS_READ_LINE, STATUS_REQ_NAME, "app"},
      {{"status " + longName + "\r\n"}, STATUS_READ_LINE, STATUS_REQ_NAME, longName},
      {{"status \n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{"statusapp\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{"Status\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{"stat\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{std::string("status a\0b\n", 11)}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},  // a NUL would cut the name
      {{std::string(STATUS_REQUEST_MAX - 1, 's') + "\n"}, STATUS_READ_LINE, STATUS_REQ_BAD, ""},
      {{std::string(STATUS_REQUEST_MAX, 's')}, STATUS_READ_TOO_LONG, -9, ""},
      {{std::string(200, 's'), std::string(200, 's'), "\n"}, STATUS_READ_TOO_LONG, -9, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.chunks.empty() ? "(nothing)" : c.chunks[0].substr(0, 40));
    Parsed got = Feed(c.chunks);
    EXPECT_EQ(got.read, c.read);
    EXPECT_EQ(got.request, c.request);
    EXPECT_EQ(got.name, c.name);
  }
}

TEST(StatusText, JsonStringsEscapeQuotesControlsAndBytesThatAreNotUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"app", "\"app\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\nnl\r\x01\x1f\x7f", "\"tab\\there\\nnl\\u000d\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7\""},  // kept
      {"\xff", "\"\\ufffd\""},
      {"a\xc3", "\"a\\ufffd\""},                                 // cut sequence
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                        // overlong
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // beyond U+10FFFF
      {"\xe2\x82", "\"\\ufffd\\ufffd\""},
      {"\xc2\x80\xc2\x9b[2J\xc2\x9f\xc2\xa0", "\"\\u0080\\u009b[2J\\u009f\xc2\xa0\""},  // C1 controls; NBSP kept
  };
  for (const auto &[text, json] : cases) {
    StatusText out;
    out.AddJsonString(text.data(), text.size());
    EXPECT_EQ(std::string(out.Data(), out.Length()), json);
  }
}

// The table and the facts the reply reports for each entry.
struct ReplyTable : Table {
  ReplyTable()
      : Table({{MONITOR, 10, "/run/beacon.pid", "/bin/beacon", ""},
               {MANAGE, 0, "/run/gone.pid", "/bin/gone", ""},
               {RESPAWN, -1, "/run/w\"x.pid", "/bin/w\"x\\y", "-d"},
               {MONITOR, 10, "/run/beacon2.pid", "/bin/beacon", ""}},
              4) {}
};

std::string Reply(const ThreadArg *arg, bool locked, int request, const std::string &name, int64_t now) {
  StatusText out;
  BuildStatusReply(arg, locked, request, name.data(), name.size(), now, &out);
  EXPECT_FALSE(out.Failed());
  return std::string(out.Data(), out.Length());
}

// A pid that no process has: a child that has been waited for.
pid_t GonePid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

TEST(StatusReply, ListsEachEntryWithItsFacts) {
  ReplyTable t;
  const int64_t now = 1000000;
  t[0].TimHlthChk.store(now - 2500);
  t[0].FlgHlthChk.store(1);
  t[0].TmrHlthChk = 7;
  t[0].TmrAlive = 3;
  t[0].PidAlive = getpid();
  t[1].PidAlive = GonePid();
  t[1].CntAlive = 1;
  t[2].PidAlive = -1;
  t[2].CntRespawn = 2;
  t[2].TmrHlthChk = -5;
  const std::string reply = Reply(&t.arg, true, STATUS_REQ_ALL, "", now);
  EXPECT_EQ(reply.substr(reply.size() - 4), "\n]}\n");
  const std::string expected[] = {
      "{\"index\":0,\"name\":\"beacon\",\"kind\":\"MONITOR\",\"pid_file\":\"/run/beacon.pid\",\"pid\":" +
          std::to_string(getpid()) +
          ",\"running\":true,\"pid_read\":\"ok\",\"health_check_cycle\":10,\"health_check_age\":2.500,"
          "\"health_check_armed\":true,\"window_left\":7,\"alive_check_in\":3,\"forgiven\":0,\"respawns\":0,\"respawning\":null}",
      "{\"index\":1,\"name\":\"gone\",\"kind\":\"MANAGE\",\"pid_file\":\"/run/gone.pid\",\"pid\":" +
          std::to_string(t[1].PidAlive) +
          ",\"running\":false,\"pid_read\":\"ok\",\"health_check_cycle\":0,\"health_check_age\":null,"
          "\"health_check_armed\":null,\"window_left\":null,\"alive_check_in\":4,\"forgiven\":1,\"respawns\":0,\"respawning\":null}",
      "{\"index\":2,\"name\":\"w\\\"x\\\\y\",\"kind\":\"RESPAWN\",\"pid_file\":\"/run/w\\\"x.pid\",\"pid\":null,"
      "\"running\":null,\"pid_read\":\"failed\",\"health_check_cycle\":-1,\"health_check_age\":null,"
      "\"health_check_armed\":false,\"window_left\":0,\"alive_check_in\":4,\"forgiven\":0,\"respawns\":2,\"respawning\":null}",
  };
  for (const std::string &entry : expected) EXPECT_NE(reply.find("\n" + entry), std::string::npos) << entry;
  EXPECT_NE(reply.find("\"table\":\"ok\""), std::string::npos);
  EXPECT_NE(reply.find("\"process_count\":4,"), std::string::npos);
  EXPECT_NE(reply.find("\"safety\":{\"SuperviseStallTimeout\":0,\"RebootRecord\":null,\"RebootLoopLimit\":null,"
                       "\"WdtPriority\":0}"),
            std::string::npos);
  t.db.StallTimeout.store(30);
  snprintf(t.db.RebootRecord, sizeof t.db.RebootRecord, "/data/re\"cord");
  t.db.LoopLimitCount = 3;
  t.db.LoopLimitWindow = 600;
  t.db.WdtPriority = 50;
  EXPECT_NE(Reply(&t.arg, true, STATUS_REQ_ALL, "", now)
                .find("\"safety\":{\"SuperviseStallTimeout\":30,\"RebootRecord\":\"/data/re\\\"cord\","
                      "\"RebootLoopLimit\":{\"count\":3,\"window\":600},\"WdtPriority\":50}"),
            std::string::npos);

  // A name picks every entry of that name; an unknown name none. Alive
  // checks switched off show no next check.
  t.db.AliveWatch = 0;
  const std::string beacons = Reply(&t.arg, true, STATUS_REQ_NAME, "beacon", now);
  EXPECT_NE(beacons.find("{\"index\":0,"), std::string::npos);
  EXPECT_NE(beacons.find("{\"index\":3,"), std::string::npos);
  EXPECT_EQ(beacons.find("{\"index\":1,"), std::string::npos);
  EXPECT_NE(beacons.find("\"alive_check_in\":null"), std::string::npos);
  EXPECT_NE(Reply(&t.arg, true, STATUS_REQ_NAME, "beaco", now).find("\"processes\":[]}\n"), std::string::npos);
}

TEST(StatusReply, WithoutTheLockSaysBusyAndKeepsWatchdogAndTermination) {
  ReplyTable t;
  StatusSnapshotClear();  // a pass that terminated in an earlier test left one
  gDebugInfo.CntWdtLate.store(3);
  gDebugInfo.MaxWdtInterval.store(61234);
  StatusTerminationBegin(TERM_SAFEMODE, "Reboot to Safe-mode request from application [up\"d] : x");
  const std::string reply = Reply(&t.arg, false, STATUS_REQ_ALL, "", MonotonicMs());
  StatusTerminationEnd();
  for (const char *part : {"\"table\":\"busy\"", "\"late_refreshes\":3", "\"max_interval\":61.234",
                           "\"termination\":{\"in_progress\":true,\"mode\":\"safemode\",\"reason\":\"Reboot to "
                           "Safe-mode request from application [up\\\"d] : x\",\"age\":0.",
                           "\"config\":null,\"periods\":null,\"safety\":null,\"process_count\":null,\"processes\":null}\n"}) {
    EXPECT_NE(reply.find(part), std::string::npos) << part << "\n"
                                                   << reply;
  }
  EXPECT_EQ(reply.find("beacon"), std::string::npos);
  // The termination has returned: no longer in progress, its reason kept.
  EXPECT_NE(Reply(&t.arg, false, STATUS_REQ_ALL, "", MonotonicMs()).find("{\"in_progress\":false,\"mode\":\"safemode\""),
            std::string::npos);
}

// A device that refuses the keep-alives: the count, the state and the
// system's text while it lasts; since_refresh counts from the last accepted
// keep-alive.
TEST(StatusReply, ShowsRefusedRefreshesAndTheirErrorWhileTheyLast) {
  ReplyTable t;
  const int64_t now = MonotonicMs();
  gDebugInfo.WdtMonoMs.store(now - 4500);
  gDebugInfo.CntWdtFail.store(4);
  gDebugInfo.WdtFailErrno.store(EIO);
  const struct {
    int failing;
    const char *watchdogEnd;
  } cases[] = {
      {1, "\"failed_refreshes\":4,\"refresh_failing\":true,\"refresh_error\":\"Input/output error\","},
      {0, "\"failed_refreshes\":4,\"refresh_failing\":false,\"refresh_error\":null,"},
  };
  for (const auto &c : cases) {
    gDebugInfo.WdtFailing.store(c.failing);
    const std::string reply = Reply(&t.arg, false, STATUS_REQ_ALL, "", now);
    EXPECT_NE(reply.find(c.watchdogEnd), std::string::npos) << reply;
    EXPECT_NE(reply.find("\"since_refresh\":4.500,"), std::string::npos) << reply;
  }
  gDebugInfo.CntWdtFail.store(0);
}

// Whether the watchdog reset the board, as the driver answered the one
// question about it: nothing is known before it was asked, and any other
// flag without the reset's is not it. (A driver without the request, no
// flag, and the reset's flag among others: the board's status tests.)
TEST(StatusReply, SaysWhatTheDriverToldAboutTheLastReset) {
  ReplyTable t;
  const struct {
    bool asked, answered;
    int flags;
    const char *value;
  } cases[] = {
      {false, false, 0, "null"},
      {true, true, WDIOF_OVERHEAT, "false"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    gStatusInfo.WdtBootAsked = 0;
    if (c.asked) StatusNoteWdtBootStatus(c.answered, c.flags);
    const std::string reply = Reply(&t.arg, false, STATUS_REQ_ALL, "", MonotonicMs());
    EXPECT_NE(reply.find(std::string("\"caused_last_reset\":") + c.value + ",\"refresh_stopped\":"), std::string::npos)
        << reply;
  }
  gStatusInfo.WdtBootAsked = 0;
}

// A stall stops the refreshes for good, and the reply says how long the
// pass had stalled when they stopped.
TEST(StatusReply, SaysWhenAStallStoppedTheRefreshes) {
  ReplyTable t;
  ResetPassProgress();
  const char *running = "\"refresh_stopped\":false,\"stalled_seconds\":null}";
  EXPECT_NE(Reply(&t.arg, false, STATUS_REQ_ALL, "", MonotonicMs()).find(running), std::string::npos);
  StopRefresh(12);
  const std::string stopped = Reply(&t.arg, false, STATUS_REQ_ALL, "", MonotonicMs());
  ResetPassProgress();
  EXPECT_NE(stopped.find("\"refresh_stopped\":true,\"stalled_seconds\":12}"), std::string::npos) << stopped;
}

// The lines the last read refused: all of them counted, the kept ones with
// their number and text.
TEST(StatusReply, ListsTheLinesTheLastReadRefused) {
  ReplyTable t;
  StatusNoteConfigRead("/c", 0);
  t.db.NumRefused = CONFIG_REFUSED_KEEP + 1;
  for (int32_t i = 0; i < CONFIG_REFUSED_KEEP; i++) {
    t.db.Refused[i].Line = 3 + i;
    snprintf(t.db.Refused[i].Text, sizeof t.db.Refused[i].Text, "Process:MONITOR::\"%d", static_cast<int>(i));
  }
  const std::string reply = Reply(&t.arg, true, STATUS_REQ_ALL, "", MonotonicMs());
  EXPECT_NE(reply.find("\"refused_lines\":9,\"refused\":[{\"line\":3,\"text\":\"Process:MONITOR::\\\"0\"},"),
            std::string::npos)
      << reply;
  EXPECT_NE(reply.find("{\"line\":10,\"text\":\"Process:MONITOR::\\\"7\"}]}"), std::string::npos) << reply;
  t.db.NumRefused = 0;
  EXPECT_NE(Reply(&t.arg, true, STATUS_REQ_ALL, "", MonotonicMs()).find("\"refused_lines\":0,\"refused\":[]}"),
            std::string::npos);
}

// Without the table, a reply lists the entries as a respawn or a
// termination found them, the respawn with its command and its age, and
// says the table is a snapshot; without either it stays busy.
TEST(StatusReply, WithoutTheLockListsTheSnapshotOfARespawnOrATermination) {
  ReplyTable t;
  StatusSnapshotClear();
  StatusWatchTable(&t.db);
  t[2].CntRespawn = 1;
  StatusRespawnBegin(&t[2], "w\"x\\y -d");
  t[2].CntRespawn = 2;  // what the pass changes after the copy is not shown
  const int64_t now = MonotonicMs() + 3000;
  const std::string respawning = Reply(&t.arg, false, STATUS_REQ_ALL, "", now);
  StatusRespawnEnd();
  const std::string busy = Reply(&t.arg, false, STATUS_REQ_ALL, "", now);
  for (const char *part : {"\"table\":\"snapshot\"", "\"snapshot_age\":3.", "\"process_count\":4,",
                           "\"respawns\":1,\"respawning\":{\"since\":3.", "\"command\":\"w\\\"x\\\\y -d\"}}",
                           "{\"index\":3,\"name\":\"beacon\""}) {
    EXPECT_NE(respawning.find(part), std::string::npos) << part << "\n"
                                                        << respawning;
  }
  EXPECT_NE(busy.find("\"table\":\"busy\""), std::string::npos) << busy;
  EXPECT_NE(busy.find("\"processes\":null}"), std::string::npos) << busy;

  // A termination's copy stays, and a later respawn does not replace it.
  StatusSnapshotForTermination(&t.db);
  t[0].CntAlive = 1;
  StatusRespawnBegin(&t[1], "gone ");
  StatusRespawnEnd();
  StatusSnapshotForTermination(&t.db);
  const std::string terminating = Reply(&t.arg, false, STATUS_REQ_NAME, "beacon", MonotonicMs());
  StatusSnapshotClear();
  StatusWatchTable(nullptr);
  EXPECT_NE(terminating.find("\"table\":\"snapshot\""), std::string::npos) << terminating;
  EXPECT_NE(terminating.find("{\"index\":0,\"name\":\"beacon\""), std::string::npos) << terminating;
  EXPECT_NE(terminating.find("\"forgiven\":0,"), std::string::npos) << terminating;
  EXPECT_EQ(terminating.find("\"index\":1,"), std::string::npos) << terminating;
}

TEST(StatusLock, GivesUpWhenTheTableStaysBusyOrWhenToldToQuit) {
  Table t({});
  EXPECT_TRUE(LockTableWithin(&t.arg, 0, -1));  // free: taken at once
  pthread_mutex_unlock(&t.arg.Mutex);

  std::atomic<int> phase{0};
  std::thread pass([&] {  // a pass that holds the table
    pthread_mutex_lock(&t.arg.Mutex);
    phase.store(1);
    while (phase.load() != 2) usleep(1000);
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

std::string Ask(const std::string &request) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  socklen_t length = StatusSocketAddress(&address);
  std::string reply;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), length) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

// The server answers while the receiver stamps health checks and the pass
// and a re-read take the table, then stops when told, with a client still
// connected and silent.
TEST(StatusServer, AnswersWhileTheTableChangesAndStopsWithASilentClient) {
  Table t({{MONITOR, 5, "/run/a.pid", "/bin/alpha", ""}, {MANAGE, 0, "/run/b.pid", "/bin/beta", ""}});
  ASSERT_EQ(StatusServerStart(&t.arg), 0);
  std::atomic<bool> done{false};
  std::thread receiver([&] {
    CtrlMsg msg{MSGID_HEALTH_CHECK, "alpha", ""};
    while (!done.load()) {
      RecvHealthCheck(&msg, &t.arg);
      usleep(200);
    }
  });
  std::thread pass([&] {
    while (!done.load()) {
      pthread_mutex_lock(&t.arg.Mutex);
      t[0].TmrHlthChk = t[0].TmrHlthChk > 1 ? t[0].TmrHlthChk - 1 : 5;
      t[1].PidAlive = getpid();
      t[1].CntRespawn++;
      pthread_mutex_unlock(&t.arg.Mutex);
      usleep(300);
    }
  });
  for (int i = 0; i < 20; i++) {
    std::string reply = Ask(i % 2 == 0 ? "status\n" : "status beta\n");
    ASSERT_EQ(reply.substr(0, 12), "{\"version\":\"") << i;
    EXPECT_EQ(reply.substr(reply.size() - 2), "}\n") << i;
    EXPECT_EQ(reply.find("\"name\":\"alpha\"") != std::string::npos, i % 2 == 0) << reply;
  }
  EXPECT_EQ(Ask("hello\n"), "{\"error\":\"unknown request\"}\n");
  done.store(true);
  receiver.join();
  pass.join();

  int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address;
  ASSERT_EQ(connect(silent, reinterpret_cast<struct sockaddr *>(&address), StatusSocketAddress(&address)), 0);
  StatusServerStop();
  char byte;
  EXPECT_LE(recv(silent, &byte, 1, 0), 0);  // closed without a reply (reset when it was never accepted)
  close(silent);
  EXPECT_EQ(Ask("status\n"), "");  // nobody listens any more
}

}  // namespace
