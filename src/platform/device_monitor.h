// Arrival and removal of USB disks, so the station can rescan when the
// operator plugs or pulls a drive.
#pragma once

#include <functional>
#include <string>

namespace qelvar::platform {

enum class DeviceChange { Arrival, Removal };

class DeviceMonitor {
 public:
  using Callback = std::function<void(DeviceChange change, const std::string& device)>;
  virtual ~DeviceMonitor() = default;
  // Starts delivering events on a thread of the monitor's own. False, with
  // *why saying what is missing, when this machine cannot be watched.
  virtual bool Start(Callback callback, std::string* why) = 0;
  // Stops delivery; no callback runs after Stop returns.
  virtual void Stop() = 0;
};

}  // namespace qelvar::platform
