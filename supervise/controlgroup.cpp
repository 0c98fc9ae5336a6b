// SPDX-License-Identifier: MIT
// The control queue's group and the status clients' credentials.
#include "supervise/controlgroup.h"

#include <grp.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "common/errtext.h"
#include "common/log.h"

std::atomic<int32_t> ControlGid{CONTROL_GID_OPEN};

namespace {
constexpr const char *kUnit = "supervise";
// Supplementary groups read at first try; a peer with more is asked again
// with room for all of them.
constexpr size_t kPeerGroups = 64;
}  // namespace

int ApplyControlGroup(int queId, const ConfigDb *db) {
  if (db == nullptr || db->ControlGroup == CONTROL_GROUP_KEEP) return 0;
  const bool open = db->ControlGroup != CONTROL_GROUP_SET;
  const int32_t wanted = open ? CONTROL_GID_OPEN : db->ControlGid;
  if (wanted == ControlGid.load()) return 0;
  struct msqid_ds state;
  char text[128];
  if (msgctl(queId, IPC_STAT, &state) != 0) {
    LOG_AT(kUnit, LOG_ERR, "Control queue permission change fail! : %s", ErrText(errno, text, sizeof text));
    return -1;
  }
  const gid_t gid = open ? state.msg_perm.cgid : static_cast<gid_t>(wanted);
  const unsigned mode = open ? CONTROL_QUEUE_OPEN_MODE : CONTROL_QUEUE_GROUP_MODE;
  if (state.msg_perm.gid != gid || (state.msg_perm.mode & 0777) != mode) {
    state.msg_perm.gid = gid;
    state.msg_perm.mode = static_cast<decltype(state.msg_perm.mode)>(mode);
    if (msgctl(queId, IPC_SET, &state) != 0) {
      LOG_AT(kUnit, LOG_ERR, "Control queue permission change fail! : %s", ErrText(errno, text, sizeof text));
      return -1;
    }
  }
  ControlGid.store(wanted);
  return 0;
}

bool ControlPeerAllowed(int32_t group, uid_t uid, gid_t gid, const gid_t *groups, size_t count) {
  if (group == CONTROL_GID_OPEN || uid == 0) return true;
  if (group < 0) return false;
  const gid_t wanted = static_cast<gid_t>(group);
  if (gid == wanted) return true;
  for (size_t i = 0; i < count; i++) {
    if (groups[i] == wanted) return true;
  }
  return false;
}

bool ControlSocketPeerAllowed(int fd, int32_t group) {
  if (group == CONTROL_GID_OPEN) return true;
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer) return false;
  std::vector<gid_t> groups(kPeerGroups);
  length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  int result = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length);
  if (result != 0 && errno == ERANGE) {
    // length now says how much room the groups need.
    groups.resize(length / sizeof(gid_t) + 1);
    length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    result = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length);
  }
  // Without the list only root and the primary group can be told.
  const size_t count = result == 0 ? length / sizeof(gid_t) : 0;
  return ControlPeerAllowed(group, peer.uid, peer.gid, groups.data(), count);
}

void ControlGroupName(int32_t group, char *text, size_t size) {
  struct group entry;
  struct group *found = nullptr;
  char buffer[4096];
  int n;
  if (group >= 0 && getgrgid_r(static_cast<gid_t>(group), &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr) {
    n = snprintf(text, size, "%s", entry.gr_name);
  } else {
    n = snprintf(text, size, "%d", static_cast<int>(group));
  }
  (void)n;  // cut on purpose: the name is only shown
}
