// The Windows InterruptWatcher of platform/interrupts.h: a console control
// handler, which Windows calls on a thread of its own. A closed window ends
// the process when the handler returns (Windows allows it a few seconds), so
// the handler waits that long for the watcher to go.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/interrupts.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform {
namespace {

// How long a closed window waits: Windows ends the process after about five
// seconds in any case.
constexpr std::chrono::milliseconds kCloseWait{4500};

std::mutex gMutex;
std::function<void(Interrupt)>* gActive = nullptr;  // guarded by gMutex
std::atomic<bool> gFinished{true};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool close = event == CTRL_CLOSE_EVENT;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !close) return FALSE;
  {
    std::lock_guard lock(gMutex);
    if (gActive == nullptr) return FALSE;  // no watcher: the default handling
    (*gActive)(close ? Interrupt::kClose : Interrupt::kStop);
  }
  if (close) {
    // Returning lets Windows end the process: give the program what time it allows.
    const auto until = std::chrono::steady_clock::now() + kCloseWait;
    while (!gFinished.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return TRUE;
}

}  // namespace

void ReserveInterruptsForWatcher() {}

struct InterruptWatcher::State {
  Handler onInterrupt;
};

InterruptWatcher::InterruptWatcher(Handler onInterrupt)
    : state_(std::make_unique<State>(State{std::move(onInterrupt)})) {
  std::lock_guard lock(gMutex);
  gActive = &state_->onInterrupt;
  gFinished.store(false);
  (void)::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

InterruptWatcher::~InterruptWatcher() {
  (void)::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
  std::lock_guard lock(gMutex);
  gActive = nullptr;
  gFinished.store(true);
}

}  // namespace qelvar::platform
