// Which USB mass-storage disks are present, what each one's disk number is,
// and on which port of which hub it sits. The platform's Topology supplies the
// three views (hub ports, USB devices, USB disks); this joins them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/topology.h"

namespace qelvar::discovery {

using platform::HubPortEntry;
using platform::HubRecord;
using platform::UsbDeviceRecord;

// One USB disk with its parent chain resolved: the bridge it hangs on (by the
// bridge's USB instance ID) and the hub the bridge is plugged into.
struct UsbDiskRecord {
  char interfacePath[platform::kNameCapacity] = {};
  char hubInstanceId[platform::kNameCapacity] = {};
  char usbInstanceId[platform::kNameCapacity] = {};  // empty: bridge not among the USB devices
  uint32_t diskNumber = 0;
};

// A USB disk tied to one physical hub port.
struct PortCandidate {
  uint32_t diskNumber = 0;
  uint16_t portIndex = 0;  // 0-based port on the hub
  char hubInstanceId[platform::kNameCapacity] = {};
  char usbInstanceId[platform::kNameCapacity] = {};  // the bridge's, lower-cased
};

// Builds the disk's record from the backend's node. The bridge's instance ID
// is looked up among the first kMaxUsbDevices USB device records by device
// node; without a hit it stays empty and the disk can match no hub port.
void ResolveDiskAncestry(const platform::UsbDiskNode& disk,
                         std::span<const UsbDeviceRecord> devices, UsbDiskRecord* out);

// Joins the views: for each disk in the order given, the first hub (in table
// order) whose instance ID equals the disk's hub instance ID and that has a
// port whose device is the disk's bridge yields one candidate. Writes at most
// out.size() candidates; returns how many.
size_t MatchPortCandidates(std::span<const UsbDiskRecord> disks, std::span<const HubRecord> hubs,
                           std::span<PortCandidate> out);

// Asks the topology for its three views (at most 24 entries each) and matches
// them. Returns the number of candidates written into `out` (at most
// min(out.size(), 24)), in disk enumeration order; 0 when none.
size_t DiscoverPortCandidates(platform::Topology& topology, std::span<PortCandidate> out);

}  // namespace qelvar::discovery
