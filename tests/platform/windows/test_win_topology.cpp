#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "discovery/port_candidates.h"
#include "platform/windows/fake_win32.h"
#include "platform/windows/win_topology.h"

namespace qelvar::platform::windows {
namespace {

using testing::Bytes;
using testing::FakeWin32;
using testing::Put16;
using testing::Put32;
using testing::PutWide;

// The hub requests' answers, laid out as the system returns them.
Bytes NodeInformation(uint8_t ports) {
  Bytes b(76, 0);  // NodeType 0 (hub), then the hub descriptor
  b[4] = 9;        // bDescriptorLength
  b[5] = 0x29;     // hub descriptor
  b[6] = ports;    // bNumberOfPorts
  return b;
}
Bytes Connection(uint32_t port, uint16_t address, bool hub, uint32_t status = 1) {
  Bytes b(35, 0);
  Put32(b, 0, port);
  b[24] = hub ? 1 : 0;  // DeviceIsHub
  Put16(b, 25, address);
  Put32(b, 31, status);  // 1: DeviceConnected
  return b;
}
// USB_NODE_CONNECTION_NAME / _DRIVERKEY_NAME: index, whole length, wide name.
Bytes PortName(uint32_t port, const std::string& name) {
  Bytes b;
  Put32(b, 0, port);
  Put32(b, 4, static_cast<uint32_t>(8 + 2 * (name.size() + 1)));
  PutWide(b, 8, name);
  return b;
}
Bytes RootHubName(const std::string& name) {
  Bytes b;
  Put32(b, 0, static_cast<uint32_t>(4 + 2 * (name.size() + 1)));
  PutWide(b, 4, name);
  return b;
}
// USB_NODE_CONNECTION_INFORMATION_EX_V2 with the port's protocols.
Bytes Protocols(uint32_t port, uint32_t protocols) {
  Bytes b;
  Put32(b, 0, port);
  Put32(b, 4, 16);
  Put32(b, 8, protocols);
  Put32(b, 12, 0);
  return b;
}
// USB_PORT_CONNECTOR_PROPERTIES: companion port and hub.
Bytes Connector(uint32_t port, uint16_t companionPort, const std::string& companionHub) {
  Bytes b;
  Put32(b, 0, port);
  Put32(b, 4, static_cast<uint32_t>(16 + 2 * (companionHub.size() + 1)));
  Put32(b, 8, 1);  // user connectable
  Put16(b, 12, 0);
  Put16(b, 14, companionPort);
  PutWide(b, 16, companionHub);
  return b;
}
Bytes DeviceNumber(uint32_t number) {
  Bytes b;
  Put32(b, 0, FILE_DEVICE_DISK);
  Put32(b, 4, number);
  Put32(b, 8, 0xFFFFFFFF);
  return b;
}

constexpr uint32_t kUsb2 = 3, kUsb3Only = 4;  // Usb110 | Usb200; Usb300
const std::string kGuid = "#{f18a0e88-c30c-11d0-8815-00a0c91ed8}";
const std::string kRoot = "USB#ROOT_HUB30#4&2F1E6A1B&0&0" + kGuid;
const std::string kHubA = "USB#VID_05E3&PID_0608#5&1A2B&0&1" + kGuid;
const std::string kHubB = "USB#VID_05E3&PID_0608#6&3C4D&0&1" + kGuid;
const std::string kRootId = "usb\\root_hub30\\4&2f1e6a1b&0&0";
const std::string kHubAId = "usb\\vid_05e3&pid_0608\\5&1a2b&0&1";
const std::string kHubBId = "usb\\vid_05e3&pid_0608\\6&3c4d&0&1";
const std::string kBridge1 = "usb\\vid_152d&pid_0578\\000000000001";
const std::string kBridge2 = "usb\\vid_152d&pid_0578\\000000000002";
const std::string kStick = "usb\\vid_0781&pid_5567\\4c530001";
const std::string kBridge3 = "usb\\vid_174c&pid_55aa\\00000000000000000000";
const std::string kClassKey = "{36fc9e60-c465-11cf-8056-444553540000}\\";

// The station of these tests:
//   HCD0, root hub of an xHCI controller, ports 1-4 USB 2, 5-8 their
//   SuperSpeed companions (5 is 1's, 7 is 3's)
//     port 1: hub A (USB 2, 4 ports)
//        port 1: hub B (4 ports)
//           port 2: bridge 1, usbstor disk 1
//        port 3: bridge 2, usbstor disk 2
//        port 4: a memory stick, usbstor disk 3 (removable medium)
//     port 2: a device with address 0
//     port 3 at high speed, or port 7 at SuperSpeed: a USB 3 bridge running
//        UAS, its disk 4 a "scsi\disk..." node
//   disk 0 on the SATA controller.
class WinTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DEVINST xhci = fake.AddNode(1, "PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0");
    DEVINST root = fake.AddNode(xhci, "USB\\ROOT_HUB30\\4&2F1E6A1B&0&0", kClassKey + "0001");
    DEVINST hubA = fake.AddNode(root, "USB\\VID_05E3&PID_0608\\5&1A2B&0&1", kClassKey + "0002");
    DEVINST hubB = fake.AddNode(hubA, "USB\\VID_05E3&PID_0608\\6&3C4D&0&1", kClassKey + "0003");
    DEVINST bridge1 =
        fake.AddNode(hubB, "USB\\VID_152D&PID_0578\\000000000001", kClassKey + "0004");
    DEVINST bridge2 =
        fake.AddNode(hubA, "USB\\VID_152D&PID_0578\\000000000002", kClassKey + "0005");
    DEVINST stick = fake.AddNode(hubA, "USB\\VID_0781&PID_5567\\4C530001", kClassKey + "0006");
    DEVINST bridge3 =
        fake.AddNode(root, "USB\\VID_174C&PID_55AA\\00000000000000000000", kClassKey + "0007");
    DEVINST sata = fake.AddNode(1, "PCI\\VEN_8086&DEV_A102\\3&11583659&0&B8");
    disks = {
        fake.AddNode(sata, "SCSI\\DISK&VEN_&PROD_SAMSUNG_SSD\\4&2A1B&0&000000"),
        fake.AddNode(bridge1, "USBSTOR\\DISK&VEN_QELVAR&PROD_SSD&REV_1.00\\000000000001&0"),
        fake.AddNode(bridge2, "USBSTOR\\DISK&VEN_QELVAR&PROD_SSD&REV_1.00\\000000000002&0"),
        fake.AddNode(stick, "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER&REV_1.00\\4C530001&0"),
        fake.AddNode(bridge3, "SCSI\\DISK&VEN_QELVAR&PROD_SSD\\7&1F2E&0&000000"),
    };
    for (DEVINST d : disks) fake.sets["disk"].push_back({d});
    for (DEVINST d : {hubA, hubB, bridge1, bridge2, stick, bridge3})
      fake.sets["usb"].push_back({d});
    for (uint32_t n = 0; n < disks.size(); ++n) {
      auto& device = fake.devices[DiskInterfacePath(fake.nodes[disks[n]].id)];
      device.answers[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, DeviceNumber(n), 0};
    }

    fake.devices["\\\\.\\HCD0"].answers[{IOCTL_USB_GET_ROOT_HUB_NAME, 0}] = {true,
                                                                             RootHubName(kRoot), 0};
    auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
    rootHub[{IOCTL_USB_GET_NODE_INFORMATION, 0}] = {true, NodeInformation(8), 0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 1}] = {true, Connection(1, 2, true), 0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1}] = {
        true, PortName(1, kClassKey + "0002"), 0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_NAME, 1}] = {true, PortName(1, kHubA), 0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, 1}] = {true, Protocols(1, kUsb2), 0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 2}] = {true, Connection(2, 0, true), 0};
    for (uint32_t port = 1; port <= 8; ++port) {
      rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, port}] = {
          true, Protocols(port, port <= 4 ? kUsb2 : kUsb3Only), 0};
      rootHub[{IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port}] = {
          true, Connector(port, static_cast<uint16_t>(port <= 4 ? port + 4 : port - 4), ""), 0};
    }

    auto& a = fake.devices["\\\\.\\" + kHubA].answers;
    a[{IOCTL_USB_GET_NODE_INFORMATION, 0}] = {true, NodeInformation(4), 0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 1}] = {true, Connection(1, 3, true), 0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 1}] = {true, PortName(1, kClassKey + "0003"),
                                                            0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_NAME, 1}] = {true, PortName(1, kHubB), 0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 3}] = {true, Connection(3, 5, false), 0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3}] = {true, PortName(3, kClassKey + "0005"),
                                                            0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 4}] = {true, Connection(4, 6, false), 0};
    a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 4}] = {true, PortName(4, kClassKey + "0006"),
                                                            0};

    auto& b = fake.devices["\\\\.\\" + kHubB].answers;
    b[{IOCTL_USB_GET_NODE_INFORMATION, 0}] = {true, NodeInformation(4), 0};
    b[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 2}] = {true, Connection(2, 4, false), 0};
    b[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2}] = {true, PortName(2, kClassKey + "0004"),
                                                            0};
  }

  // The USB 3 bridge on root port `port` (3 at high speed, 7 at SuperSpeed).
  void PlugUsb3Bridge(uint32_t port) {
    auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port}] = {true, Connection(port, 7, false),
                                                                  0};
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port}] = {
        true, PortName(port, kClassKey + "0007"), 0};
  }

  std::vector<discovery::PortCandidate> Candidates() {
    std::array<discovery::PortCandidate, platform::kMaxCandidates> out{};
    size_t n = discovery::DiscoverPortCandidates(topology, out);
    return {out.begin(), out.begin() + static_cast<long>(n)};
  }

  FakeWin32 fake;
  WinTopology topology{fake};
  std::vector<DEVINST> disks;
};

TEST_F(WinTopologyTest, HubsAreRecordedNestedFirstWithTheirPortsDevices) {
  PlugUsb3Bridge(3);
  std::vector<HubRecord> hubs(platform::kMaxHubs);
  ASSERT_EQ(topology.EnumerateHubs(hubs), 3u);
  EXPECT_EQ(std::string(hubs[0].hubInstanceId), kHubBId);
  EXPECT_EQ(std::string(hubs[1].hubInstanceId), kHubAId);
  EXPECT_EQ(std::string(hubs[2].hubInstanceId), kRootId);
  EXPECT_EQ(hubs[0].portCount, 4);
  EXPECT_EQ(std::string(hubs[0].entries[1].deviceInstanceId), kBridge1);
  EXPECT_EQ(hubs[0].entries[1].portIndex, 1);
  EXPECT_EQ(std::string(hubs[1].entries[0].deviceInstanceId), kHubBId);
  EXPECT_EQ(std::string(hubs[1].entries[2].deviceInstanceId), kBridge2);
  EXPECT_EQ(std::string(hubs[1].entries[3].deviceInstanceId), kStick);
  EXPECT_EQ(hubs[2].portCount, 8);
  EXPECT_EQ(std::string(hubs[2].entries[0].deviceInstanceId), kHubAId);
  EXPECT_EQ(std::string(hubs[2].entries[1].deviceInstanceId), "");  // address 0
  EXPECT_EQ(std::string(hubs[2].entries[2].deviceInstanceId), kBridge3);
  // Every handle opened was closed.
  EXPECT_EQ(fake.openHandles, 0);
}

TEST_F(WinTopologyTest, UsbDisksAreTiedToHubPortsAndTheSataDiskNeverIs) {
  PlugUsb3Bridge(3);
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0].diskNumber, 1u);
  EXPECT_EQ(c[0].portIndex, 1);
  EXPECT_EQ(std::string(c[0].hubInstanceId), kHubBId);
  EXPECT_EQ(c[1].diskNumber, 2u);
  EXPECT_EQ(c[1].portIndex, 2);
  EXPECT_EQ(std::string(c[1].hubInstanceId), kHubAId);
  EXPECT_EQ(c[2].diskNumber, 3u);  // the stick: the scan weeds it out by its medium
  EXPECT_EQ(c[2].portIndex, 3);
  EXPECT_EQ(c[3].diskNumber, 4u);
  EXPECT_EQ(c[3].portIndex, 2);
  EXPECT_EQ(std::string(c[3].hubInstanceId), kRootId);
  EXPECT_EQ(fake.setsReleased, 4);  // disks, USB devices, and the controllers twice
  EXPECT_EQ(fake.openHandles, 0);

  // The disks are opened by interface path without access rights, and
  // the SATA disk is not even opened.
  std::vector<std::string> diskOpens;
  for (const auto& o : fake.opens) {
    if (o.name.find("#{53f56307") != std::string::npos) {
      diskOpens.push_back(o.name);
      EXPECT_EQ(o.access, 0u);
      EXPECT_EQ(o.share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
    }
  }
  ASSERT_EQ(diskOpens.size(), 4u);
  EXPECT_EQ(diskOpens[0],
            "\\\\.\\usbstor#disk&ven_qelvar&prod_ssd&rev_1.00#000000000001&0"
            "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
}

TEST_F(WinTopologyTest, AUsb3BridgeKeepsItsPortAtSuperSpeed) {
  PlugUsb3Bridge(7);  // the SuperSpeed companion of port 3
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[3].diskNumber, 4u);
  EXPECT_EQ(c[3].portIndex, 2);
  EXPECT_EQ(std::string(c[3].hubInstanceId), kRootId);

  std::vector<HubRecord> hubs(platform::kMaxHubs);
  ASSERT_EQ(topology.EnumerateHubs(hubs), 3u);
  EXPECT_EQ(std::string(hubs[2].entries[2].deviceInstanceId), kBridge3);
  EXPECT_EQ(std::string(hubs[2].entries[6].deviceInstanceId), "");
}

TEST_F(WinTopologyTest, ASuperSpeedPortWithACompanionOnAnotherHubCountsThere) {
  // An external USB 3 hub is two hub devices: the bridge on the SuperSpeed
  // one's port 2 is counted on the USB 2 one's port 3 (hub A here).
  PlugUsb3Bridge(7);
  auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
  rootHub[{IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, 7}] = {true, Connector(7, 2, "\\\\?\\" + kHubA),
                                                           0};
  // Hub A's port 2 is empty on its own side.
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[3].portIndex, 1);
  EXPECT_EQ(std::string(c[3].hubInstanceId), kHubAId);
}

TEST_F(WinTopologyTest, TheTwoHalvesOfAnExternalUsb3HubArePairedByTheirContainer) {
  // Hub A is the USB 2 half of an external USB 3 hub; its SuperSpeed half A'
  // hangs on root port 5 (port 1's companion) and names no companions. A
  // bridge on A' port 3 is counted on A port 3, a port nothing else uses.
  PlugUsb3Bridge(3);
  const std::string hubSs = "USB#VID_05E3&PID_0626#6&ABCD&0&5" + kGuid;
  const std::string container = "{5B1F2E3A-0C4D-11EE-9A1B-0242AC120002}";
  DEVINST root = 0, hubA = 0;
  for (const auto& [n, node] : fake.nodes) {
    if (node.id == "USB\\ROOT_HUB30\\4&2F1E6A1B&0&0") root = n;
    if (node.id == "USB\\VID_05E3&PID_0608\\5&1A2B&0&1") hubA = n;
  }
  fake.nodes[hubA].containerId = container;
  DEVINST ss = fake.AddNode(root, "USB\\VID_05E3&PID_0626\\6&ABCD&0&5", kClassKey + "0020");
  fake.nodes[ss].containerId = container;
  fake.nodes[1].containerId = "{00000000-0000-0000-FFFF-FFFFFFFFFFFF}";
  DEVINST bridge = fake.AddNode(ss, "USB\\VID_152D&PID_0583\\000000000009", kClassKey + "0021");
  DEVINST disk = fake.AddNode(bridge, "SCSI\\DISK&VEN_QELVAR&PROD_SSD\\8&3A4B&0&000000");
  fake.sets["disk"].push_back({disk});
  fake.sets["usb"].push_back({bridge});
  fake.devices[DiskInterfacePath(fake.nodes[disk].id)]
      .answers[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, DeviceNumber(6), 0};
  auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
  rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 5}] = {true, Connection(5, 9, true), 0};
  rootHub[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 5}] = {
      true, PortName(5, kClassKey + "0020"), 0};
  rootHub[{IOCTL_USB_GET_NODE_CONNECTION_NAME, 5}] = {true, PortName(5, hubSs), 0};
  auto& b = fake.devices["\\\\.\\" + hubSs].answers;
  b[{IOCTL_USB_GET_NODE_INFORMATION, 0}] = {true, NodeInformation(4), 0};
  b[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 3}] = {true, Connection(3, 2, false), 0};
  b[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3}] = {true, PortName(3, kClassKey + "0021"), 0};
  b[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, 3}] = {true, Protocols(3, kUsb3Only), 0};
  b[{IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, 3}] = {true, Connector(3, 0, ""), 0};
  // Bridge 2 moves off hub A's port 3 to make room: it sits on port 2.
  auto& a = fake.devices["\\\\.\\" + kHubA].answers;
  a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 2}] = a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 3}];
  a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2}] =
      a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3}];
  a.erase({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 3});
  a.erase({IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3});

  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[1].portIndex, 1);  // bridge 2, now on hub A port 2
  EXPECT_EQ(c[4].diskNumber, 6u);
  EXPECT_EQ(c[4].portIndex, 2);
  EXPECT_EQ(std::string(c[4].hubInstanceId), kHubAId);
  std::vector<HubRecord> hubs(platform::kMaxHubs);
  size_t n = topology.EnumerateHubs(hubs);
  ASSERT_GE(n, 3u);
  for (size_t i = 0; i < n; ++i) {
    if (std::string(hubs[i].hubInstanceId) == kHubAId) {
      EXPECT_EQ(std::string(hubs[i].entries[2].deviceInstanceId),
                "usb\\vid_152d&pid_0583\\000000000009");
    }
  }
  EXPECT_TRUE(fake.sizeFaults.empty());
}

TEST_F(WinTopologyTest, WithoutCompanionInformationThePortIsTakenAsItIs) {
  PlugUsb3Bridge(7);
  auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
  for (uint32_t port = 1; port <= 8; ++port) {
    rootHub.erase({IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, port});
  }
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[3].portIndex, 6);
}

TEST_F(WinTopologyTest, ARootHubsSuperSpeedPortsPast24AreWalked) {
  // 26 ports: 1-16 USB 2, 17-26 the SuperSpeed companions of 1-10.
  auto& rootHub = fake.devices["\\\\.\\" + kRoot].answers;
  rootHub[{IOCTL_USB_GET_NODE_INFORMATION, 0}] = {true, NodeInformation(26), 0};
  for (uint32_t port = 1; port <= 26; ++port) {
    const bool superSpeed = port > 16;
    rootHub[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, port}] = {
        true, Protocols(port, superSpeed ? kUsb3Only : kUsb2), 0};
    uint16_t companion = superSpeed ? static_cast<uint16_t>(port - 16)
                         : port <= 10 ? static_cast<uint16_t>(port + 16)
                                      : uint16_t{0};
    rootHub[{IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port}] = {true, Connector(port, companion, ""),
                                                                0};
  }
  PlugUsb3Bridge(25);  // SuperSpeed, the companion of port 9
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[3].diskNumber, 4u);
  EXPECT_EQ(c[3].portIndex, 8);
  EXPECT_EQ(std::string(c[3].hubInstanceId), kRootId);
  EXPECT_TRUE(fake.sizeFaults.empty());
}

TEST_F(WinTopologyTest, ACompositeBridgesDiskIsTiedToThePortOfTheDeviceAboveItsInterface) {
  PlugUsb3Bridge(3);
  // Hub A's port 2: a composite bridge, its mass-storage interface, its disk.
  DEVINST hubA = 0;
  for (const auto& [n, node] : fake.nodes) {
    if (node.id == "USB\\VID_05E3&PID_0608\\5&1A2B&0&1") hubA = n;
  }
  DEVINST composite = fake.AddNode(hubA, "USB\\VID_0BDA&PID_9210\\012345678904", kClassKey + "0010");
  DEVINST iface = fake.AddNode(composite, "USB\\VID_0BDA&PID_9210&MI_00\\7&2C3D&0&0000",
                               kClassKey + "0011");
  DEVINST disk =
      fake.AddNode(iface, "USBSTOR\\DISK&VEN_QELVAR&PROD_SSD&REV_1.00\\012345678904&0");
  fake.sets["disk"].push_back({disk});
  fake.sets["usb"].push_back({composite});
  fake.devices[DiskInterfacePath(fake.nodes[disk].id)]
      .answers[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, DeviceNumber(5), 0};
  auto& a = fake.devices["\\\\.\\" + kHubA].answers;
  a[{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 2}] = {true, Connection(2, 8, false), 0};
  a[{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2}] = {true, PortName(2, kClassKey + "0010"),
                                                          0};
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[4].diskNumber, 5u);
  EXPECT_EQ(c[4].portIndex, 1);
  EXPECT_EQ(std::string(c[4].hubInstanceId), kHubAId);
}

TEST_F(WinTopologyTest, HostControllersAreFoundByTheirInterfaceClass) {
  PlugUsb3Bridge(3);
  // The controller has no legacy "HCD" name, only its interface path.
  const std::string path =
      "\\\\?\\pci#ven_8086&dev_a36d#3&11583659&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
  fake.devices[path] = fake.devices["\\\\.\\HCD0"];
  fake.devices.erase("\\\\.\\HCD0");
  fake.sets["hcd"].push_back({2, true, path});
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(std::string(c[3].hubInstanceId), kRootId);
  for (const auto& o : fake.opens) EXPECT_EQ(o.name.find("HCD"), std::string::npos) << o.name;
  EXPECT_EQ(fake.openHandles, 0);
  EXPECT_EQ(fake.setsReleased, 4);  // the controllers' set too, once per walk
}

TEST_F(WinTopologyTest, BridgesComeFirstAmongTheUsbDevices) {
  PlugUsb3Bridge(3);
  // 24 other USB devices enumerated before the hubs and bridges.
  std::vector<FakeWin32::SetEntry> many;
  for (int i = 0; i < 24; ++i) {
    many.push_back({fake.AddNode(1, "USB\\VID_046D&PID_C31C\\" + std::to_string(i))});
  }
  auto& usb = fake.sets["usb"];
  usb.insert(usb.begin(), many.begin(), many.end());
  std::vector<discovery::PortCandidate> c = Candidates();
  EXPECT_EQ(c.size(), 4u);
}

TEST_F(WinTopologyTest, TheDeviceWalkStopsAtAnUnreadableInterface) {
  PlugUsb3Bridge(3);
  fake.sets["disk"][2].interfaceReadable = false;  // disk 2: recorded, then the walk ends
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1].diskNumber, 2u);
}

TEST_F(WinTopologyTest, FailingRequestsDropOnlyWhatTheyConcern) {
  PlugUsb3Bridge(3);
  // Disk 2's number cannot be read; a stale error after a good answer
  // counts as a failure too (disk 3).
  fake.devices[DiskInterfacePath(fake.nodes[disks[2]].id)].answers.clear();
  fake.devices[DiskInterfacePath(fake.nodes[disks[3]].id)]
      .handlers[IOCTL_STORAGE_GET_DEVICE_NUMBER] = [this](Bytes&, uint8_t* out, DWORD outSize,
                                                          DWORD* returned) {
    Bytes answer = DeviceNumber(3);
    std::memcpy(out, answer.data(), std::min<size_t>(outSize, answer.size()));
    *returned = outSize;
    fake.lastError = ERROR_INVALID_FUNCTION;
    return TRUE;
  };
  std::vector<discovery::PortCandidate> c = Candidates();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].diskNumber, 1u);
  EXPECT_EQ(c[1].diskNumber, 4u);
}

TEST(HubNames, SymbolicNamesBecomeInstanceIds) {
  EXPECT_EQ(HubIdFromSymbolicName(kHubA), kHubAId);
  EXPECT_EQ(HubIdFromSymbolicName("\\\\?\\" + kRoot), kRootId);
  EXPECT_EQ(HubIdFromSymbolicName("USB#NOGUID"), "usb\\noguid");
  EXPECT_EQ(HubIdFromSymbolicName(std::string(400, 'A')).size(), 259u);
}

}  // namespace
}  // namespace qelvar::platform::windows
