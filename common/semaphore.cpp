// SPDX-License-Identifier: MIT
// System V semaphore helpers: one set of one semaphore used as a lock
// between processes. No state; any thread.
#include "common/semaphore.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

// The caller must define this union for semctl(2).
union SemArg {
  int val;
  struct semid_ds *buf;
  unsigned short *array;
};

constexpr int kSemPermissions = 0666;

// One operation on semaphore 0. A signal handler running in this thread
// must not look like a failed lock to the caller, so EINTR waits again.
int SemChange(int id, short delta) {
  struct sembuf op = {};
  op.sem_num = 0;
  op.sem_op = delta;
  op.sem_flg = SEM_UNDO;
  while (semop(id, &op, 1) != 0) {
    if (errno != EINTR) return 1;
  }
  return 0;
}

}  // namespace

int SemCreate(key_t key, int *id) {
  if (id == nullptr) return SEM_FAILED;
  *id = semget(key, 1, IPC_CREAT | IPC_EXCL | kSemPermissions);
  if (*id >= 0) {
    SemArg arg = {};
    arg.val = 1;
    if (semctl(*id, 0, SETVAL, arg) != 0) return SEM_FAILED;
    return SEM_CREATED;
  }
  *id = semget(key, 1, IPC_CREAT | kSemPermissions);
  if (*id < 0) return SEM_FAILED;
  return SEM_OPENED;
}

int SemRemove(int id) { return semctl(id, 0, IPC_RMID) == 0 ? 0 : 1; }

int SemLock(int id) { return SemChange(id, -1); }

int SemUnlock(int id) { return SemChange(id, +1); }
