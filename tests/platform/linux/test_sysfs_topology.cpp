#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "discovery/port_candidates.h"
#include "platform/linux/sysfs_topology.h"
#include "platform/linux/sysfs_tree.h"

namespace qelvar::platform::linux_backend {
namespace {

// Instance IDs: the controller's path, its side, the hub port chain.
const std::string kUsb1 = "/sys/devices/pci0000:00/0000:00:05.0-usbv2";
const std::string kUsb2 = "/sys/devices/pci0000:00/0000:00:0d.0-usbv2";

// The station of the examples:
//   usb1 (4 ports)
//     port 1: hub 1-1 (8 ports)
//        port 2: bridge 1-1.2, usb-storage, sdd
//        port 5: bridge 1-1.5, usb-storage, sdc (removable medium)
//        port 8: hub 1-1.8 (4 ports)
//           port 3: bridge 1-1.8.3, uas, sdaa
//     port 2: bridge 1-2, usb-storage, sdb            (a drive on a root-hub port)
//     port 3: bridge 1-3 with address 0, usb-storage, sde
//     port 4: device 1-4 whose interface is no mass storage, with sdf below it
//   usb2 on a controller named in upper case (0000:00:0D.0), 1 port
//     port 1: hub 2-1 (26 ports)
//        port 24: bridge 2-1.24, usb-storage, sdg
//        port 25: bridge 2-1.25, usb-storage, sdh
//   sda on a SATA controller.
class SysfsTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto usb1 = tree.RootHub("pci0000:00/0000:00:05.0", 1, 4);
    auto hub = tree.UsbDevice(usb1, 1, "1", "09", 8, 2);
    tree.Disk(tree.Interface(tree.UsbDevice(hub, 1, "1.2", "00", 0, 3), "usb-storage"), 8, "sdd");
    tree.Disk(tree.Interface(tree.UsbDevice(hub, 1, "1.5", "00", 0, 4), "usb-storage"), 9, "sdc",
              true);
    auto nested = tree.UsbDevice(hub, 1, "1.8", "09", 4, 5);
    tree.Disk(tree.Interface(tree.UsbDevice(nested, 1, "1.8.3", "00", 0, 6), "uas"), 10, "sdaa");
    tree.Disk(tree.Interface(tree.UsbDevice(usb1, 1, "2", "00", 0, 7), "usb-storage"), 11, "sdb");
    tree.Disk(tree.Interface(tree.UsbDevice(usb1, 1, "3", "00", 0, 0), "usb-storage"), 12, "sde");
    tree.Disk(tree.Interface(tree.UsbDevice(usb1, 1, "4", "00", 0, 8), "usbtest", "ff"), 13, "sdf");

    auto usb2 = tree.RootHub("pci0000:00/0000:00:0D.0", 2, 1);
    auto wide = tree.UsbDevice(usb2, 2, "1", "09", 26, 2);
    tree.Disk(tree.Interface(tree.UsbDevice(wide, 2, "1.24", "00", 0, 3), "usb-storage"), 14,
              "sdg");
    tree.Disk(tree.Interface(tree.UsbDevice(wide, 2, "1.25", "00", 0, 4), "usb-storage"), 15,
              "sdh");

    tree.Disk(std::filesystem::path(tree.Root()) / "sys/devices/pci0000:00/0000:00:1f.2/ata1", 0,
              "sda");
  }

  testing::SysfsTree tree;
};

// Hub -> {port index -> attached device}.
using HubView = std::vector<std::pair<std::string, std::map<int, std::string>>>;

TEST_F(SysfsTopologyTest, HubsListTheirPortsChildHubsFirst) {
  SysfsTopology topology(tree.Root());
  std::array<HubRecord, kMaxHubs> hubs;
  size_t n = topology.EnumerateHubs(hubs);
  HubView view;
  std::vector<int> portCounts;
  for (size_t i = 0; i < n; ++i) {
    std::map<int, std::string> ports;
    for (const HubPortEntry& e : hubs[i].entries) {
      if (e.deviceInstanceId[0] != '\0') ports[e.portIndex] = e.deviceInstanceId;
    }
    view.emplace_back(hubs[i].hubInstanceId, ports);
    portCounts.push_back(hubs[i].portCount);
  }
  EXPECT_EQ(
      view,
      (HubView{
          {kUsb1 + "-0:1.8", {{2, kUsb1 + "-0:1.8.3"}}},
          {kUsb1 + "-0:1", {{1, kUsb1 + "-0:1.2"}, {4, kUsb1 + "-0:1.5"}, {7, kUsb1 + "-0:1.8"}}},
          // Port 3's device has address 0 and is left out.
          {kUsb1, {{0, kUsb1 + "-0:1"}, {1, kUsb1 + "-0:2"}, {3, kUsb1 + "-0:4"}}},
          // Only ports 1 to 24 of the 26-port hub are looked at.
          {kUsb2 + "-0:1", {{23, kUsb2 + "-0:1.24"}}},
          {kUsb2, {{0, kUsb2 + "-0:1"}}},
      }));
  EXPECT_EQ(portCounts, (std::vector<int>{4, 8, 4, 26, 1}));
}

TEST_F(SysfsTopologyTest, DisksAreUsbStorageDisksInDevicePathOrder) {
  SysfsTopology topology(tree.Root());
  std::array<UsbDiskNode, kMaxUsbDisks> disks;
  size_t n = topology.EnumerateUsbDisks(disks);
  std::array<UsbDeviceRecord, kMaxUsbDevices> devices;
  size_t deviceCount = topology.EnumerateUsbDevices(devices);
  std::map<uint32_t, std::string> byNode;
  for (size_t i = 0; i < deviceCount; ++i) byNode[devices[i].devNode] = devices[i].instanceId;

  struct Disk {
    uint32_t number;
    std::string path, bridge, hub;
    bool operator==(const Disk&) const = default;
  };
  std::vector<Disk> found;
  for (size_t i = 0; i < n; ++i) {
    found.push_back({disks[i].diskNumber, disks[i].interfacePath, byNode[disks[i].parentNode],
                     disks[i].hubInstanceId});
  }
  // Not sda (SATA) and not sdf (its interface is no mass storage). The
  // removable sdc and the address-0 sde are still USB disks here; the scan's
  // checks and the hub view keep them off the list.
  EXPECT_EQ(found, (std::vector<Disk>{
                       {3, "/dev/sdd", kUsb1 + "-0:1.2", kUsb1 + "-0:1"},
                       {2, "/dev/sdc", kUsb1 + "-0:1.5", kUsb1 + "-0:1"},
                       {26, "/dev/sdaa", kUsb1 + "-0:1.8.3", kUsb1 + "-0:1.8"},
                       {1, "/dev/sdb", kUsb1 + "-0:2", kUsb1},
                       {4, "/dev/sde", kUsb1 + "-0:3", kUsb1},
                       {6, "/dev/sdg", kUsb2 + "-0:1.24", kUsb2 + "-0:1"},
                       {7, "/dev/sdh", kUsb2 + "-0:1.25", kUsb2 + "-0:1"},
                   }));
}

TEST_F(SysfsTopologyTest, UsbDevicesListBridgesFirstAndNoInterfaces) {
  SysfsTopology topology(tree.Root());
  std::array<UsbDeviceRecord, kMaxUsbDevices> devices;
  size_t n = topology.EnumerateUsbDevices(devices);
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.emplace_back(devices[i].instanceId);
  EXPECT_EQ(ids, (std::vector<std::string>{
                     kUsb1 + "-0:1.2", kUsb1 + "-0:1.5", kUsb1 + "-0:1.8.3", kUsb1 + "-0:2",
                     kUsb1 + "-0:3", kUsb2 + "-0:1.24", kUsb2 + "-0:1.25", kUsb1, kUsb1 + "-0:1",
                     kUsb1 + "-0:1.8", kUsb1 + "-0:4", kUsb2, kUsb2 + "-0:1"}));
  // Handles are stable between enumerations.
  std::array<UsbDeviceRecord, kMaxUsbDevices> again;
  ASSERT_EQ(topology.EnumerateUsbDevices(again), n);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(again[i].devNode, devices[i].devNode);
}

TEST_F(SysfsTopologyTest, CandidatesTieEachFixedTreeDiskToItsHubPort) {
  SysfsTopology topology(tree.Root());
  std::array<discovery::PortCandidate, 24> out;
  size_t n = discovery::DiscoverPortCandidates(topology, out);
  std::vector<std::tuple<uint32_t, int, std::string>> found;
  for (size_t i = 0; i < n; ++i) {
    found.emplace_back(out[i].diskNumber, out[i].portIndex, out[i].hubInstanceId);
  }
  EXPECT_EQ(found, (std::vector<std::tuple<uint32_t, int, std::string>>{
                       {3, 1, kUsb1 + "-0:1"},
                       {2, 4, kUsb1 + "-0:1"},
                       {26, 2, kUsb1 + "-0:1.8"},
                       {1, 1, kUsb1},
                       {6, 23, kUsb2 + "-0:1"},
                   }));
}

// One xHCI controller with its USB 2 bus (usb1) and SuperSpeed bus (usb2),
// root ports 1-3 paired, and a USB 3 hub on root port 1 that is two hubs to
// the kernel, 1-1 and 2-1, with its four ports paired. Root port 4 of the
// SuperSpeed bus has no peer link.
struct PairedStation {
  std::filesystem::path usb1, usb2, hub2, hub3;

  explicit PairedStation(testing::SysfsTree& tree) {
    using T = testing::SysfsTree;
    usb1 = tree.RootHub("pci0000:00/0000:00:05.0", 1, 4);
    usb2 = tree.RootHub("pci0000:00/0000:00:05.0", 2, 4);
    hub2 = tree.UsbDevice(usb1, 1, "1", "09", 4, 2);
    hub3 = tree.UsbDevice(usb2, 2, "1", "09", 4, 2);
    for (const auto& [hub, speed] : {std::pair{usb1, "480"}, std::pair{usb2, "5000"},
                                     std::pair{hub2, "480"}, std::pair{hub3, "5000"}}) {
      T::Write(hub / "speed", speed);
    }
    for (int port = 1; port <= 3; ++port) T::Peer(T::PortDir(usb1, port), T::PortDir(usb2, port));
    T::PortDir(usb2, 4);
    for (int port = 1; port <= 4; ++port) T::Peer(T::PortDir(hub2, port), T::PortDir(hub3, port));
  }
};

// A bridge with its disk on `hub` at `devpath`.
void Bridge(testing::SysfsTree& tree, const std::filesystem::path& hub, int bus,
            const std::string& devpath, int host, const std::string& disk) {
  tree.Disk(tree.Interface(tree.UsbDevice(hub, bus, devpath, "00", 0, host), "uas"), host, disk);
}

using CandidateView = std::vector<std::tuple<uint32_t, int, std::string>>;

CandidateView Candidates(const testing::SysfsTree& tree) {
  SysfsTopology topology(tree.Root());
  std::array<discovery::PortCandidate, 24> out;
  size_t n = discovery::DiscoverPortCandidates(topology, out);
  CandidateView found;
  for (size_t i = 0; i < n; ++i) {
    found.emplace_back(out[i].diskNumber, out[i].portIndex, out[i].hubInstanceId);
  }
  return found;
}

const std::string kHub2 = kUsb1 + "-0:1";

TEST(PeerPorts, SuperSpeedBridgesCountOnTheUsb2SideOfTheirPort) {
  testing::SysfsTree tree;
  PairedStation s(tree);
  Bridge(tree, s.hub2, 1, "1.4", 5, "sdb");  // hub port 4 at USB 2 speed
  Bridge(tree, s.hub3, 2, "1.2", 6, "sdc");  // hub port 2 at SuperSpeed
  Bridge(tree, s.usb2, 2, "3", 7, "sdd");    // root port 3 at SuperSpeed
  Bridge(tree, s.usb2, 2, "4", 8, "sde");    // root port 4: no peer link, taken as it is
  EXPECT_EQ(Candidates(tree), (CandidateView{
                                  {1, 3, kHub2},
                                  {2, 1, kHub2},
                                  {3, 2, kUsb1},
                                  {4, 3, "/sys/devices/pci0000:00/0000:00:05.0-usbv3"},
                              }));
}

TEST(PeerPorts, ABridgeKeepsItsPortIdentityAtEitherSpeed) {
  for (bool superSpeed : {false, true}) {
    testing::SysfsTree tree;
    PairedStation s(tree);
    Bridge(tree, superSpeed ? s.hub3 : s.hub2, superSpeed ? 2 : 1, "1.2", 5, "sdb");
    Bridge(tree, superSpeed ? s.usb2 : s.usb1, superSpeed ? 2 : 1, "3", 6, "sdc");
    EXPECT_EQ(Candidates(tree), (CandidateView{{1, 1, kHub2}, {2, 2, kUsb1}}))
        << (superSpeed ? "at SuperSpeed" : "at USB 2 speed");
  }
}

// The station of PairedStation with a bridge on each side of a paired hub
// port and on each side of a paired root port, its buses numbered `usb2Bus`
// and `superSpeedBus`.
CandidateView RenumberedStation(int usb2Bus, int superSpeedBus) {
  using T = testing::SysfsTree;
  testing::SysfsTree tree;
  auto usb1 = tree.RootHub("pci0000:00/0000:00:05.0", usb2Bus, 4);
  auto usb2 = tree.RootHub("pci0000:00/0000:00:05.0", superSpeedBus, 4, "5000");
  auto hub2 = tree.UsbDevice(usb1, usb2Bus, "1", "09", 4, 2);
  auto hub3 = tree.UsbDevice(usb2, superSpeedBus, "1", "09", 4, 2);
  T::Write(hub2 / "speed", "480");
  T::Write(hub3 / "speed", "5000");
  for (int port = 1; port <= 4; ++port) {
    T::Peer(T::PortDir(usb1, port), T::PortDir(usb2, port));
    T::Peer(T::PortDir(hub2, port), T::PortDir(hub3, port));
  }
  auto nested = tree.UsbDevice(hub2, usb2Bus, "1.3", "09", 4, 3);
  Bridge(tree, hub2, usb2Bus, "1.2", 4, "sdb");
  Bridge(tree, hub3, superSpeedBus, "1.4", 5, "sdc");
  Bridge(tree, nested, usb2Bus, "1.3.1", 6, "sdd");
  Bridge(tree, usb2, superSpeedBus, "2", 7, "sde");
  Bridge(tree, usb1, usb2Bus, "3", 8, "sdf");
  return Candidates(tree);
}

TEST(PeerPorts, AHostControllerResetThatRenumbersTheBusesKeepsEveryHubPort) {
  // The kernel re-registered the controller: buses 1 and 2 came back as 3
  // and 4. Nothing else moved, so no drive's hub port may move.
  CandidateView before = RenumberedStation(1, 2);
  // In device path order: the USB 2 bus first, then the SuperSpeed bus.
  EXPECT_EQ(
      before,
      (CandidateView{
          {1, 1, kHub2}, {3, 0, kUsb1 + "-0:1.3"}, {5, 2, kUsb1}, {2, 3, kHub2}, {4, 1, kUsb1}}));
  EXPECT_EQ(RenumberedStation(3, 4), before);
}

TEST(SysfsTopology, UsbStorageSubDriversForBridgesAreMassStorage) {
  testing::SysfsTree tree;
  auto usb1 = tree.RootHub("pci0000:00/0000:00:05.0", 1, 5);
  const char* drivers[] = {"ums-cypress", "ums-isd200", "ums-usbat", "usbhid", "ums-"};
  for (int port = 1; port <= 5; ++port) {
    auto bridge = tree.UsbDevice(usb1, 1, std::to_string(port), "00", 0, port + 1);
    tree.Disk(tree.Interface(bridge, drivers[port - 1]), port,
              std::string("sd") + static_cast<char>('a' + port));
  }
  EXPECT_EQ(Candidates(tree), (CandidateView{{1, 0, kUsb1}, {2, 1, kUsb1}, {3, 2, kUsb1}}));
}

TEST(SysfsTopology, ViewsStopAtTheCallersCapacity) {
  testing::SysfsTree tree;
  auto usb1 = tree.RootHub("pci0000:00/0000:00:05.0", 1, 15);
  for (int port = 1; port <= 15; ++port) {
    auto bridge = tree.UsbDevice(usb1, 1, std::to_string(port), "00", 0, port + 1);
    std::string name = "sd";
    name += static_cast<char>('a' + port - 1);
    tree.Disk(tree.Interface(bridge, "usb-storage"), port, name);
  }
  SysfsTopology topology(tree.Root());
  std::array<UsbDeviceRecord, 4> devices;
  std::array<UsbDiskNode, 3> disks;
  EXPECT_EQ(topology.EnumerateUsbDevices(devices), 4u);
  ASSERT_EQ(topology.EnumerateUsbDisks(disks), 3u);
  // Ports 1, 2, 3 in number order, not 1, 10, 11.
  EXPECT_EQ(disks[2].diskNumber, 2u);
}

TEST(DiskNumberFromSdName, CountsSdNamesLikeTheKernel) {
  const std::pair<const char*, std::optional<uint32_t>> cases[] = {
      {"sda", 0},           {"sdz", 25},           {"sdaa", 26},          {"sdab", 27},
      {"sdba", 52},         {"sdzz", 701},         {"sdaaa", 702},        {"sda1", std::nullopt},
      {"sd", std::nullopt}, {"sdA", std::nullopt}, {"sr0", std::nullopt}, {"nvme0n1", std::nullopt},
  };
  for (const auto& [name, number] : cases) EXPECT_EQ(DiskNumberFromSdName(name), number) << name;
}

TEST(SysfsPathLess, OrdersUsbNamesByPortNumbersAndTheRestAsText) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/usb1/1-1/1-1.2", "/usb1/1-1/1-1.10", true},
      {"/usb1/1-1/1-1.10", "/usb1/1-1/1-1.2", false},
      {"/usb2/2-1", "/usb10/10-1", true},
      {"/usb1/1-1", "/usb1/1-1/1-1.2", true},
      {"/pci0000:00/0000:00:05.0/usb3", "/pci0000:00/0000:00:0d.0/usb1", true},
  };
  for (const auto& [a, b, less] : cases) EXPECT_EQ(SysfsPathLess(a, b), less) << a << " < " << b;
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
