// How the bridge hands an ATA PASS-THROUGH to its simulated drive.
#pragma once

#include "platform/device_io.h"
#include "platform/sim/sim_drive.h"

namespace qelvar::simbridge {

// No time-out crosses USB: the host keeps its own. The simulated drive holds
// the host to the time-out its station gives each request, on the shared
// handle of the SCSI route, so the bridge passes exactly those on.
inline platform::ScsiResult PassToDrive(platform::sim::SimDrive& drive,
                                        const platform::ScsiRequest& request) {
  platform::ScsiRequest passed = request;
  passed.timeoutSeconds = drive.ExpectedTimeout(false, request.direction);
  return drive.Scsi(passed, platform::ShareMode::SharedReadWrite);
}

}  // namespace qelvar::simbridge
