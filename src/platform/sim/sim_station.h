// The simulated station: external hubs on a root hub, a USB-to-SATA bridge
// with a drive behind it on each populated port. It is the DeviceIo and the
// Topology of a machine without hardware, and reports plug and unplug (and
// the re-enumeration of a drive that reboots or enters ROM mode) to its
// device monitors.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/device_monitor.h"
#include "platform/sim/sim_drive.h"
#include "platform/sim/station_config.h"
#include "platform/sim/trace.h"
#include "platform/topology.h"

namespace qelvar::platform::sim {

struct EventHub;

class SimStation final : public DeviceIo, public Topology {
 public:
  // The clock must outlive the station. Device monitors may outlive it.
  SimStation(StationConfig config, Clock& clock);
  ~SimStation() override;
  SimStation(const SimStation&) = delete;
  SimStation& operator=(const SimStation&) = delete;

  // Null with *error set when the file cannot be read or is not a valid
  // station file.
  static std::unique_ptr<SimStation> FromFile(const std::string& path, Clock& clock,
                                              std::string* error);
  // The built-in station: 16 healthy drives on two 8-port hubs.
  static std::unique_ptr<SimStation> Default(Clock& clock);

  // DeviceIo. Paths are "/sim/diskN"; disk numbers start at 1.
  std::unique_ptr<DeviceHandle> Open(std::string_view path, ShareMode mode, int* error) override;
  std::string DiskPath(uint32_t diskNumber) const override;

  // Topology.
  size_t EnumerateHubs(std::span<HubRecord> out) override;
  size_t EnumerateUsbDevices(std::span<UsbDeviceRecord> out) override;
  size_t EnumerateUsbDisks(std::span<UsbDiskNode> out) override;
  bool DescribeUsbDevice(std::string_view instanceId, UsbDeviceDescription* out) override;

  [[nodiscard]] std::unique_ptr<DeviceMonitor> CreateMonitor();

  // Drives in station-file order; `i` is a position in that order.
  [[nodiscard]] size_t DriveCount() const { return drives_.size(); }
  // The position of "DriveN", or -1.
  [[nodiscard]] int FindDrive(std::string_view name) const;
  [[nodiscard]] const DriveConfig& Config(size_t i) const { return drives_[i]->config(); }
  [[nodiscard]] std::string PathOf(size_t i) const { return drives_[i]->path(); }
  [[nodiscard]] uint32_t DiskNumberOf(size_t i) const;
  [[nodiscard]] const StationConfig& station() const { return config_; }

  bool Plug(size_t i);
  bool Unplug(size_t i);
  // Pulls drive i out in the middle of a request: when it receives `step`
  // (the phase, or the chunk of a download) of the `nth` command of this kind
  // (0: the next one). That request fails as on a device gone mid-command,
  // and the drive stays unplugged until Plug.
  bool UnplugOn(size_t i, Command command, uint32_t nth, uint32_t step);
  // Pulls the drive and plugs it into another port: `hub` 0-based (-1: a
  // root-hub port), `hubPort` 1-based. False when that port does not exist,
  // carries an external hub, or holds another plugged drive.
  bool MoveDrive(size_t i, int hub, int hubPort);
  [[nodiscard]] DriveState Inspect(size_t i);

  bool SetTraceFile(const std::string& path) { return tracer_.SetFile(path); }
  void CaptureTrace(bool on) { tracer_.Capture(on); }
  [[nodiscard]] std::vector<TraceLine> Trace() const { return tracer_.Lines(); }
  void ClearTrace() { tracer_.Clear(); }
  void SetDumpDir(const std::string& dir);
  // Ends every open download (checks and dumps it), as at the end of a run.
  void Flush();

  // The instance IDs the topology reports (lower-cased).
  [[nodiscard]] static std::string RootHubId();
  [[nodiscard]] static std::string HubId(int hub);
  // A bridge's ID carries the VID and PID it shows on the bus.
  [[nodiscard]] static std::string BridgeId(int driveIndex, uint16_t vid = 0x1209,
                                            uint16_t pid = 0x0001);

 private:
  StationConfig config_;
  Clock& clock_;
  Tracer tracer_;
  std::shared_ptr<EventHub> events_;
  std::vector<std::shared_ptr<SimDrive>> drives_;
  // Where each drive is plugged; starts as the station file says.
  struct Position {
    int hub;
    int hubPort;
  };
  [[nodiscard]] Position PositionOf(size_t i) const;
  mutable std::mutex positionsMutex_;
  std::vector<Position> positions_;
};

}  // namespace qelvar::platform::sim
