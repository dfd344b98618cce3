// The operator's requests to stop a program from its terminal: Ctrl-C and
// SIGTERM on Linux; Ctrl-C, Ctrl-Break and closing the console window on
// Windows.
#pragma once

#include <functional>
#include <memory>

namespace qelvar::platform {

enum class Interrupt {
  kStop,       // Ctrl-C (Ctrl-Break on Windows)
  kTerminate,  // SIGTERM
  kClose,      // the console window was closed: the process ends soon after
};

// The exit status a shell reports for a program ended by `interrupt`
// (128 + the signal's number).
[[nodiscard]] int ExitStatusOf(Interrupt interrupt);

// Keeps the interrupts for an InterruptWatcher: called before any other
// thread starts, so that no thread but the watcher's takes them. Does nothing
// where the system hands them to a thread of its own anyway (Windows).
void ReserveInterruptsForWatcher();

// Calls `onInterrupt` for every interrupt while it lives, on a thread that
// is not the main thread, so the handling may print and look at the ports
// while the main thread waits. After kClose the system ends the process
// once the call returns; the watcher holds that off (a few seconds at most)
// until the watcher is destroyed, so the program may still finish its work.
class InterruptWatcher {
 public:
  using Handler = std::function<void(Interrupt)>;
  explicit InterruptWatcher(Handler onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// From here on an interrupt only raises a flag that InterruptRaised() reads:
// for a program that ends as usual when asked to.
void RaiseFlagOnInterrupt();
[[nodiscard]] bool InterruptRaised();

}  // namespace qelvar::platform
