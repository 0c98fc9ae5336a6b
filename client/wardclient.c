/* SPDX-License-Identifier: MIT */
/* Client side of the daemon's control queue. No state of its own: every call
 * opens the queue by its key, so it is safe in any thread and survives a
 * daemon restart. Written in C so that C applications link it without a C++
 * runtime. */
#include "wardclient.h"

#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

/* Pause between two sends while the queue is full. */
#define SEND_RETRY_NS (5 * 1000 * 1000L)

static long long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Checks the texts for a message of type type; on success stores their
 * lengths. Lengths are measured only up to one byte past the limit, so an
 * unterminated text is refused rather than read to its end. */
static int Validate(long type, const char *name, const char *payload, size_t *nameLen,
                    size_t *payloadLen) {
  if (type < MSGID_HEALTH_CHECK || type > MSGID_REREAD_CONFIG) return WARD_ERR_BAD_TYPE;
  *nameLen = 0;
  *payloadLen = 0;
  if (type == MSGID_REREAD_CONFIG) {
    /* The daemon reads only the payload of a re-read request. */
    size_t length = payload != NULL ? strnlen(payload, WARD_PATH_MAX + 1) : 0;
    if (length == 0) return WARD_ERR_PATH_EMPTY;
    if (length > WARD_PATH_MAX) return WARD_ERR_PATH_LONG;
    *payloadLen = length;
    return WARD_OK;
  }
  size_t length = name != NULL ? strnlen(name, WARD_NAME_MAX + 1) : 0;
  if (length == 0) return WARD_ERR_NAME_EMPTY;
  if (length > WARD_NAME_MAX) return WARD_ERR_NAME_LONG;
  *nameLen = length;
  if (type == MSGID_HEALTH_CHECK) return WARD_OK; /* the daemon ignores its payload */
  length = payload != NULL ? strnlen(payload, WARD_REASON_MAX + 1) : 0;
  if (length > WARD_REASON_MAX) return WARD_ERR_REASON_LONG;
  *payloadLen = length;
  return WARD_OK;
}

int WardOpenQueue(void) {
  /* No IPC_CREAT: only the daemon creates the queue, and its presence is
   * what tells that the daemon runs. */
  int id = msgget(WARDEND_QUEUE_KEY, 0);
  if (id >= 0) return id;
  if (errno == ENOENT) return WARD_ERR_NO_DAEMON;
  if (errno == EACCES) return WARD_ERR_ACCESS;
  return WARD_ERR_SEND;
}

int WardSendTo(int queueId, long type, const char *name, const char *payload) {
  size_t nameLen;
  size_t payloadLen;
  int checked = Validate(type, name, payload, &nameLen, &payloadLen);
  if (checked != WARD_OK) return checked;

  CtrlMsg msg;
  memset(&msg, 0, sizeof msg);
  msg.type = type;
  if (nameLen > 0) memcpy(msg.name, name, nameLen);
  /* A path of exactly 104 bytes fills the payload without a terminator;
   * the daemon reads at most those 104 bytes. */
  if (payloadLen > 0) memcpy(msg.payload, payload, payloadLen);

  long long deadline = NowMs() + WARD_SEND_WAIT_MS;
  for (;;) {
    if (msgsnd(queueId, &msg, CTRLMSG_TEXT_SIZE, IPC_NOWAIT) == 0) return WARD_OK;
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN: {
        /* The queue is full: the daemon is behind or stuck. Wait a little,
         * but never hold the application up for long. */
        if (NowMs() > deadline) return WARD_ERR_QUEUE_FULL;
        struct timespec pause = {0, SEND_RETRY_NS};
        nanosleep(&pause, NULL);
        continue;
      }
      case EIDRM:
      case EINVAL:
        return WARD_ERR_NO_DAEMON; /* the queue went away with its daemon */
      case EACCES:
        return WARD_ERR_ACCESS;
      default:
        return WARD_ERR_SEND;
    }
  }
}

/* Refuses bad texts before looking for the daemon, so a caller learns about
 * its own mistakes even when no daemon runs. */
static int Send(long type, const char *name, const char *payload) {
  size_t nameLen;
  size_t payloadLen;
  int checked = Validate(type, name, payload, &nameLen, &payloadLen);
  if (checked != WARD_OK) return checked;
  int queueId = WardOpenQueue();
  if (queueId < 0) return queueId;
  return WardSendTo(queueId, type, name, payload);
}

int WardHealthCheck(const char *name) { return Send(MSGID_HEALTH_CHECK, name, NULL); }

int WardReboot(const char *name, const char *reason) { return Send(MSGID_REBOOT, name, reason); }

int WardSafeReboot(const char *name, const char *reason) {
  return Send(MSGID_REBOOT_SAFE, name, reason);
}

int WardReread(const char *path) { return Send(MSGID_REREAD_CONFIG, NULL, path); }

int WardQueueGroup(char *name, size_t size) {
  if (name == NULL || size == 0) return WARD_ERR_SEND;
  FILE *list = fopen("/proc/sysvipc/msg", "re");
  if (list == NULL) return WARD_ERR_SEND;
  /* "key msqid perms cbytes qnum lspid lrpid uid gid ...", one queue a
   * line after a heading. */
  char line[512];
  int result = WARD_ERR_NO_DAEMON;
  unsigned long gid = 0;
  while (fgets(line, sizeof line, list) != NULL) {
    long key;
    unsigned long uid;
    if (sscanf(line, "%ld %*d %*o %*u %*u %*d %*d %lu %lu", &key, &uid, &gid) == 3 && key == WARDEND_QUEUE_KEY) {
      result = WARD_OK;
      break;
    }
  }
  fclose(list);
  if (result != WARD_OK) return result;
  struct group entry;
  struct group *found = NULL;
  char buffer[4096];
  if (getgrgid_r((gid_t)gid, &entry, buffer, sizeof buffer, &found) == 0 && found != NULL) {
    snprintf(name, size, "%s", entry.gr_name);
  } else {
    snprintf(name, size, "%lu", gid);
  }
  return WARD_OK;
}

const char *WardStrError(int code) {
  switch (code) {
    case WARD_OK:
      return "success";
    case WARD_ERR_NO_DAEMON:
      return "wardend is not running (no control queue)";
    case WARD_ERR_ACCESS:
      return "permission denied on the control queue";
    case WARD_ERR_NAME_EMPTY:
      return "name is empty";
    case WARD_ERR_NAME_LONG:
      return "name is longer than 23 characters";
    case WARD_ERR_REASON_LONG:
      return "reason is longer than 103 characters";
    case WARD_ERR_PATH_EMPTY:
      return "path is empty";
    case WARD_ERR_PATH_LONG:
      return "path is longer than 104 characters";
    case WARD_ERR_QUEUE_FULL:
      return "control queue stayed full, message not sent";
    case WARD_ERR_SEND:
      return "message could not be sent";
    case WARD_ERR_BAD_TYPE:
      return "not a message type applications send";
    default:
      return "unknown error code";
  }
}
