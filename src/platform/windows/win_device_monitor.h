// Hot plug on Windows: the device-change notification for the disk interface
// class, received by a message-only window on a thread of the monitor's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "platform/device_monitor.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {

// What one WM_DEVICECHANGE means to the station: the arrival or removal of a
// disk interface (with its name in *device), or nothing. `header` points at
// the message's DEV_BROADCAST_HDR, `length` bytes of it readable.
[[nodiscard]] std::optional<DeviceChange> ClassifyDeviceChange(WPARAM event, const void* header,
                                                               size_t length, std::string* device);

class WinDeviceMonitor final : public DeviceMonitor {
 public:
  WinDeviceMonitor() = default;
  ~WinDeviceMonitor() override;
  WinDeviceMonitor(const WinDeviceMonitor&) = delete;
  WinDeviceMonitor& operator=(const WinDeviceMonitor&) = delete;

  // The callback runs on the monitor's thread. Not to be called again while
  // started.
  bool Start(Callback callback, std::string* why) override;
  // Must not be called from the callback.
  void Stop() override;

 private:
  std::thread thread_;
  std::atomic<DWORD> threadId_{0};
};

}  // namespace qelvar::platform::windows
