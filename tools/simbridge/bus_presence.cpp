#include "tools/simbridge/bus_presence.h"

namespace qelvar::simbridge {

namespace {
// How often a bridge whose time is up looks again whether its drive is back.
constexpr int64_t kRecheckMs = 5;
}  // namespace

void BusPresence::DriveLeaves(uint32_t ms) {
  if (ms == 0 || state_ != State::OnBus) return;
  state_ = State::Leaving;
  ms_ = ms;
}

bool BusPresence::StatusSent(Clock::time_point at) {
  if (state_ != State::Leaving) return false;
  state_ = State::Away;
  leftAt_ = at;
  acked_ = false;
  ++count_;
  return true;
}

int64_t BusPresence::WaitMs(Clock::time_point now) const {
  if (state_ != State::Away) return -1;
  Clock::time_point due = leftAt_ + std::chrono::milliseconds(ms_);
  if (now >= due) return kRecheckMs;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  return left > 0 ? left : kRecheckMs;
}

bool BusPresence::Return(Clock::time_point now, bool drivePresent) {
  if (state_ != State::Away || !drivePresent) return false;
  Clock::time_point due = leftAt_ + std::chrono::milliseconds(ms_);
  if (now < due) return false;
  if (!acked_ && now < due + kAckWait) return false;
  state_ = State::OnBus;
  int64_t late = std::chrono::duration_cast<std::chrono::microseconds>(now - due).count();
  if (late > largestLateUs_) largestLateUs_ = late;
  return true;
}

}  // namespace qelvar::simbridge
