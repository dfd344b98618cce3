// The Linux backend of platform/machine.h.
#include "platform/linux/linux_device_io.h"
#include "platform/linux/linux_volume_ops.h"
#include "platform/linux/sysfs_topology.h"
#include "platform/linux/udev_device_monitor.h"
#include "platform/machine.h"

namespace qelvar::platform {

std::unique_ptr<Clock> MakeMachineClock() { return MakeRealClock(); }

std::optional<MachineBackend> OpenMachineBackend(const std::string& recordFile,
                                                 std::string* error) {
  std::string why;
  if (!linux_backend::CanSendVendorCommands(&why)) {
    *error = why;
    return std::nullopt;
  }
  if (!recordFile.empty()) {
    *error = "--record-win32 records the Windows backend's calls: it belongs to qelvar-cli.exe";
    return std::nullopt;
  }
  MachineBackend backend;
  backend.io = std::make_unique<linux_backend::LinuxDeviceIo>();
  backend.topology = std::make_unique<linux_backend::SysfsTopology>();
  backend.volumes = std::make_unique<linux_backend::LinuxVolumeOps>();
  return backend;
}

std::unique_ptr<DeviceMonitor> MakeMachineMonitor(std::string* note) {
  using linux_backend::UdevDeviceMonitor;
  if (linux_backend::UdevdRunning()) return std::make_unique<UdevDeviceMonitor>();
  // Small machines (a minimal install, an initramfs) run without udevd; the
  // kernel's own events serve there, as devtmpfs creates the disk nodes.
  if (note != nullptr) *note = "udevd is not running: watching the kernel's device events instead";
  return std::make_unique<UdevDeviceMonitor>(UdevDeviceMonitor::Source::Kernel);
}

}  // namespace qelvar::platform
