// The drives of this machine through its own operating system: the backend
// the station is built for (SG_IO, sysfs and udev on Linux; pass-through
// requests, the device nodes and device-change notifications on Windows).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/device_monitor.h"
#include "platform/topology.h"
#include "platform/volume_ops.h"

namespace qelvar::platform {

struct MachineBackend {
  // Whatever the three below lean on (a recorder of the system calls).
  std::shared_ptr<void> base;
  std::unique_ptr<DeviceIo> io;
  std::unique_ptr<Topology> topology;
  std::unique_ptr<VolumeOps> volumes;
  // Writes the recording of the system calls made; empty when none is kept.
  std::function<bool(std::string* why)> saveRecording;
};

// The machine's own clock, as this system counts it.
[[nodiscard]] std::unique_ptr<Clock> MakeMachineClock();

// The backend, recording its system calls into `recordFile` when that is
// given (only the Windows backend keeps a recording). Nothing, with `*error`
// set, when this user may not send the drives vendor commands or a recording
// cannot be kept.
[[nodiscard]] std::optional<MachineBackend> OpenMachineBackend(const std::string& recordFile,
                                                               std::string* error);

// The watch for drives coming and going. `note`, when given, gets a sentence
// for the operator when the usual source of the events is missing.
[[nodiscard]] std::unique_ptr<DeviceMonitor> MakeMachineMonitor(std::string* note);

}  // namespace qelvar::platform
