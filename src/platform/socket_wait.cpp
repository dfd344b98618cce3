#include "platform/socket_wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace qelvar::platform {

SocketWait WaitForSocket(int64_t socket, bool writable,
                         std::chrono::steady_clock::time_point deadline) {
  if (socket < 0) return SocketWait::kFailed;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SocketWait::kTimedOut;
    pollfd entry{};
    entry.fd = static_cast<int>(socket);
    entry.events = writable ? POLLOUT : POLLIN;
    // At most a minute per poll: a deadline far ahead never overflows int.
    const int ms = static_cast<int>(std::min<int64_t>(left.count(), 60'000));
    const int n = ::poll(&entry, 1, ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SocketWait::kFailed;
    }
    if (n == 0) continue;  // the deadline is checked at the top
    if (entry.revents & POLLNVAL) return SocketWait::kFailed;
    return SocketWait::kReady;
  }
}

}  // namespace qelvar::platform
