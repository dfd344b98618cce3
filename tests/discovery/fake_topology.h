// A Topology answered from plain tables, with a helper that plugs a bridge
// and its disk into a hub port the way a backend would report it.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/topology.h"

namespace qelvar::testing {

class FakeTopology final : public platform::Topology {
 public:
  std::vector<platform::HubRecord> hubs;
  std::vector<platform::UsbDeviceRecord> devices;
  std::vector<platform::UsbDiskNode> disks;

  size_t EnumerateHubs(std::span<platform::HubRecord> out) override { return Copy(hubs, out); }
  size_t EnumerateUsbDevices(std::span<platform::UsbDeviceRecord> out) override {
    return Copy(devices, out);
  }
  size_t EnumerateUsbDisks(std::span<platform::UsbDiskNode> out) override {
    return Copy(disks, out);
  }

  // A bridge carrying disk `disk` on port `port` (1-based) of hub `hub`.
  void Plug(std::string_view hub, int port, uint32_t disk, uint8_t hubPorts = 8) {
    platform::HubRecord& h = Hub(hub, hubPorts);
    std::string bridge =
        std::string(hub) + "/bridge-on-" + std::to_string(port) + "-disk-" + std::to_string(disk);
    platform::HubPortEntry& e = h.entries[port - 1];
    e.portIndex = static_cast<uint16_t>(port - 1);
    platform::CopyName(e.deviceInstanceId, sizeof e.deviceInstanceId, bridge);
    platform::UsbDeviceRecord d;
    d.devNode = nextNode_++;
    platform::CopyName(d.instanceId, sizeof d.instanceId, bridge);
    devices.push_back(d);
    platform::UsbDiskNode n;
    n.diskNumber = disk;
    n.parentNode = d.devNode;
    platform::CopyName(n.interfacePath, sizeof n.interfacePath, "disk" + std::to_string(disk));
    platform::CopyName(n.hubInstanceId, sizeof n.hubInstanceId, hub);
    disks.push_back(n);
  }

  void UnplugAll() {
    hubs.clear();
    devices.clear();
    disks.clear();
  }

  platform::HubRecord& Hub(std::string_view id, uint8_t ports = 8) {
    for (auto& h : hubs) {
      if (std::string_view(h.hubInstanceId) == id) return h;
    }
    platform::HubRecord h;
    h.portCount = ports;
    platform::CopyName(h.hubInstanceId, platform::kNameCapacity, id);
    hubs.push_back(h);
    return hubs.back();
  }

 private:
  template <typename T>
  static size_t Copy(const std::vector<T>& from, std::span<T> out) {
    size_t n = std::min(from.size(), out.size());
    std::copy_n(from.begin(), n, out.begin());
    return n;
  }
  uint32_t nextNode_ = 100;
};

}  // namespace qelvar::testing
