#include "app/station_assembly.h"

#include <array>
#include <cstdio>

#include "format/format_drives.h"
#include "platform/machine.h"
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
    a->clock_ = platform::MakeMachineClock();
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
    std::optional<platform::MachineBackend> machine =
        platform::OpenMachineBackend(options.recordWin32File, error);
    if (!machine) return nullptr;
    a->win32Recorder_ = std::move(machine->base);
    a->saveWin32Recording_ = std::move(machine->saveRecording);
    a->io_ = std::move(machine->io);
    a->topology_ = std::move(machine->topology);
    a->volumes_ = std::move(machine->volumes);
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
  return platform::MakeMachineMonitor(note);
}

}  // namespace qelvar::app
