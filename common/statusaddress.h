// SPDX-License-Identifier: MIT
// The address of the daemon's status socket, for the server and its clients.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

// Fills address with WARDEND_STATUS_NAME in the abstract namespace (a
// leading NUL, no terminator) and returns the length to bind or connect
// with.
socklen_t StatusSocketAddress(struct sockaddr_un *address);
