#include "discovery/port_candidates.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace qelvar::discovery {

namespace {

// A name field read up to its terminator, never past its capacity, so a field
// a backend left unterminated cannot run a comparison off its end.
template <size_t N>
std::string_view Field(const char (&field)[N]) {
  return {field, strnlen(field, N)};
}

}  // namespace

void ResolveDiskAncestry(const platform::UsbDiskNode& disk,
                         std::span<const UsbDeviceRecord> devices, UsbDiskRecord* out) {
  *out = UsbDiskRecord{};
  platform::CopyName(out->interfacePath, sizeof out->interfacePath, Field(disk.interfacePath));
  platform::CopyName(out->hubInstanceId, sizeof out->hubInstanceId, Field(disk.hubInstanceId));
  platform::LowerCaseName(out->hubInstanceId, sizeof out->hubInstanceId);
  out->diskNumber = disk.diskNumber;
  size_t searched = std::min(devices.size(), platform::kMaxUsbDevices);
  for (size_t i = 0; i < searched; ++i) {
    if (devices[i].devNode == disk.parentNode) {
      platform::CopyName(out->usbInstanceId, sizeof out->usbInstanceId,
                         Field(devices[i].instanceId));
      platform::LowerCaseName(out->usbInstanceId, sizeof out->usbInstanceId);
      break;
    }
  }
}

size_t MatchPortCandidates(std::span<const UsbDiskRecord> disks, std::span<const HubRecord> hubs,
                           std::span<PortCandidate> out) {
  size_t written = 0;
  for (const UsbDiskRecord& disk : disks) {
    if (written == out.size()) break;
    std::string_view diskHub = Field(disk.hubInstanceId);
    std::string_view bridge = Field(disk.usbInstanceId);
    bool matched = false;
    for (const HubRecord& hub : hubs) {
      if (matched) break;
      if (Field(hub.hubInstanceId) != diskHub) continue;
      // A hub may report more ports than the record holds; only the recorded
      // ones can be compared.
      size_t ports = std::min<size_t>(hub.portCount, platform::kMaxHubPorts);
      for (size_t p = 0; p < ports; ++p) {
        std::string_view attached = Field(hub.entries[p].deviceInstanceId);
        if (attached.empty() || attached != bridge) continue;
        PortCandidate& c = out[written++];
        c = PortCandidate{};
        c.diskNumber = disk.diskNumber;
        c.portIndex = hub.entries[p].portIndex;
        platform::CopyName(c.hubInstanceId, sizeof c.hubInstanceId, diskHub);
        platform::CopyName(c.usbInstanceId, sizeof c.usbInstanceId, bridge);
        matched = true;
        break;
      }
    }
  }
  return written;
}

size_t DiscoverPortCandidates(platform::Topology& topology, std::span<PortCandidate> out) {
  // About 160 KiB of tables: kept off the stack, for the life of one call.
  struct Tables {
    HubRecord hubs[platform::kMaxHubs];
    UsbDeviceRecord devices[platform::kMaxUsbDevices];
    platform::UsbDiskNode diskNodes[platform::kMaxUsbDisks];
    UsbDiskRecord disks[platform::kMaxUsbDisks];
  };
  auto t = std::make_unique<Tables>();

  size_t hubCount = std::min(topology.EnumerateHubs(t->hubs), platform::kMaxHubs);
  // Instance IDs are compared lower-cased, whatever case a backend reports.
  for (size_t h = 0; h < hubCount; ++h) {
    platform::LowerCaseName(t->hubs[h].hubInstanceId, sizeof t->hubs[h].hubInstanceId);
    for (HubPortEntry& e : t->hubs[h].entries) {
      platform::LowerCaseName(e.deviceInstanceId, sizeof e.deviceInstanceId);
    }
  }
  size_t deviceCount = std::min(topology.EnumerateUsbDevices(t->devices), platform::kMaxUsbDevices);
  size_t diskCount = std::min(topology.EnumerateUsbDisks(t->diskNodes), platform::kMaxUsbDisks);
  for (size_t i = 0; i < diskCount; ++i) {
    ResolveDiskAncestry(t->diskNodes[i], std::span(t->devices, deviceCount), &t->disks[i]);
  }
  std::span<PortCandidate> bounded = out.first(std::min(out.size(), platform::kMaxCandidates));
  return MatchPortCandidates(std::span(t->disks, diskCount), std::span(t->hubs, hubCount), bounded);
}

}  // namespace qelvar::discovery
