#include "platform/windows/win_clock.h"

#include <chrono>

#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {
namespace {

class TickCountClock final : public Clock {
 public:
  uint32_t TickMs() override { return static_cast<uint32_t>(::GetTickCount64()); }
  void SleepMs(uint32_t ms) override { ::Sleep(ms); }
  int64_t CalendarSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

std::unique_ptr<Clock> MakeTickCountClock() {
  return std::make_unique<TickCountClock>();
}

}  // namespace qelvar::platform::windows
