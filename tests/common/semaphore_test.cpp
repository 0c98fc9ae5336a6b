// SPDX-License-Identifier: MIT
// Semaphore lock between processes. The set is made under a fresh random key
// and removed at the end; a key that already names someone else's set is
// skipped, never touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "common/semaphore.h"

static int SemValue(int id) { return semctl(id, 0, GETVAL); }

TEST(Semaphore, LocksAcrossProcessesAndUndoesLockOfEndedProcess) {
  std::mt19937 generator(static_cast<unsigned>(getpid()) ^ std::random_device{}());
  key_t key = 0;
  int id = -1;
  for (int tries = 0; tries < 100 && id < 0; tries++) {
    key = static_cast<key_t>(generator() & 0x3fffffff) + 1;
    if (SemCreate(key, &id) != SEM_CREATED) id = -1;
  }
  ASSERT_GE(id, 0) << "no free key";
  EXPECT_EQ(SemValue(id), 1);
  ASSERT_EQ(SemLock(id), 0);
  int again = -1;
  EXPECT_EQ(SemCreate(key, &again), SEM_OPENED);
  EXPECT_TRUE(again == id && SemValue(id) == 0) << "opening must find the set and not reset a held lock";

  // A second process opens the set and waits on the held lock; it ends
  // holding the lock, which the system must give back.
  int passed[2];
  ASSERT_EQ(pipe2(passed, O_NONBLOCK), 0);
  const pid_t child = fork();
  if (child == 0) {
    int other = -1;
    _exit(SemCreate(key, &other) == SEM_OPENED && SemLock(other) == 0 && write(passed[1], "L", 1) == 1 ? 0 : 1);
  }
  for (int i = 0; i < 2000 && semctl(id, 0, GETNCNT) < 1; i++) usleep(5000);
  EXPECT_EQ(semctl(id, 0, GETNCNT), 1);
  char byte = 0;
  EXPECT_EQ(read(passed[0], &byte, 1), -1) << "child passed a held lock";
  ASSERT_EQ(SemUnlock(id), 0);
  EXPECT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(read(passed[0], &byte, 1), 1) << "child did not get the lock once it was free";
  EXPECT_EQ(SemValue(id), 1) << "lock of an ended process not undone";
  for (int end : passed) close(end);

  ASSERT_EQ(SemRemove(id), 0);
  EXPECT_TRUE(SemRemove(id) == 1 && SemLock(id) == 1 && SemUnlock(id) == 1) << "removed set still usable";
  EXPECT_EQ(SemCreate(key, nullptr), SEM_FAILED);
}
