// The time a drive behind the bridge sees. The drive checks a pause from the
// completion of the previous command to the arrival of the next, so this
// clock stands still while a command is in progress (from its command block
// to its status) and runs in real time between commands. Whatever the host
// spends moving a command's data therefore never counts toward a pause, and
// a pause that the host cut short shows as one.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace qelvar::simbridge {

class PauseClock final : public platform::Clock {
 public:
  using Source = std::chrono::steady_clock;

  // `toleranceUs`: delivery jitter granted on every pause; the clock jumps
  // that far ahead when a command arrives.
  explicit PauseClock(uint32_t toleranceUs);
  PauseClock(uint32_t toleranceUs, Source::time_point start);

  uint32_t TickMs() override;
  void SleepMs(uint32_t ms) override;
  int64_t CalendarSeconds() override;

  // A command arrived at `at`. Returns the time since the previous command
  // completed, in microseconds (-1 for the first command).
  int64_t Arrive(Source::time_point at);
  void Complete(Source::time_point at);
  [[nodiscard]] bool Busy() const { return busy_; }
  // Design time at `at` in microseconds (what TickMs reports, unrounded).
  [[nodiscard]] int64_t DesignUs(Source::time_point at) const;

 private:
  const int64_t toleranceUs_;
  const Source::time_point start_;
  int64_t cutUs_ = 0;  // time spent inside commands, less the tolerance granted
  bool busy_ = false;
  Source::time_point busySince_{};
  bool completedOnce_ = false;
  Source::time_point lastDone_{};
};

// The pause the drive demands before a command, judged from its command
// block alone: a download chunk after the first (10 ms in ROM mode, where
// the burner loads, 50 ms otherwise) and the second phase of a two-phase
// command (500 ms; 4000 ms for a reboot, which `gapMs` tells apart: nothing
// else waits that long). 0: no pause demanded.
[[nodiscard]] uint32_t DemandedPauseMs(const uint8_t* cdb, size_t length, int64_t gapMs);

}  // namespace qelvar::simbridge
