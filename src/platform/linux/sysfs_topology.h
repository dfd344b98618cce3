// The USB topology of a Linux machine, read from sysfs.
//
// Why sysfs and not libudev: libudev reads the same files, but it cannot be
// pointed at a fake tree without umockdev's LD_PRELOAD, and AddressSanitizer
// refuses to run under a preloaded library. Reading sysfs under a configurable
// root lets the tests build sysfs-shaped trees in a temporary folder and run
// the real code on them under every sanitizer.
//
// The three views:
//  - USB devices: the usb_device nodes (entries of /sys/bus/usb/devices that
//    carry bDeviceClass; interfaces do not).
//  - Hubs: usb_device nodes of class 09h, root hubs included. Ports 1 to
//    min(maxchild, 24); each entry is the device whose devpath ends in that
//    port number. A device with address (devnum) 0 is skipped, and a hub on a
//    port is recorded before the hub it hangs on.
//  - USB disks: /sys/block/sdX whose ancestry has a USB interface bound to
//    usb-storage, one of its "ums-" sub-drivers or uas; the bridge (the
//    interface's usb_device) is the parent and the hub the bridge is plugged
//    into the grandparent.
// A USB 3 port shows up twice, on the USB 2 bus and on the SuperSpeed bus,
// the two joined by a "peer" link. A device on the SuperSpeed side of such a
// pair is counted on the USB 2 side (that hub, that port number) in both the
// hub view and the disk's hub, so one physical port has one identity at any
// speed.
// Instance IDs name a USB device by its host controller's lower-cased sysfs
// path relative to the root, the controller's side and the hub port chain,
// without the bus number ("/sys/devices/pci0000:00/0000:00:05.0-usbv2-0:1"
// for the device on root port 1 of the USB 2 bus). Unlike devnum, bus
// numbers, sdX names and PCI enumeration order, these follow the physical
// ports, across a reset of the host controller too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/topology.h"

namespace qelvar::platform::linux_backend {

class SysfsTopology final : public Topology {
 public:
  // `root` is the folder holding "sys"; "/" on a real machine.
  explicit SysfsTopology(std::string root = "/");

  size_t EnumerateHubs(std::span<HubRecord> out) override;
  size_t EnumerateUsbDevices(std::span<UsbDeviceRecord> out) override;
  size_t EnumerateUsbDisks(std::span<UsbDiskNode> out) override;
  bool DescribeUsbDevice(std::string_view instanceId, UsbDeviceDescription* out) override;

 private:
  // Where the station counts a USB device: its hub's device path and the
  // port number on that hub.
  struct Position {
    std::string hub;
    int port = 0;
    bool viaPeer = false;  // moved from the SuperSpeed side of a paired port
  };
  struct UsbNode;
  struct Tree;
  static Position CountedPosition(const std::filesystem::path& device);
  static std::string UsbInstanceId(const std::string& rootPath, const std::string& path);
  // `withStorage`: also look for interfaces bound to a storage driver.
  Tree ReadTree(bool withStorage);
  // The device-node handle of a sysfs device path: the same path gets the
  // same handle for the life of this object; 0 is never handed out.
  uint32_t NodeHandle(const std::string& path);

  std::string root_;
  std::map<std::string, uint32_t> handles_;
};

// sda -> 0, sdz -> 25, sdaa -> 26; nothing for names that are not whole sd
// disk names (partitions such as sda1, other block devices).
std::optional<uint32_t> DiskNumberFromSdName(std::string_view name);

// Orders sysfs device paths component by component. USB device names compare
// by bus and port numbers, so "1-1.2" comes before "1-1.10" and usb2 before
// usb10, and drives are taken in hub-port order; every other component
// (PCI addresses in hex, interfaces, SCSI names) compares as text.
bool SysfsPathLess(std::string_view a, std::string_view b);

}  // namespace qelvar::platform::linux_backend
