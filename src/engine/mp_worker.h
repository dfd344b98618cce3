// The per-port MP flow: one worker thread carries one drive from the burner
// download to the reboot and capacity check, and ends with a pass or the
// first failure's fail code.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/fail_codes.h"
#include "engine/port_recorder.h"
#include "engine/station.h"
#include "settings/images.h"

namespace qelvar::engine {

// The serial numbers read before ROM mode, used instead of the scan's when
// "keep SN" is checked. Written by the run control before workers start.
struct KeptSerials {
  uint8_t keep = 0;
  std::array<std::array<char, 21>, discovery::kPortCount> serials{};
};

// Everything a worker reaches besides its own port number.
struct WorkerEnvironment {
  Station& station;
  StationLinks& links;
  discovery::PortListSink& list;
  RunEvents& events;
  const KeptSerials& kept;
  std::string dbugFolder;
  // The line ledger's recorder; none: no record is made.
  PortRecorder* recorder = nullptr;
};

// The record handed to a worker thread; the worker owns it from its start.
struct WorkerStart {
  WorkerEnvironment* environment = nullptr;
  uint8_t port = 0;
  // The images of this start; never changed under the worker.
  std::shared_ptr<const settings::Images> images;
  std::string runId;  // the ledger's ID of the run this start belongs to
};

// Poll budgets. The drive is polled up to n times; a budget that would be 0
// or that would underflow (a missing key reads 0) makes exactly one poll, so
// every wait is bounded and no port passes on a poll that was never made.
[[nodiscard]] uint32_t ErasePollBudget(uint32_t delayNandErase);
[[nodiscard]] uint32_t BurnPollBudget(uint32_t delayBurner);

// The device path of the drive on hub port `hub` now, or empty when no drive
// is there. Drives re-enumerate under new names (a reboot, ROM entry), so a
// path is only good until the drive next leaves the bus. One walk of the
// topology at a time, from any thread.
[[nodiscard]] std::string FindDriveOnHubPort(StationLinks& links,
                                             const discovery::PortIdentity& hub);

// The thread body. Always ends with ReportPortResult, which posts the
// completion.
void MpWorker(std::unique_ptr<WorkerStart> start);

}  // namespace qelvar::engine
