// Hot plug on Linux: a libudev monitor on block disks, on a thread of its own.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/device_monitor.h"

namespace qelvar::platform::linux_backend {

// What one uevent means to the station: the arrival or removal of a USB disk,
// or nothing. "change" events are not device changes: udev sends one at every
// close of a disk opened for writing, and rescanning on them would rescan
// after every command a drive is sent. Partitions and disks that are not on
// USB (their device path runs through no usbN) do not concern the station.
[[nodiscard]] std::optional<DeviceChange> ClassifyDiskEvent(std::string_view action,
                                                            std::string_view devtype,
                                                            std::string_view devpath);

// True when a udevd keeps its control socket in `udevRunDir`. Without one,
// the udev source delivers nothing and only the kernel source can watch.
[[nodiscard]] bool UdevdRunning(const std::string& udevRunDir = "/run/udev");

class UdevDeviceMonitor final : public DeviceMonitor {
 public:
  enum class Source {
    // Events after udevd has processed them (device nodes exist). Needs a
    // running udevd.
    Udev,
    // Raw kernel events; for machines without udevd, where devtmpfs creates
    // the nodes itself.
    Kernel,
  };

  // `udevRunDir` is where a running udevd keeps its control socket.
  explicit UdevDeviceMonitor(Source source = Source::Udev, std::string udevRunDir = "/run/udev");
  ~UdevDeviceMonitor() override;
  UdevDeviceMonitor(const UdevDeviceMonitor&) = delete;
  UdevDeviceMonitor& operator=(const UdevDeviceMonitor&) = delete;

  // The callback runs on the monitor's thread. Not to be called again while
  // started.
  bool Start(Callback callback, std::string* why) override;
  // Returns within about one poll period (the thread is woken at once); must
  // not be called from the callback.
  void Stop() override;

 private:
  void Run(Callback callback);

  Source source_;
  std::string udevRunDir_;
  struct Handles;
  std::unique_ptr<Handles> handles_;  // udev context and monitor, released by Stop
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qelvar::platform::linux_backend
