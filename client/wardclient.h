/* SPDX-License-Identifier: MIT */
/* Client library for applications that talk to wardend through its control
 * queue: health checks, reboot and safe-mode reboot requests, re-reads.
 *
 * C and C++ compatible. Every call opens the daemon's queue afresh (a daemon
 * that restarted has a new queue), sends one message and returns at once or
 * after a bounded wait while the queue is full; none of them ever blocks
 * an application for longer than WARD_SEND_WAIT_MS. Safe to call from any
 * thread; not async-signal-safe (it may sleep and keeps no state, but the
 * waiting uses the clock). Texts are checked before the queue is looked for,
 * so a name that is too long is reported as such even without a daemon. */
#ifndef WARDEND_WARDCLIENT_H
#define WARDEND_WARDCLIENT_H

#include "common/ctrlmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: 0 for success, negative for failure. */
#define WARD_OK 0
#define WARD_ERR_NO_DAEMON (-1)   /* no queue: the daemon is not running */
#define WARD_ERR_ACCESS (-2)      /* the queue exists but may not be used */
#define WARD_ERR_NAME_EMPTY (-3)  /* no name given */
#define WARD_ERR_NAME_LONG (-4)   /* name longer than WARD_NAME_MAX */
#define WARD_ERR_REASON_LONG (-5) /* reason longer than WARD_REASON_MAX */
#define WARD_ERR_PATH_EMPTY (-6)  /* no path given */
#define WARD_ERR_PATH_LONG (-7)   /* path longer than WARD_PATH_MAX */
#define WARD_ERR_QUEUE_FULL (-8)  /* the queue stayed full for WARD_SEND_WAIT_MS */
#define WARD_ERR_SEND (-9)        /* the send failed for another reason (see errno) */
#define WARD_ERR_BAD_TYPE (-10)   /* WardSendTo: not a type applications send (1 to 4) */

/* Longest texts, terminator not counted. A path may fill the whole payload. */
#define WARD_NAME_MAX (CTRLMSG_NAME_SIZE - 1)      /* 23 */
#define WARD_REASON_MAX (CTRLMSG_PAYLOAD_SIZE - 1) /* 103 */
#define WARD_PATH_MAX CTRLMSG_PAYLOAD_SIZE         /* 104 */

/* How long a send waits at most while the daemon's queue is full. */
#define WARD_SEND_WAIT_MS 1000

/* Tells the daemon that the process named name (its procName: the base name
 * of the program as configured) is alive. Send it at least once in every
 * health-check period. */
int WardHealthCheck(const char *name);

/* Asks for an orderly reboot, or a reboot into safe mode; name is the asking
 * application, reason (may be empty or NULL) goes into the system log. The
 * daemon stops the managed processes and reboots: these calls return as
 * soon as the request is queued. */
int WardReboot(const char *name, const char *reason);
int WardSafeReboot(const char *name, const char *reason);

/* Asks the daemon to read the configuration file at path (an absolute path:
 * the daemon runs in "/"). */
int WardReread(const char *path);

/* The id of the daemon's queue, or WARD_ERR_NO_DAEMON / WARD_ERR_ACCESS. */
int WardOpenQueue(void);

/* Sends one message of type MSGID_HEALTH_CHECK .. MSGID_REREAD_CONFIG to the
 * queue queueId: the checks and the bounded send behind the calls above.
 * name and payload may be NULL for empty fields. A name is required for the
 * first three types, a path for the re-read. */
int WardSendTo(int queueId, long type, const char *name, const char *payload);

/* The group of the daemon's queue, which a caller refused with
 * WARD_ERR_ACCESS must belong to (the daemon's ControlGroup), into name:
 * its name, or its number when the group has none. Read from
 * /proc/sysvipc/msg, which every user may read. WARD_OK, or
 * WARD_ERR_NO_DAEMON when no queue is listed, or WARD_ERR_SEND when the list
 * cannot be read. */
int WardQueueGroup(char *name, size_t size);

/* A short English text for a result code (never NULL). */
const char *WardStrError(int code);

#ifdef __cplusplus
}
#endif

#endif
