// SPDX-License-Identifier: MIT
// System V semaphore helpers: one set of one semaphore used as a lock
// between processes. No log, no state; any thread.
#pragma once

#include <sys/types.h>

// SemCreate results.
constexpr int SEM_CREATED = 1;  // a new set, its semaphore set to 1
constexpr int SEM_OPENED = 0;   // an existing set, its value untouched
constexpr int SEM_FAILED = -1;

// Creates (value 1) or opens the one-semaphore set under key; *id receives
// the set's identifier, or -1. When the new set cannot be given its value the
// set stays and *id still names it, so the caller can remove it.
[[nodiscard]] int SemCreate(key_t key, int *id);
// 0: the set is removed; 1: failure.
int SemRemove(int id);
// Take (-1, waiting while the value is 0) or give back (+1) the semaphore,
// both undone by the system when the process ends. 0: done; 1: failure.
[[nodiscard]] int SemLock(int id);
int SemUnlock(int id);
