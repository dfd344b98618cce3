// Time as the station sees it: a wrapping millisecond tick, pauses, and the
// calendar. Every pause the controller needs goes through a Clock, so the same
// flow runs in real time on the line, at a fraction of it in a demonstration
// and instantly in tests, where each pause is still recorded.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qelvar::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds of design time; wraps around after 2^32.
  [[nodiscard]] virtual uint32_t TickMs() = 0;
  // One pause of the flow.
  virtual void SleepMs(uint32_t ms) = 0;
  // Calendar time, seconds since 1970.
  [[nodiscard]] virtual int64_t CalendarSeconds() = 0;
  // Time that passes inside an exchange with a drive (a simulated drive that
  // takes long to answer). Not a pause; real and scaled clocks ignore it.
  virtual void Spend(uint32_t ms) { (void)ms; }
  // Wraps the body of a thread started by the calling thread, so the started
  // thread carries on from its starter's time. `name` identifies the thread in
  // diagnostics and in the virtual clock's record of pauses.
  [[nodiscard]] virtual std::function<void()> Inherit(std::string name,
                                                      std::function<void()> body) {
    (void)name;
    return body;
  }
};

// The machine's own clock.
std::unique_ptr<Clock> MakeRealClock();

// The calendar fields of `seconds` since 1970 in the machine's time zone.
[[nodiscard]] std::tm LocalCalendar(std::time_t seconds);

// Pauses take `scale` times their length in real time, and TickMs reports real
// elapsed time divided by `scale`, so whatever measures time sees the design's
// durations. `scale` must be positive.
std::unique_ptr<Clock> MakeScaledClock(double scale);

// A clock for tests and for `--virtual-time`: pauses return at once. Each
// thread has its own virtual time, starting from its starter's (see Inherit);
// every pause is recorded with the name of the thread that took it. A thread
// started through Inherit is forgotten when its body returns.
class VirtualClock final : public Clock {
 public:
  struct Pause {
    uint32_t ms;
    uint64_t at;  // the thread's virtual time when the pause began
  };

  explicit VirtualClock(int64_t calendarStart = 1'700'000'000);

  uint32_t TickMs() override;
  void SleepMs(uint32_t ms) override;
  int64_t CalendarSeconds() override;
  void Spend(uint32_t ms) override;
  std::function<void()> Inherit(std::string name, std::function<void()> body) override;

  // The calling thread's virtual time in milliseconds (not wrapped).
  [[nodiscard]] uint64_t Now();
  // Names the calling thread (threads started through Inherit are named by it).
  void NameThisThread(std::string name);
  // Pauses taken by threads of the given name, in order.
  [[nodiscard]] std::vector<uint32_t> PausesOf(const std::string& name) const;
  [[nodiscard]] uint64_t TotalPauseMs(const std::string& name) const;
  // Largest virtual time reached by any thread.
  [[nodiscard]] uint64_t Horizon() const;

 private:
  struct ThreadState {
    uint64_t now = 0;
    std::string name;
  };
  ThreadState& State();

  int64_t calendarStart_;
  mutable std::mutex mutex_;
  // Keyed by a number no other thread of the process ever gets: the system
  // reuses a finished thread's id, and a new thread must not carry on from
  // the old one's time.
  std::map<uint64_t, ThreadState> threads_;
  std::map<std::string, std::vector<Pause>> pauses_;
  uint64_t horizon_ = 0;
};

}  // namespace qelvar::platform
