// A clock whose pauses cost nothing and whose time stands still, for
// benchmarks that measure only the host's own work.
#pragma once

#include "platform/clock.h"

namespace qelvar::testing {

class NoPauseClock final : public platform::Clock {
 public:
  uint32_t TickMs() override { return 0; }
  void SleepMs(uint32_t) override {}
  int64_t CalendarSeconds() override { return 0; }
};

}  // namespace qelvar::testing
