// SPDX-License-Identifier: MIT
// wardctl status: the query over the daemon's status socket, and the check
// that whatever answers on the socket's name is the daemon.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ctrlmsg.h"
#include "common/statusaddress.h"
#include "wardstatus.h"

namespace {

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Waits for events on fd until the deadline: 1 ready, 0 out of time.
int WaitFor(int fd, short events, long long deadline) {
  for (;;) {
    long long left = deadline - NowMs();
    if (left <= 0) return 0;
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? 1 : 0;
  }
}

}  // namespace

std::string JudgeStatusPeer(long peerPid, unsigned long peerUid, bool pidFileRead, const std::string &pidFileText) {
  bool daemon = peerUid == 0;
  if (daemon && pidFileRead) {
    // A pid file that holds no pid says nothing either way; only root can
    // write the daemon's, so a pid in it is the daemon's.
    char *end = nullptr;
    errno = 0;
    const long pid = strtol(pidFileText.c_str(), &end, 10);
    const bool valid = end != pidFileText.c_str() && errno == 0 && pid > 0 && (*end == '\0' || strcmp(end, "\n") == 0);
    if (valid && pid != peerPid) daemon = false;
  }
  if (daemon) return "";
  return "status socket is held by pid " + std::to_string(peerPid) + " (uid " + std::to_string(peerUid) +
         "), not by the daemon";
}

namespace {

// Asks the socket who holds the name and judges it (JudgeStatusPeer).
std::string CheckStatusPeer(int fd, const char *pidFile) {
  struct ucred peer;
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return std::string("cannot tell who holds the status socket: ") + strerror(errno);
  }
  std::string text;
  bool read = false;
  if (pidFile != nullptr) {
    FILE *file = fopen(pidFile, "re");
    if (file != nullptr) {
      char buffer[64];
      const size_t count = fread(buffer, 1, sizeof buffer - 1, file);
      read = !ferror(file);
      fclose(file);
      text.assign(buffer, count);
    }
  }
  return JudgeStatusPeer(static_cast<long>(peer.pid), static_cast<unsigned long>(peer.uid), read, text);
}

}  // namespace

int QueryStatus(const std::string &request, int timeoutMs, const char *pidFile, std::string *reply,
                std::string *error) {
  const long long deadline = NowMs() + timeoutMs;
  Fd sock{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
  if (sock.fd < 0) {
    *error = std::string("cannot make a socket: ") + strerror(errno);
    return STATUS_NO_ANSWER;
  }
  struct sockaddr_un address;
  const socklen_t length = StatusSocketAddress(&address);
  // A full queue of waiting clients answers EAGAIN: try again until the
  // deadline.
  while (connect(sock.fd, reinterpret_cast<struct sockaddr *>(&address), length) != 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN || NowMs() >= deadline) {
      *error = errno == ECONNREFUSED ? std::string("no daemon answers on @" WARDEND_STATUS_NAME " (is wardend running?)")
                                     : std::string("cannot reach the daemon: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    }
    usleep(10000);
  }
  // Nothing goes to, and nothing is taken from, a process that only took
  // the daemon's name.
  *error = CheckStatusPeer(sock.fd, pidFile);
  if (!error->empty()) return STATUS_IMPOSTOR;
  std::string line = request + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = send(sock.fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *error = std::string("cannot send the request: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    } else if (WaitFor(sock.fd, POLLOUT, deadline) == 0) {
      *error = "the daemon did not take the request in time";
      return STATUS_NO_ANSWER;
    }
  }
  shutdown(sock.fd, SHUT_WR);
  reply->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(sock.fd, buffer, sizeof buffer, 0);
    if (n == 0) return STATUS_ANSWERED;
    if (n > 0) {
      if (reply->size() + static_cast<size_t>(n) > STATUS_REPLY_LIMIT) {
        *error = "the reply is too large";
        return STATUS_NO_ANSWER;
      }
      reply->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      *error = std::string("cannot read the reply: ") + strerror(errno);
      return STATUS_NO_ANSWER;
    }
    if (WaitFor(sock.fd, POLLIN, deadline) == 0) {
      *error = "the daemon did not answer in time";
      return STATUS_NO_ANSWER;
    }
  }
}
