// Semaphore helpers across processes. Every set is made under a fresh random
// key and removed at the end; a key that already names someone else's set is
// skipped, never touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "common/util.h"

namespace {

int SemValue(int id) { return semctl(id, 0, GETVAL); }

class SemaphoreTest : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 generator(static_cast<unsigned>(getpid()) ^ std::random_device{}());
    for (int tries = 0; tries < 100; tries++) {
      key_t candidate = static_cast<key_t>(generator() & 0x3fffffff) + 1;
      int id = -1;
      if (SemCreate(candidate, &id) == SEM_CREATED) {
        key_ = candidate;
        id_ = id;
        return;
      }
    }
    FAIL() << "no free key";
  }
  void TearDown() override {
    if (id_ >= 0) SemRemove(id_);
  }

  // Runs body in a child process and returns its exit status (or -1).
  template <typename Body>
  static pid_t Spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
  }
  static int Reap(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  key_t key_ = 0;
  int id_ = -1;
};

TEST_F(SemaphoreTest, CreateSetsOneAndOpenLeavesValue) {
  EXPECT_EQ(SemValue(id_), 1);
  ASSERT_EQ(SemLock(id_), 0);
  EXPECT_EQ(SemValue(id_), 0);

  int again = -1;
  EXPECT_EQ(SemCreate(key_, &again), SEM_OPENED);
  EXPECT_EQ(again, id_);
  EXPECT_EQ(SemValue(id_), 0) << "opening must not reset a held lock";
  EXPECT_EQ(SemUnlock(id_), 0);
  EXPECT_EQ(SemValue(id_), 1);
}

TEST_F(SemaphoreTest, RemovedSetRefusesEverything) {
  ASSERT_EQ(SemRemove(id_), 0);
  EXPECT_EQ(SemRemove(id_), 1);
  EXPECT_EQ(SemLock(id_), 1);
  EXPECT_EQ(SemUnlock(id_), 1);
  id_ = -1;
  EXPECT_EQ(SemCreate(key_, nullptr), SEM_FAILED);
}

TEST_F(SemaphoreTest, LockWaitsUntilOtherProcessUnlocks) {
  ASSERT_EQ(SemLock(id_), 0);
  int done[2];
  ASSERT_EQ(pipe(done), 0);
  key_t key = key_;
  pid_t child = Spawn([&] {
    close(done[0]);
    int id = -1;
    if (SemCreate(key, &id) != SEM_OPENED) return 2;
    if (SemLock(id) != 0) return 3;
    char byte = 'L';
    if (write(done[1], &byte, 1) != 1) return 4;
    return SemUnlock(id) == 0 ? 0 : 5;
  });
  ASSERT_GT(child, 0);
  close(done[1]);

  // Wait until the child is queued on the semaphore, then prove it has not
  // got through.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (semctl(id_, 0, GETNCNT) < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(semctl(id_, 0, GETNCNT), 1);
  int flags = fcntl(done[0], F_GETFL);
  fcntl(done[0], F_SETFL, flags | O_NONBLOCK);
  char byte = 0;
  EXPECT_EQ(read(done[0], &byte, 1), -1) << "child passed a held lock";
  fcntl(done[0], F_SETFL, flags);

  ASSERT_EQ(SemUnlock(id_), 0);
  EXPECT_EQ(read(done[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'L');
  EXPECT_EQ(Reap(child), 0);
  close(done[0]);
  EXPECT_EQ(SemValue(id_), 1);
}

TEST_F(SemaphoreTest, SystemUndoesLockOfProcessThatEnds) {
  int id = id_;
  pid_t child = Spawn([&] { return SemLock(id) == 0 && SemValue(id) == 0 ? 0 : 1; });
  ASSERT_GT(child, 0);
  EXPECT_EQ(Reap(child), 0);
  EXPECT_EQ(SemValue(id_), 1);
  EXPECT_EQ(SemLock(id_), 0);
  EXPECT_EQ(SemUnlock(id_), 0);
}

}  // namespace
