// Waiting on a network socket with a deadline: the one wait a client of a
// server needs when the server may stop answering at any moment.
#pragma once

#include <chrono>
#include <cstdint>

namespace qelvar::platform {

enum class SocketWait : uint8_t { kReady, kTimedOut, kFailed };

// Waits until `socket` can be read (or, with `writable`, written), or until
// `deadline`. A socket that reports an error or a hang-up counts as ready,
// so the caller's next read tells what happened. kFailed for a socket that
// cannot be waited on (closed, or not a socket).
[[nodiscard]] SocketWait WaitForSocket(int64_t socket, bool writable,
                                       std::chrono::steady_clock::time_point deadline);

}  // namespace qelvar::platform
