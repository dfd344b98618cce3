// The POSIX InterruptWatcher of platform/interrupts.h: SIGINT and SIGTERM,
// blocked in every thread and taken with sigtimedwait on a thread of the
// watcher's own.
#include "platform/interrupts.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <thread>

namespace qelvar::platform {
namespace {

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void ReserveInterruptsForWatcher() {
  sigset_t set = InterruptSet();
  (void)::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct InterruptWatcher::State {
  explicit State(Handler handler) : onInterrupt(std::move(handler)), thread([this] { Loop(); }) {}
  ~State() {
    stop.store(true);
    thread.join();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void Loop() {
    const sigset_t set = InterruptSet();
    const timespec poll{0, 100 * 1000 * 1000};
    while (!stop.load()) {
      const int signal = ::sigtimedwait(&set, nullptr, &poll);
      if (signal < 0) continue;  // EAGAIN (the poll ended) or EINTR
      onInterrupt(signal == SIGTERM ? Interrupt::kTerminate : Interrupt::kStop);
    }
  }

  const Handler onInterrupt;
  std::atomic<bool> stop{false};
  std::thread thread;  // last: it starts at once and uses the above
};

InterruptWatcher::InterruptWatcher(Handler onInterrupt)
    : state_(std::make_unique<State>(std::move(onInterrupt))) {}

InterruptWatcher::~InterruptWatcher() = default;

}  // namespace qelvar::platform
