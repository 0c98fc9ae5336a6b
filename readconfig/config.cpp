// SPDX-License-Identifier: MIT
// The configuration database: its one instance, the counters of a read in
// progress, the reset that sizes the process table, and the spreading of the
// alive checks over time.
//
// Threads: called by the start-up read on the main thread, by re-reads on the
// receiver thread under ThreadArg.Mutex, and (with a null path) by the main
// thread once the other threads are joined.
#include "readconfig/config.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/log.h"

namespace {

constexpr const char *UNIT = "readconfig";

constexpr char PROCESS_KEY[] = "Process";
constexpr size_t PROCESS_KEY_LENGTH = sizeof PROCESS_KEY - 1;

constexpr int32_t DEFAULT_ALIVE_WATCH = 15;
constexpr int32_t DEFAULT_POWER_WATCH = 1;
constexpr int32_t DEFAULT_WDT_REFRESH = 30;
constexpr int32_t DEFAULT_TERM_TIMEOUT = 5;

}  // namespace

ConfigDb gConfigDb;
int32_t CntLine;
int32_t CntProcess;
int32_t PendingWdtRefresh;
int32_t PendingStallTimeout;

namespace {

// FNV-1a over the name's bytes.
uint32_t NameHash(const char *name, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; i++) {
    hash ^= static_cast<unsigned char>(name[i]);
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace

bool ProcNameIs(const ProcEntry &entry, const char *name, size_t length) {
  return entry.procName != nullptr && strlen(entry.procName) == length && memcmp(entry.procName, name, length) == 0;
}

int32_t CountProcessLines(const ConfigText &text) {
  int32_t count = 0;
  const char *end = text.Data + text.Length;
  for (const char *line = text.Data; line < end;) {
    const size_t left = static_cast<size_t>(end - line);
    if (left >= PROCESS_KEY_LENGTH && memcmp(line, PROCESS_KEY, PROCESS_KEY_LENGTH) == 0 && count < INT32_MAX) {
      count++;
    }
    // memchr, not strchr: a NUL inside a line must not end the search.
    const char *newline = static_cast<const char *>(memchr(line, '\n', left));
    if (newline == nullptr) break;
    line = newline + 1;
  }
  return count;
}

void CleanConfig(const ConfigText *text, ConfigDb *db) {
  if (db == nullptr) return;

  ReleaseNameIndex(db);
  delete[] db->Process;
  db->Process = nullptr;
  db->NumProcess = 0;

  db->AliveWatch = DEFAULT_ALIVE_WATCH;
  db->PowerWatch = DEFAULT_POWER_WATCH;
  PendingWdtRefresh = DEFAULT_WDT_REFRESH;
  db->TermTimeout = DEFAULT_TERM_TIMEOUT;
  PendingStallTimeout = 0;
  db->RebootRecord[0] = '\0';
  db->LoopLimitCount = 0;
  db->LoopLimitWindow = 0;
  db->WdtPriority = 0;
  db->AliveCheck = ALIVE_CHECK_PS;
  db->ControlGroup = CONTROL_GROUP_NONE;
  db->ControlGid = 0;
  // MyPidPath stays: it is the pid file the daemon wrote, and it must be
  // removable at exit even when a later file has no "Wardend" line.

  CntLine = 0;
  CntProcess = 0;
  db->NumRefused = 0;

  if (text == nullptr) {
    db->WdtRefresh.store(DEFAULT_WDT_REFRESH);
    db->StallTimeout.store(0);
    return;
  }

  // The table needs room for every line that may turn out to be a "Process"
  // line, so the lines are counted before they are read.
  db->NumProcess = CountProcessLines(*text);

  // The empty parentheses value-initialise the entries, so every counter,
  // text and pointer of a fresh entry starts at zero.
  const int32_t capacity = db->NumProcess > 0 ? db->NumProcess : 1;
  db->Process = new (std::nothrow) ProcEntry[static_cast<size_t>(capacity)]();
  if (db->Process == nullptr) {
    // With no table there is no capacity: every "Process" line of this read
    // is then refused as if the table were full, and nobody walks a table
    // that does not exist.
    LOG_AT(UNIT, LOG_ERR, "Cannot allocate the process table [%d entries]", capacity);
    db->NumProcess = 0;
  }
}

void StaggerAliveTimers(ConfigDb *db) {
  if (db == nullptr || db->Process == nullptr) return;
  int32_t running = db->AliveWatch;
  for (int32_t i = 0; i < db->NumProcess; i++) {
    if (running == 0) running = db->AliveWatch;
    db->Process[i].TmrAlive = running;
    // A negative period counts down without a reset; it stops at the
    // smallest value rather than wrapping round to a positive timer.
    if (running > INT32_MIN) running--;
  }
}

void ReleaseNameIndex(ConfigDb *db) {
  if (db == nullptr) return;
  delete[] db->NameIndex;
  db->NameIndex = nullptr;
  db->NameSlots = 0;
}

void BuildNameIndex(ConfigDb *db) {
  if (db == nullptr) return;
  ReleaseNameIndex(db);
  if (db->Process == nullptr || db->NumProcess <= 0) return;
  // At most half full, so a probe ends soon at an empty slot.
  int32_t slots = 8;
  while (slots < INT32_MAX / 4 && slots < 2 * db->NumProcess) slots *= 2;
  NameSlot *index = new (std::nothrow) NameSlot[static_cast<size_t>(slots)]();
  if (index == nullptr) return;
  const uint32_t mask = static_cast<uint32_t>(slots) - 1;
  for (int32_t i = 0; i < db->NumProcess; i++) {
    const ProcEntry &entry = db->Process[i];
    if (entry.procName == nullptr) continue;
    const size_t length = strlen(entry.procName);
    const uint32_t hash = NameHash(entry.procName, length);
    uint32_t slot = hash & mask;
    bool taken = false;
    for (; index[slot].Entry != 0; slot = (slot + 1) & mask) {
      // A later entry of the same name is never found, as in the walk.
      if (index[slot].Hash == hash && ProcNameIs(db->Process[index[slot].Entry - 1], entry.procName, length)) {
        taken = true;
        break;
      }
    }
    if (!taken) index[slot] = NameSlot{i + 1, hash};
  }
  db->NameIndex = index;
  db->NameSlots = slots;
}

int32_t FindProcessByName(const ConfigDb *db, const char *name, size_t length) {
  if (db == nullptr || db->Process == nullptr || name == nullptr) return -1;
  if (db->NameIndex == nullptr) {
    for (int32_t i = 0; i < db->NumProcess; i++) {
      if (ProcNameIs(db->Process[i], name, length)) return i;
    }
    return -1;
  }
  const uint32_t mask = static_cast<uint32_t>(db->NameSlots) - 1;
  const uint32_t hash = NameHash(name, length);
  for (uint32_t slot = hash & mask; db->NameIndex[slot].Entry != 0; slot = (slot + 1) & mask) {
    const NameSlot &found = db->NameIndex[slot];
    if (found.Hash == hash && found.Entry <= db->NumProcess && ProcNameIs(db->Process[found.Entry - 1], name, length)) {
      return found.Entry - 1;
    }
  }
  return -1;
}
