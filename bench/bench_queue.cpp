// SPDX-License-Identifier: MIT
// Health-check throughput and latency of the daemon's receiver against a bare
// msgsnd/msgrcv loop; run by scripts/bench-queue on the simulated board.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "common/log.h"
#include "supervise/msgrcv.h"

using Clock = std::chrono::steady_clock;

namespace {
constexpr int kEntries = 100;
std::atomic<long> gBareCount{0};

void DropLine(int, const char *) {}

CtrlMsg Message(long type, const char *name) {
  CtrlMsg msg;
  memset(&msg, 0, sizeof msg);
  msg.type = type;
  snprintf(msg.name, sizeof msg.name, "%s", name);
  return msg;
}

// The bare loop: receive and count, nothing else.
void BareReceiver(int queue) {
  CtrlMsg msg;
  for (;;) {
    if (msgrcv(queue, &msg, CTRLMSG_TEXT_SIZE, 0, 0) < 0) continue;
    if (msg.type == MSGID_STOP) return;
    gBareCount.fetch_add(1, std::memory_order_release);
  }
}

double Throughput(int queue, long count, const std::function<void()> &receive) {
  CtrlMsg check = Message(MSGID_HEALTH_CHECK, "proc99");
  CtrlMsg stop = Message(MSGID_STOP, "");
  auto start = Clock::now();
  std::thread receiver(receive);
  for (long i = 0; i < count; i++) msgsnd(queue, &check, CTRLMSG_TEXT_SIZE, 0);
  msgsnd(queue, &stop, CTRLMSG_TEXT_SIZE, 0);
  receiver.join();
  std::chrono::duration<double> took = Clock::now() - start;
  return count / took.count();
}

// One message at a time: from the send until the receiver has acted on it.
std::vector<double> Latencies(int queue, long count, const std::function<bool()> &handled,
                              const std::function<void()> &rearm) {
  CtrlMsg check = Message(MSGID_HEALTH_CHECK, "proc99");
  std::vector<double> micros;
  micros.reserve(count);
  for (long i = 0; i < count; i++) {
    rearm();
    auto start = Clock::now();
    msgsnd(queue, &check, CTRLMSG_TEXT_SIZE, 0);
    while (!handled()) {
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  return micros;
}

void PrintLatency(const char *what, const std::vector<double> &micros) {
  printf("  %-28s median %7.1f us   p99 %7.1f us   max %8.1f us\n", what, micros[micros.size() / 2],
         micros[micros.size() * 99 / 100], micros.back());
}
}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? atol(argv[1]) : 200000;
  LogHook = DropLine;
  int queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
  if (queue < 0) {
    perror("msgget");
    return 1;
  }

  static ProcEntry table[kEntries];
  ConfigDb db{};
  for (int i = 0; i < kEntries; i++) {
    snprintf(table[i].ExecPath, sizeof table[i].ExecPath, "/usr/bin/proc%02d", i);
    table[i].procName = table[i].ExecPath + 9;
  }
  db.Process = table;
  db.NumProcess = kEntries;
  // As every read of the configuration leaves it.
  BuildNameIndex(&db);
  // Each run ends with a stop message, which the receiver obeys only once
  // the daemon is stopping: the flag is raised from the start.
  static std::atomic<int> stopping{1};
  ThreadArg arg;
  arg.QueId = queue;
  arg.Stop = &stopping;
  arg.Config = &db;
  pthread_mutex_init(&arg.Mutex, nullptr);

  auto daemon = [&] { MsgRcvThread(&arg); };
  auto bare = [&] { BareReceiver(queue); };
  // Warm-up, then alternate so both see the same machine state.
  Throughput(queue, count / 10, bare);
  Throughput(queue, count / 10, daemon);
  double bareRate = 0, daemonRate = 0;
  for (int round = 0; round < 3; round++) {
    bareRate = std::max(bareRate, Throughput(queue, count, bare));
    daemonRate = std::max(daemonRate, Throughput(queue, count, daemon));
  }
  printf("Health-check throughput, %ld messages, best of 3 rounds:\n", count);
  printf("  bare msgsnd/msgrcv loop      %10.0f messages/s\n", bareRate);
  printf("  daemon receiver, %d entries %10.0f messages/s\n", kEntries, daemonRate);
  printf("  ratio daemon/bare            %10.2f\n", daemonRate / bareRate);

  long samples = std::min(count, 20000L);
  std::thread bareThread(bare);
  auto bareLatency = Latencies(
      queue, samples, [] { return gBareCount.load(std::memory_order_acquire) != 0; },
      [] { gBareCount.store(0); });
  CtrlMsg stop = Message(MSGID_STOP, "");
  msgsnd(queue, &stop, CTRLMSG_TEXT_SIZE, 0);
  bareThread.join();
  std::thread daemonThread(daemon);
  auto daemonLatency = Latencies(
      queue, samples, [&] { return table[kEntries - 1].FlgHlthChk.load() == 0; },
      [&] { table[kEntries - 1].FlgHlthChk.store(1); });
  msgsnd(queue, &stop, CTRLMSG_TEXT_SIZE, 0);
  daemonThread.join();
  printf("Send-to-handled latency, %ld single messages:\n", samples);
  PrintLatency("bare msgsnd/msgrcv loop", bareLatency);
  PrintLatency("daemon receiver", daemonLatency);

  ReleaseNameIndex(&db);
  msgctl(queue, IPC_RMID, nullptr);
  return 0;
}
