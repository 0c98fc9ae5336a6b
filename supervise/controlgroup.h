// SPDX-License-Identifier: MIT
// Who may steer the daemon: the group of the control queue and the check of
// a status client's credentials against it.
//
// Threads: set by main and the receiver, ControlGid loaded by the status server; see docs/design.md.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "readconfig/config.h"

// The group the queue was last given, CONTROL_GID_OPEN while the queue and
// the status socket are open to every local user.
constexpr int32_t CONTROL_GID_OPEN = -1;
extern std::atomic<int32_t> ControlGid;

// Queue modes: open to every local user, or to root and the group only
// (members may send; only the owner receives).
constexpr unsigned CONTROL_QUEUE_OPEN_MODE = 0666;
constexpr unsigned CONTROL_QUEUE_GROUP_MODE = 0620;

// Gives the queue the group and mode that db asks for (after a read that
// succeeded): ControlGroup sets the group and 0620, no key the creator's
// group and 0666, a refused key nothing. Nothing is asked of the queue when
// its group stays as it is (without the key, it is never touched). 0 when done; -1 when the queue could not be changed
// (logged), and ControlGid then keeps the group the queue still has.
int ApplyControlGroup(int queId, const ConfigDb *db);

// Whether a client with these credentials may use the status socket with
// ControlGid set to group: root always, everybody while it is
// CONTROL_GID_OPEN, else members (primary or supplementary group).
bool ControlPeerAllowed(int32_t group, uid_t uid, gid_t gid, const gid_t *groups, size_t count);
// The same for the peer of a connected Unix socket (SO_PEERCRED,
// SO_PEERGROUPS); a peer whose credentials cannot be read is refused.
bool ControlSocketPeerAllowed(int fd, int32_t group);

// The group's name, or its number when it has none, into text.
void ControlGroupName(int32_t group, char *text, size_t size);
