// The Windows twin of socket_wait.cpp: WSAPoll in place of poll.
#include <winsock2.h>

#include <algorithm>

#include "platform/socket_wait.h"

namespace qelvar::platform {

SocketWait WaitForSocket(int64_t socket, bool writable,
                         std::chrono::steady_clock::time_point deadline) {
  if (socket < 0 || static_cast<SOCKET>(socket) == INVALID_SOCKET) return SocketWait::kFailed;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return SocketWait::kTimedOut;
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(socket);
    entry.events = writable ? POLLWRNORM : POLLRDNORM;
    const INT ms = static_cast<INT>(std::min<int64_t>(left.count(), 60'000));
    const int n = ::WSAPoll(&entry, 1, ms);
    if (n == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEINTR) continue;
      return SocketWait::kFailed;
    }
    if (n == 0) continue;
    if (entry.revents & POLLNVAL) return SocketWait::kFailed;
    return SocketWait::kReady;
  }
}

}  // namespace qelvar::platform
