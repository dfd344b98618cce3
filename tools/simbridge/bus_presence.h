// When the bridge is on the USB bus. A drive that reboots or enters ROM mode
// takes its bridge off the bus and comes back as a new device, which the host
// enumerates anew: the bridge leaves once the status of the command that did
// it has gone out, stays away for the drive's re-enumeration time, and comes
// back when that time is up and the drive itself says it is there again.
// Nothing here knows the wire: the glue sends the disconnect and connect.
#pragma once

#include <chrono>
#include <cstdint>

namespace qelvar::simbridge {

class BusPresence {
 public:
  using Clock = std::chrono::steady_clock;

  // How long the host may take to acknowledge a disconnect before the
  // bridge comes back without it (a host never leaves a disconnect unacked;
  // the bound keeps a lost acknowledgement from keeping the drive away).
  static constexpr std::chrono::milliseconds kAckWait{1000};

  // The drive, taking the command in progress, began a re-enumeration of
  // `ms`. 0 ms is no absence: the bridge stays on the bus.
  void DriveLeaves(uint32_t ms);
  // The status of the command in progress went out (or the host gave the
  // command up) at `at`. True when the bridge must leave the bus now.
  [[nodiscard]] bool StatusSent(Clock::time_point at);
  // The host acknowledged the disconnect.
  void Acknowledged() { acked_ = true; }
  // The connection to the host ended: a new one starts without a device, so
  // there is no disconnect left to acknowledge.
  void ConnectionLost() { acked_ = true; }

  [[nodiscard]] bool Away() const { return state_ == State::Away; }
  // Milliseconds until the bridge should look again whether to come back,
  // rounded up; -1 while it is not away.
  [[nodiscard]] int64_t WaitMs(Clock::time_point now) const;
  // Whether the bridge comes back at `now`, `drivePresent` being what the
  // drive says. True once: the bridge is then on the bus again.
  [[nodiscard]] bool Return(Clock::time_point now, bool drivePresent);

  // For the summary: re-enumerations done, and the longest a return came
  // after its design time (microseconds).
  [[nodiscard]] uint64_t Count() const { return count_; }
  [[nodiscard]] int64_t LargestLateUs() const { return largestLateUs_; }
  // The last absence's design time in milliseconds.
  [[nodiscard]] uint32_t LastMs() const { return ms_; }

 private:
  enum class State : uint8_t { OnBus, Leaving, Away };

  State state_ = State::OnBus;
  uint32_t ms_ = 0;
  bool acked_ = true;
  Clock::time_point leftAt_{};
  uint64_t count_ = 0;
  int64_t largestLateUs_ = 0;
};

}  // namespace qelvar::simbridge
