#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace qelvar::platform {

std::tm LocalCalendar(std::time_t seconds) {
  std::tm local{};
#ifdef _WIN32
  (void)::localtime_s(&local, &seconds);
#else
  (void)::localtime_r(&seconds, &local);
#endif
  return local;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

class RealClock final : public Clock {
 public:
  uint32_t TickMs() override {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_);
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int64_t CalendarSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

 private:
  SteadyClock::time_point start_ = SteadyClock::now();
};

class ScaledClock final : public Clock {
 public:
  explicit ScaledClock(double scale) : scale_(scale) {
    if (!(scale > 0.0)) throw std::invalid_argument("time scale must be positive");
  }
  uint32_t TickMs() override {
    std::chrono::duration<double, std::milli> real = SteadyClock::now() - start_;
    return static_cast<uint32_t>(static_cast<uint64_t>(real.count() / scale_));
  }
  void SleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms * scale_));
  }
  int64_t CalendarSeconds() override {
    // The calendar runs at design speed too, so elapsed-time displays agree
    // with the pauses.
    std::chrono::duration<double> real = SteadyClock::now() - start_;
    return calendarStart_ + static_cast<int64_t>(real.count() / scale_);
  }

 private:
  double scale_;
  SteadyClock::time_point start_ = SteadyClock::now();
  int64_t calendarStart_ = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
};

}  // namespace

std::unique_ptr<Clock> MakeRealClock() {
  return std::make_unique<RealClock>();
}
std::unique_ptr<Clock> MakeScaledClock(double scale) {
  return std::make_unique<ScaledClock>(scale);
}

VirtualClock::VirtualClock(int64_t calendarStart) : calendarStart_(calendarStart) {}

namespace {

// This thread's number, unique for the life of the process.
uint64_t ThreadSerial() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
  return serial;
}

}  // namespace

VirtualClock::ThreadState& VirtualClock::State() {
  // Caller holds mutex_. A thread the clock has not seen starts at time 0.
  return threads_[ThreadSerial()];
}

uint32_t VirtualClock::TickMs() {
  std::lock_guard lock(mutex_);
  return static_cast<uint32_t>(State().now);
}

uint64_t VirtualClock::Now() {
  std::lock_guard lock(mutex_);
  return State().now;
}

void VirtualClock::SleepMs(uint32_t ms) {
  std::lock_guard lock(mutex_);
  ThreadState& state = State();
  pauses_[state.name].push_back(Pause{ms, state.now});
  state.now += ms;
  if (state.now > horizon_) horizon_ = state.now;
}

void VirtualClock::Spend(uint32_t ms) {
  std::lock_guard lock(mutex_);
  ThreadState& state = State();
  state.now += ms;
  if (state.now > horizon_) horizon_ = state.now;
}

int64_t VirtualClock::CalendarSeconds() {
  std::lock_guard lock(mutex_);
  return calendarStart_ + static_cast<int64_t>(State().now / 1000);
}

void VirtualClock::NameThisThread(std::string name) {
  std::lock_guard lock(mutex_);
  State().name = std::move(name);
}

std::function<void()> VirtualClock::Inherit(std::string name, std::function<void()> body) {
  uint64_t startAt = Now();
  return [this, startAt, name = std::move(name), body = std::move(body)]() {
    {
      std::lock_guard lock(mutex_);
      ThreadState& state = State();
      state.now = startAt;
      state.name = name;
    }
    // The thread's entry goes when its body ends, however it ends.
    struct Forget {
      VirtualClock* clock;
      ~Forget() {
        std::lock_guard lock(clock->mutex_);
        clock->threads_.erase(ThreadSerial());
      }
    } forget{this};
    body();
  };
}

std::vector<uint32_t> VirtualClock::PausesOf(const std::string& name) const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> out;
  auto it = pauses_.find(name);
  if (it != pauses_.end()) {
    for (const Pause& p : it->second) out.push_back(p.ms);
  }
  return out;
}

uint64_t VirtualClock::TotalPauseMs(const std::string& name) const {
  uint64_t total = 0;
  for (uint32_t ms : PausesOf(name)) total += ms;
  return total;
}

uint64_t VirtualClock::Horizon() const {
  std::lock_guard lock(mutex_);
  return horizon_;
}

}  // namespace qelvar::platform
