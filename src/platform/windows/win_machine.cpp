// The Windows backend of platform/machine.h.
#include "platform/machine.h"
#include "platform/windows/win32_recording.h"
#include "platform/windows/win_clock.h"
#include "platform/windows/win_device_io.h"
#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_topology.h"
#include "platform/windows/win_volume_ops.h"

namespace qelvar::platform {

std::unique_ptr<Clock> MakeMachineClock() { return windows::MakeTickCountClock(); }

std::optional<MachineBackend> OpenMachineBackend(const std::string& recordFile,
                                                 std::string* error) {
  std::string why;
  if (!windows::CanSendVendorCommands(&why)) {
    *error = why;
    return std::nullopt;
  }
  MachineBackend backend;
  windows::Win32Api* api = &windows::SystemWin32Api();
  if (!recordFile.empty()) {
    auto recorder = std::make_shared<windows::RecordingWin32Api>(*api);
    api = recorder.get();
    backend.saveRecording = [recorder, recordFile](std::string* problem) {
      return recorder->Save(recordFile, problem);
    };
    backend.base = std::move(recorder);
  }
  backend.io = std::make_unique<windows::WinDeviceIo>(*api);
  backend.topology = std::make_unique<windows::WinTopology>(*api);
  backend.volumes = std::make_unique<windows::WinVolumeOps>(*api);
  return backend;
}

std::unique_ptr<DeviceMonitor> MakeMachineMonitor(std::string* note) {
  (void)note;
  return std::make_unique<windows::WinDeviceMonitor>();
}

}  // namespace qelvar::platform
