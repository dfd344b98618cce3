// Puts a station together for a program: the clock, the drives (the machine's
// own, or the simulated station), the transport and vendor commands, and the
// station's state. Shared by the window and the command-line program.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/debug_log.h"
#include "engine/run_control.h"
#include "engine/station.h"
#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/device_monitor.h"
#include "platform/volume_ops.h"
#include "settings/settings_view.h"

namespace qelvar::platform::sim {
class SimStation;
}

namespace qelvar::app {

struct AssemblyOptions {
  bool sim = false;
  std::string simFile;  // empty: the built-in station
  bool virtualTime = false;
  bool scaled = false;
  double timeScale = 1.0;
  std::string traceFile;
  std::string dumpDir;
  std::string debugLogFile;  // empty: no debug log
  // Windows: every Win32 call of the backend is recorded for this file;
  // empty: none. SaveWin32Recording writes it.
  std::string recordWin32File;
};

class StationAssembly {
 public:
  // Null with *error set (a sentence saying what to fix) when the station
  // cannot be put together.
  static std::unique_ptr<StationAssembly> Create(const AssemblyOptions& options,
                                                 std::string* error);
  ~StationAssembly();

  [[nodiscard]] platform::Clock& clock() { return *clock_; }
  [[nodiscard]] engine::StationLinks& links() { return *links_; }
  [[nodiscard]] engine::Station& station() { return station_; }
  // The simulated station, or null on real drives.
  [[nodiscard]] platform::sim::SimStation* sim() { return sim_.get(); }
  // Watches for plugged and pulled drives: through udevd where it runs,
  // otherwise through the kernel's own events, and then *note says so.
  [[nodiscard]] std::unique_ptr<platform::DeviceMonitor> CreateMonitor(std::string* note = nullptr);
  // Partitions and formats of the finished drives.
  [[nodiscard]] platform::VolumeOps& volumes() { return *volumes_; }
  // Makes the end of a run with "Format" checked partition and format the
  // station's drives; messages go to the operator.
  void AttachFormatter(engine::RunControl& control, settings::MessageSink& messages);
  // Writes the Win32 recording (when one was asked for); false with *why set
  // when it cannot be written.
  [[nodiscard]] bool SaveWin32Recording(std::string* why);
  // The debug log, or null when it is off.
  [[nodiscard]] DebugLogFile* debugLog() { return debugLog_.get(); }
  // Sends the control's scan trace lines to the debug log (nothing when off).
  void AttachDebugLog(engine::RunControl& control);
  // The format's lines for the debug log; empty when it is off.
  [[nodiscard]] format::DebugLog FormatLog();
  // The same end-of-run format as one call, for a caller that runs it on a
  // thread of its own (the window). The partition step's diagnostic lines go
  // to standard error, never to standard output.
  [[nodiscard]] std::function<void()> Formatter(settings::MessageSink& messages);

 private:
  StationAssembly() = default;

  std::unique_ptr<platform::Clock> clock_;
  std::unique_ptr<platform::sim::SimStation> sim_;
  // Declared before the backend, which calls it until it is gone.
  std::shared_ptr<void> win32Recorder_;
  std::function<bool(std::string*)> saveWin32Recording_;
  std::unique_ptr<platform::DeviceIo> io_;
  std::unique_ptr<platform::Topology> topology_;
  std::unique_ptr<platform::VolumeOps> volumes_;
  std::unique_ptr<transport::PassThroughTransport> transport_;
  std::unique_ptr<vendor::VendorCommands> vendor_;
  std::unique_ptr<engine::StationLinks> links_;
  std::unique_ptr<DebugLogFile> debugLog_;
  engine::Station station_;
};

}  // namespace qelvar::app
