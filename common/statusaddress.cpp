// SPDX-License-Identifier: MIT
// The status socket's address; any thread.
#include "common/statusaddress.h"

#include <cstddef>
#include <cstring>

#include "common/ctrlmsg.h"

socklen_t StatusSocketAddress(struct sockaddr_un *address) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  // The name's own length: in the abstract namespace a terminator would be
  // part of the name.
  constexpr size_t kNameLength = sizeof WARDEND_STATUS_NAME - 1;
  static_assert(kNameLength + 1 <= sizeof address->sun_path, "the status name must fit a socket address");
  memcpy(address->sun_path + 1, WARDEND_STATUS_NAME, kNameLength);
  return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + kNameLength);
}
