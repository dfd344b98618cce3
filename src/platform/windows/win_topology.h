// The USB topology of a Windows machine.
//
//  - Hubs: from each host controller (the USB host controller interface
//    class, else "\\.\HCD0".."\\.\HCD9") down through its
//    root hub and every hub on a port, with the hub requests (root hub name,
//    node information, connection information, driver key name, connection
//    name). A port's device is named by the device ID of the node whose driver
//    key the port reports; a hub on a port is recorded before its parent.
//  - USB devices: the SetupDi set of the USB device interface class, bridges
//    first (only the first 24 records can name a disk's bridge, and a full
//    station has more USB devices than that).
//  - USB disks: the SetupDi set of the disk interface class. A disk is a
//    candidate when its instance ID contains "usbstor" (the USB mass-storage
//    driver) or its parent is a USB device (a UAS bridge's disks are
//    "scsi\disk..." under the bridge); a disk on a SATA or other controller
//    never is. Its number comes from IOCTL_STORAGE_GET_DEVICE_NUMBER, its
//    bridge is its parent node (or, for a composite bridge, the device above
//    the interface node "usb\vid_..&mi_00\..." the disk hangs on) and its
//    hub the bridge's parent.
// A USB 3 port is two ports to Windows: a USB 2 port and a SuperSpeed port,
// companions of each other (on the same root hub, or on the two hub devices
// of one external USB 3 hub). A device on a SuperSpeed-only port is counted
// on its USB 2 companion, in the hub view and as the disk's hub, so a drive
// keeps its station port whatever speed its bridge negotiates. Where the
// system gives no companion (older Windows, a USB 2 port) the port is taken
// as it is.
#pragma once

#include <string>
#include <string_view>

#include "platform/topology.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {

class WinTopology final : public Topology {
 public:
  explicit WinTopology(Win32Api& api = SystemWin32Api()) : api_(api) {}

  size_t EnumerateHubs(std::span<HubRecord> out) override;
  size_t EnumerateUsbDevices(std::span<UsbDeviceRecord> out) override;
  size_t EnumerateUsbDisks(std::span<UsbDiskNode> out) override;

  // What one walk of the hubs saw (defined with the walk).
  struct Walk;

 private:
  Walk WalkHubs();

  Win32Api& api_;
};

// A hub's instance ID from its symbolic name: "#" becomes "\", the "#" and
// class GUID at the end are dropped (as is a leading "\\?\" or "\\.\"), and
// the result is lower-cased and cut to 259 characters.
std::string HubIdFromSymbolicName(std::string_view name);

// The disk interface path the station opens for a disk's instance ID:
// "\\.\" + the lower-cased ID with "\" written as "#" + "#{disk class GUID}".
std::string DiskInterfacePath(std::string_view instanceId);

}  // namespace qelvar::platform::windows
