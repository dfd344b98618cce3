#include "app/interrupt_handler.h"

#include <cstdlib>

#include "app/run_messages.h"

namespace qelvar::app {

InterruptHandler::InterruptHandler(engine::RunControl& control, engine::Station& station,
                                   RecordKeeper keep)
    : control_(control),
      station_(station),
      keep_(std::move(keep)),
      watcher_([this](platform::Interrupt interrupt) { OnInterrupt(interrupt); }) {}

std::vector<int> InterruptHandler::RunningPorts() const {
  std::vector<int> ports;
  for (int p : control_.StartedPorts()) {
    const uint8_t status = station_.ports.gPortStatus[static_cast<size_t>(p)].load();
    if (status != discovery::kPassed && status != discovery::kFailed) ports.push_back(p + 1);
  }
  return ports;
}

void InterruptHandler::OnInterrupt(platform::Interrupt interrupt) {
  const bool close = interrupt == platform::Interrupt::kClose;
  if (signals_.fetch_add(1) == 0) {
    if (ending_.load() || close) {
      if (keep_) SayKept(keep_());  // after Ending the program then ends as usual
      if (ending_.load()) return;
    }
    control_.RequestNoNewStarts();
    SayWaiting(RunningPorts().size());
    if (control_.StartInProgress()) SayAlreadyInRomMode(control_.PortsLeftInRomMode());
    return;
  }
  if (keep_) SayKept(keep_());
  if (close) return;  // the wait the watcher allows is all a closed window gets
  SayQuitAtOnce(RunningPorts());
  // At once: the workers still hold the drives, so no destructor may run.
  std::_Exit(platform::ExitStatusOf(interrupt));
}

}  // namespace qelvar::app
