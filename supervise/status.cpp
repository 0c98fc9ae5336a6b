// SPDX-License-Identifier: MIT
// The status server thread and its socket. The thread is started and stopped
// by the main loop; it serves one client at a time and waits for nothing
// without a time limit, except for a new client or the word to quit.
#include "supervise/status.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/ctrlmsg.h"
#include "common/errtext.h"
#include "common/fd.h"
#include "common/log.h"
#include "common/quitpipe.h"
#include "common/statusaddress.h"
#include "supervise/controlgroup.h"
#include "supervise/statusinfo.h"
#include "supervise/statusreply.h"
#include "supervise/watchdog.h"

namespace {

constexpr const char *kUnit = "supervise";

// Clients that may wait for their turn; more are refused by the kernel.
constexpr int kBacklog = 8;
// How often a busy table is tried again. The timed lock of the thread
// library measures its deadline on the wall clock, which a board that sets
// its time after boot moves by years; this wait is measured on the
// monotonic clock instead.
constexpr int kLockRetryMs = 2;
// Pause after a failed accept or poll that would fail the same way at once
// (no descriptor left, for one), so the thread never spins.
constexpr int kErrorPauseMs = 1000;
// Bytes taken from the socket at a time.
constexpr size_t kReadChunk = 128;
// Pause between two tries to take the socket's name back from another
// process that holds it.
constexpr int kRebindPauseMs = 3000;

enum ClientEnd : int {
  CLIENT_DONE = 0,
  CLIENT_QUIT = 1
};

// The server's state; touched only by the thread that starts and stops it,
// and (the descriptors) by the server thread while it runs.
UniqueFd Listener;
QuitPipe ServerQuit;

int Left(int64_t deadline) {
  int64_t left = deadline - MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits up to the deadline for events on fd or the quit pipe. Returns -1
// when told to quit, 0 on time-out, 1 when fd has events.
int WaitFor(int fd, short events, int quitFd, int64_t deadline) {
  for (;;) {
    struct pollfd fds[2] = {{fd, events, 0}, {quitFd, POLLIN, 0}};
    int n = poll(fds, 2, Left(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (fds[1].revents != 0) return -1;
    return n > 0 ? 1 : 0;
  }
}

// Collects the request until its line end, the end of the client's sending,
// the size cap or the time limit. Returns CLIENT_QUIT when told to quit.
// *readable is false when the connection failed.
int ReadRequest(int fd, int quitFd, StatusRequest *request, int *state, bool *readable) {
  const int64_t deadline = MonotonicMs() + STATUS_REQUEST_WAIT_MS;
  *state = STATUS_READ_MORE;
  *readable = true;
  while (*state == STATUS_READ_MORE) {
    int ready = WaitFor(fd, POLLIN, quitFd, deadline);
    if (ready < 0) return CLIENT_QUIT;
    if (ready == 0) break;  // out of time: whatever came is the request
    char chunk[kReadChunk];
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) break;  // the client has sent all it will
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      *readable = false;
      break;
    }
    *state = StatusRequestAdd(request, chunk, static_cast<size_t>(n));
  }
  return CLIENT_DONE;
}

// Sends the reply within its time limit. Returns CLIENT_QUIT when told to
// quit; a client that does not take the reply in time is left.
int SendReply(int fd, int quitFd, const StatusText &reply) {
  const int64_t deadline = MonotonicMs() + STATUS_REPLY_WAIT_MS;
  const char *data = reply.Data();
  size_t left = reply.Length();
  while (left > 0) {
    // MSG_NOSIGNAL: a client that went away must not raise SIGPIPE (the
    // daemon ignores it, but the server does not rely on that).
    ssize_t n = send(fd, data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return CLIENT_DONE;
    int ready = WaitFor(fd, POLLOUT, quitFd, deadline);
    if (ready < 0) return CLIENT_QUIT;
    if (ready == 0) return CLIENT_DONE;
  }
  return CLIENT_DONE;
}

// The driver's boot status for the replies, asked by the first status request
// that needs it rather than at start-up, so that without a status client the
// device sees only the requests supervision makes. It goes through the
// watchdog's lock like a keep-alive, and once a termination has closed the
// device nobody asks it any more.
void AskWdtBootStatus() {
  if (gStatusInfo.WdtBootAsked != 0) return;
  int flags = 0;
  const bool answered = WdtBootStatus(&flags) == 0;
  StatusNoteWdtBootStatus(answered, flags);
}

int ServeClient(int fd, ThreadArg *arg, int quitFd) {
  // Judged at once, from the credentials the client had when it connected;
  // the request is still read, so that the refusal is not lost to a reset.
  const int32_t group = ControlGid.load();
  const bool allowed = ControlSocketPeerAllowed(fd, group);
  StatusRequest request{};
  int state;
  bool readable;
  if (ReadRequest(fd, quitFd, &request, &state, &readable) == CLIENT_QUIT) return CLIENT_QUIT;
  if (!readable) return CLIENT_DONE;

  StatusText reply;
  if (!allowed) {
    char name[64];
    char text[128];
    ControlGroupName(group, name, sizeof name);
    int n = snprintf(text, sizeof text, "permission denied: ask to be added to group %s", name);
    (void)n;
    BuildStatusError(text, &reply);
  } else if (state == STATUS_READ_TOO_LONG) {
    BuildStatusError("request too long", &reply);
  } else {
    const char *name = nullptr;
    size_t nameLength = 0;
    int parsed = StatusRequestParse(&request, &name, &nameLength);
    if (parsed == STATUS_REQ_BAD) {
      BuildStatusError("unknown request", &reply);
    } else {
      AskWdtBootStatus();
      bool locked = LockTableWithin(arg, STATUS_LOCK_WAIT_MS, quitFd);
      BuildStatusReply(arg, locked, parsed, name, nameLength, MonotonicMs(), &reply);
      UnlockTable(arg, locked, kUnit, "StatusThread", __LINE__);
    }
  }
  return SendReply(fd, quitFd, reply);
}

int OpenListener(UniqueFd *listener);

void *StatusThread(void *param) {
  ThreadArg *arg = static_cast<ThreadArg *>(param);
  const int quitFd = ServerQuit.ReadEnd();
  bool failing = false;  // a failure is reported once until the next client is served
  for (;;) {
    if (!Listener.valid()) {
      // Another process held the name at start-up: try again now and then,
      // so that status comes back once it has gone.
      if (QuitWithin(quitFd, kRebindPauseMs)) break;
      if (OpenListener(&Listener) == 0) LOG_AT(kUnit, LOG_NOTICE, "Status socket bound");
      continue;
    }
    struct pollfd fds[2] = {{Listener.get(), POLLIN, 0}, {quitFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (!failing) {
        char text[128];
        LOG_AT(kUnit, LOG_ERR, "Status thread poll fail! : %s", ErrText(error, text, sizeof text));
        failing = true;
      }
      if (QuitWithin(quitFd, kErrorPauseMs)) break;
      continue;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents == 0) continue;
    UniqueFd client(accept4(Listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client.valid()) {
      int error = errno;
      // A client that gave up before its turn, or a wake-up with nobody left.
      if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED) continue;
      if (!failing) {
        char text[128];
        LOG_AT(kUnit, LOG_ERR, "Status thread accept fail! : %s", ErrText(error, text, sizeof text));
        failing = true;
      }
      if (QuitWithin(quitFd, kErrorPauseMs)) break;
      continue;
    }
    failing = false;
    if (ServeClient(client.get(), arg, quitFd) == CLIENT_QUIT) break;
  }
  return nullptr;
}

// The listening socket, close-on-exec and non-blocking (a client that gave
// up between poll and accept must not block the thread).
int OpenListener(UniqueFd *listener) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return -1;
  struct sockaddr_un address;
  socklen_t length = StatusSocketAddress(&address);
  if (bind(fd.get(), reinterpret_cast<struct sockaddr *>(&address), length) != 0) return -1;
  if (listen(fd.get(), kBacklog) != 0) return -1;
  *listener = std::move(fd);
  return 0;
}

// Logs who holds the name: a listener's credentials are those it had when
// it began to listen, and a client learns them on connecting. Non-blocking:
// a holder that never accepts, its backlog full, must not hold up start-up.
void LogNameHolder() {
  UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  struct sockaddr_un address;
  socklen_t length = StatusSocketAddress(&address);
  struct ucred holder;
  socklen_t size = sizeof holder;
  if (probe.valid() && connect(probe.get(), reinterpret_cast<struct sockaddr *>(&address), length) == 0 &&
      getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 && size == sizeof holder) {
    LOG_AT(kUnit, LOG_ERR, "Status socket name is held by pid %d (uid %u), retrying", static_cast<int>(holder.pid),
           static_cast<unsigned>(holder.uid));
  } else {
    LOG_AT(kUnit, LOG_ERR, "Status socket name is held by another process, retrying");
  }
}

}  // namespace

bool LockTableWithin(ThreadArg *arg, int waitMs, int quitFd) {
  const int64_t deadline = MonotonicMs() + waitMs;
  for (;;) {
    int err = pthread_mutex_trylock(&arg->Mutex);
    if (err == 0) return true;
    // Any other failure would not go away by waiting; the reply then says
    // the table is busy.
    if (err != EBUSY) return false;
    int left = Left(deadline);
    if (left <= 0) return false;
    if (QuitWithin(quitFd, left < kLockRetryMs ? left : kLockRetryMs)) return false;
  }
}

int StatusServerStart(ThreadArg *arg) {
  if (ServerQuit.Running()) return 0;
  char text[128];
  // A name held by another process is taken over later by the thread.
  const bool held = OpenListener(&Listener) != 0 && errno == EADDRINUSE;
  if (held) LogNameHolder();
  // A small stack of its own when the memory is locked, like every thread of the loop.
  const int error = !held && !Listener.valid() ? -1 : ServerQuit.Start(LoopThreadCreate, StatusThread, arg);
  if (error < 0) {
    LOG_AT(kUnit, LOG_ERR, "Status socket fail! : %s", ErrText(errno, text, sizeof text));
  } else if (error > 0) {
    LOG_AT(kUnit, LOG_ERR, "Status thread create fail! : %s", ErrText(error, text, sizeof text));
  }
  if (error != 0) {
    Listener.reset();
    return -1;
  }
  StatusWatchTable(arg->Config);
  return 0;
}

void StatusServerStop() {
  if (!ServerQuit.Running()) return;
  const int error = ServerQuit.Stop();
  if (error != 0) {
    char text[128];
    LOG_AT(kUnit, LOG_ERR, "Status thread join fail! : %s", ErrText(error, text, sizeof text));
  }
  Listener.reset();
}
