// Interrupts during run and run-port (Ctrl-C, SIGTERM, a closed console
// window). The first starts nothing new and lets the running ports finish
// their flow (a download cut in the middle leaves a drive that needs a
// rerun); the program then ends as usual. A second Ctrl-C quits at once.
// The platform's watcher hands them over on a thread of their own, so the
// handling may print and look at the ports while the main thread sits in the
// Start sequence's pauses. Once the run is over and its records are being
// written (Ending), an interrupt keeps them in the spool at once, so a server
// that does not answer never holds the program up; a second one then quits
// at once. A closed window gets only what the first interrupt does, and the
// time the watcher holds the end off.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "engine/run_control.h"
#include "engine/station.h"
#include "platform/interrupts.h"

namespace qelvar::app {

// Keeps the records not yet written (in the ledger's spool, which waits on
// no server); the number kept.
using RecordKeeper = std::function<size_t()>;

class InterruptHandler {
 public:
  // Keeps the interrupts for the handler's thread: called before any other
  // thread starts.
  static void BlockSignals() { platform::ReserveInterruptsForWatcher(); }

  InterruptHandler(engine::RunControl& control, engine::Station& station, RecordKeeper keep);
  InterruptHandler(const InterruptHandler&) = delete;
  InterruptHandler& operator=(const InterruptHandler&) = delete;

  [[nodiscard]] bool Interrupted() const { return signals_.load() > 0; }
  void Ending() { ending_.store(true); }

 private:
  // The started ports that have no result yet, 1-based as the table shows
  // them (a port being started counts before its status says "running").
  [[nodiscard]] std::vector<int> RunningPorts() const;
  void OnInterrupt(platform::Interrupt interrupt);

  engine::RunControl& control_;
  engine::Station& station_;
  const RecordKeeper keep_;
  std::atomic<int> signals_{0};
  std::atomic<bool> ending_{false};
  platform::InterruptWatcher watcher_;  // last: started after, and gone before, the rest
};

}  // namespace qelvar::app
