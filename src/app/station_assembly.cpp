#include "app/station_assembly.h"

#include <array>
#include <cstdio>

#include "format/format_drives.h"
#ifdef _WIN32
#include "platform/windows/win32_recording.h"
#include "platform/windows/win_clock.h"
#include "platform/windows/win_device_io.h"
#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_topology.h"
#include "platform/windows/win_volume_ops.h"
#else
#include "platform/linux/linux_device_io.h"
#include "platform/linux/linux_volume_ops.h"
#include "platform/linux/sysfs_topology.h"
#include "platform/linux/udev_device_monitor.h"
#endif
#include "platform/sim/sim_station.h"
#include "platform/sim/sim_volume_ops.h"

namespace qelvar::app {

std::unique_ptr<StationAssembly> StationAssembly::Create(const AssemblyOptions& options,
                                                         std::string* error) {
  std::unique_ptr<StationAssembly> a(new StationAssembly());
  if (options.virtualTime) {
    a->clock_ = std::make_unique<platform::VirtualClock>();
  } else if (options.scaled) {
    a->clock_ = platform::MakeScaledClock(options.timeScale);
  } else {
#ifdef _WIN32
    a->clock_ = platform::windows::MakeTickCountClock();
#else
    a->clock_ = platform::MakeRealClock();
#endif
  }

  platform::DeviceIo* io = nullptr;
  platform::Topology* topology = nullptr;
  if (options.sim) {
    if (options.simFile.empty()) {
      a->sim_ = platform::sim::SimStation::Default(*a->clock_);
    } else {
      std::string why;
      a->sim_ = platform::sim::SimStation::FromFile(options.simFile, *a->clock_, &why);
      if (!a->sim_) {
        *error = "cannot use the station file '" + options.simFile + "': " + why;
        return nullptr;
      }
    }
    if (!options.traceFile.empty() && !a->sim_->SetTraceFile(options.traceFile)) {
      *error = "cannot write the trace file '" + options.traceFile + "'";
      return nullptr;
    }
    if (!options.dumpDir.empty()) a->sim_->SetDumpDir(options.dumpDir);
    a->volumes_ = std::make_unique<platform::sim::SimVolumeOps>(*a->sim_);
    io = a->sim_.get();
    topology = a->sim_.get();
  } else {
    std::string why;
#ifdef _WIN32
    namespace backend = platform::windows;
    using DeviceIoImpl = backend::WinDeviceIo;
    using TopologyImpl = backend::WinTopology;
    using VolumeOpsImpl = backend::WinVolumeOps;
#else
    namespace backend = platform::linux_backend;
    using DeviceIoImpl = backend::LinuxDeviceIo;
    using TopologyImpl = backend::SysfsTopology;
    using VolumeOpsImpl = backend::LinuxVolumeOps;
#endif
    if (!backend::CanSendVendorCommands(&why)) {
      *error = why;
      return nullptr;
    }
#ifdef _WIN32
    backend::Win32Api* api = &backend::SystemWin32Api();
    if (!options.recordWin32File.empty()) {
      auto recorder = std::make_shared<backend::RecordingWin32Api>(*api);
      api = recorder.get();
      a->saveWin32Recording_ = [recorder, file = options.recordWin32File](std::string* problem) {
        return recorder->Save(file, problem);
      };
      a->win32Recorder_ = std::move(recorder);
    }
    a->io_ = std::make_unique<DeviceIoImpl>(*api);
    a->topology_ = std::make_unique<TopologyImpl>(*api);
    a->volumes_ = std::make_unique<VolumeOpsImpl>(*api);
#else
    if (!options.recordWin32File.empty()) {
      *error = "--record-win32 records the Windows backend's calls: it belongs to qelvar-cli.exe";
      return nullptr;
    }
    a->io_ = std::make_unique<DeviceIoImpl>();
    a->topology_ = std::make_unique<TopologyImpl>();
    a->volumes_ = std::make_unique<VolumeOpsImpl>();
#endif
    io = a->io_.get();
    topology = a->topology_.get();
  }
  if (!options.debugLogFile.empty()) {
    a->debugLog_ = DebugLogFile::Open(options.debugLogFile, error);
    if (!a->debugLog_) return nullptr;
  }
  a->transport_ = std::make_unique<transport::PassThroughTransport>(*io, *a->clock_);
  a->vendor_ = std::make_unique<vendor::VendorCommands>(*a->transport_);
  a->links_ = std::unique_ptr<engine::StationLinks>(
      new engine::StationLinks{*io, *topology, *a->clock_, *a->transport_, *a->vendor_});
  return a;
}

StationAssembly::~StationAssembly() = default;

void StationAssembly::AttachFormatter(engine::RunControl& control, settings::MessageSink& messages) {
  control.SetFormatter(Formatter(messages));
}

std::function<void()> StationAssembly::Formatter(settings::MessageSink& messages) {
  return [this, &messages] {
    std::array<uint8_t, discovery::kPortCount> failed{};
    (void)format::FormatDrives(
        station_.ports, links_->topology, links_->io, *volumes_, *clock_, messages, failed, FormatLog(),
        [](std::string_view line) { std::fwrite(line.data(), 1, line.size(), stderr); });
  };
}

bool StationAssembly::SaveWin32Recording(std::string* why) {
  return !saveWin32Recording_ || saveWin32Recording_(why);
}

void StationAssembly::AttachDebugLog(engine::RunControl& control) {
  if (!debugLog_) return;
  control.SetDebugTrace(
      [log = debugLog_.get()](std::string_view line) { log->Line("scan", line); });
}

format::DebugLog StationAssembly::FormatLog() {
  if (!debugLog_) return {};
  return [log = debugLog_.get()](std::string_view line) { log->Line("format", line); };
}

std::unique_ptr<platform::DeviceMonitor> StationAssembly::CreateMonitor(std::string* note) {
  if (sim_) return sim_->CreateMonitor();
#ifdef _WIN32
  (void)note;
  return std::make_unique<platform::windows::WinDeviceMonitor>();
#else
  using platform::linux_backend::UdevDeviceMonitor;
  if (platform::linux_backend::UdevdRunning()) return std::make_unique<UdevDeviceMonitor>();
  // Small machines (a minimal install, an initramfs) run without udevd; the
  // kernel's own events serve there, as devtmpfs creates the disk nodes.
  if (note != nullptr) *note = "udevd is not running: watching the kernel's device events instead";
  return std::make_unique<UdevDeviceMonitor>(UdevDeviceMonitor::Source::Kernel);
#endif
}

}  // namespace qelvar::app
