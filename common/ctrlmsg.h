/* SPDX-License-Identifier: MIT */
/* The control message of the daemon's System V message queue.
 * C-compatible: applications include it through the client header. */
#ifndef WARDEND_CTRLMSG_H
#define WARDEND_CTRLMSG_H

#include <stddef.h>

/* Key of the daemon's queue; every application uses the same. */
#define WARDEND_QUEUE_KEY 99990001

/* The daemon's status socket: a Unix stream socket in the abstract
 * namespace (the name is preceded by a NUL byte and has no terminator), so
 * nothing appears on disk. Any local user may connect. */
#define WARDEND_STATUS_NAME "wardend.status"

/* The most bytes a status reply has: the daemon answers a table that would
 * need more with a short error, and a client takes no more than this. */
#define WARDEND_STATUS_REPLY_MAX (8u << 20)

/* Message types. */
#define MSGID_HEALTH_CHECK 1
#define MSGID_REBOOT 2
#define MSGID_REBOOT_SAFE 3
#define MSGID_REREAD_CONFIG 4
#define MSGID_STOP 5

#define CTRLMSG_NAME_SIZE 24     /* sender or process name, NUL-terminated */
#define CTRLMSG_PAYLOAD_SIZE 104 /* reason or configuration path, NUL-terminated */
#define CTRLMSG_TEXT_SIZE 128    /* the size given to msgsnd and msgrcv */

/* The text part is exactly 128 bytes on every target: the two fields are
 * character arrays, so no padding falls between or after them. */
typedef struct CtrlMsg {
  long type;
  char name[CTRLMSG_NAME_SIZE];
  char payload[CTRLMSG_PAYLOAD_SIZE];
} CtrlMsg;

#ifdef __cplusplus
static_assert(sizeof(CtrlMsg) == sizeof(long) + CTRLMSG_TEXT_SIZE, "CtrlMsg text must be 128 bytes");
static_assert(offsetof(CtrlMsg, payload) == offsetof(CtrlMsg, name) + CTRLMSG_NAME_SIZE,
              "payload must follow the name");
#else
_Static_assert(sizeof(CtrlMsg) == sizeof(long) + CTRLMSG_TEXT_SIZE, "CtrlMsg text must be 128 bytes");
#endif

#endif
