// SPDX-License-Identifier: MIT
// Semaphore lock between processes, made under a fresh random key (a key
// that already names someone else's set is skipped, never touched).
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "common/semaphore.h"

TEST(Semaphore, LocksAcrossProcessesAndUndoesLockOfEndedProcess) {
  std::mt19937 generator(static_cast<unsigned>(getpid()) ^ std::random_device{}());
  key_t key = 0;
  int id = -1, again = -1;
  for (int tries = 0; tries < 100 && id < 0; tries++) {
    key = static_cast<key_t>(generator() & 0x3fffffff) + 1;
    if (SemCreate(key, &id) != SEM_CREATED) id = -1;
  }
  ASSERT_GE(id, 0) << "no free key";
  EXPECT_EQ(semctl(id, 0, GETVAL), 1);
  ASSERT_EQ(SemLock(id), 0);
  EXPECT_EQ(SemCreate(key, &again), SEM_OPENED);
  EXPECT_TRUE(again == id && semctl(id, 0, GETVAL) == 0) << "opening must find the set and not reset a held lock";
  // A second process opens the set, waits on the held lock and ends holding
  // it, which the system must give back.
  const pid_t child = fork();
  if (child == 0) _exit(SemCreate(key, &again) == SEM_OPENED && SemLock(again) == 0 ? 0 : 1);
  for (int i = 0; i < 2000 && semctl(id, 0, GETNCNT) < 1; i++) usleep(5000);
  EXPECT_EQ(semctl(id, 0, GETNCNT), 1) << "child passed a held lock";
  ASSERT_EQ(SemUnlock(id), 0);
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "child did not get the lock once it was free";
  EXPECT_EQ(semctl(id, 0, GETVAL), 1) << "lock of an ended process not undone";
  ASSERT_EQ(SemRemove(id), 0);
  EXPECT_TRUE(SemRemove(id) == 1 && SemLock(id) == 1 && SemUnlock(id) == 1) << "removed set still usable";
  EXPECT_EQ(SemCreate(key, nullptr), SEM_FAILED);
}
