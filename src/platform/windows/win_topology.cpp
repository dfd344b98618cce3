#include "platform/windows/win_topology.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace qelvar::platform::windows {

static_assert(IOCTL_USB_GET_ROOT_HUB_NAME == 0x00220408 &&
              IOCTL_USB_GET_NODE_INFORMATION == 0x00220408 &&
              IOCTL_USB_GET_NODE_CONNECTION_INFORMATION == 0x0022040C &&
              IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME == 0x00220420 &&
              IOCTL_USB_GET_NODE_CONNECTION_NAME == 0x00220414 &&
              IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x002D1080);
static_assert(sizeof(USB_NODE_INFORMATION) == 76 && sizeof(USB_NODE_CONNECTION_INFORMATION) == 35 &&
              sizeof(USB_NODE_CONNECTION_NAME) == 10 &&
              sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) == 10 && sizeof(USB_ROOT_HUB_NAME) == 6 &&
              sizeof(STORAGE_DEVICE_NUMBER) == 12 && sizeof(USB_PORT_CONNECTOR_PROPERTIES) == 18);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == 24 &&
              offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress) == 25 &&
              offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31);

namespace {

constexpr int kLegacyHostControllers = 10;  // "\\.\HCD0" to "HCD9"
constexpr DWORD kMaxHostControllers = 64;   // a bound on the interface list
constexpr size_t kConnectionInfoBytes = 376;
constexpr size_t kDetailBytes = 1024;
constexpr DWORD kMaxNameBytes = 4096;  // a bound on the lengths the hub reports
constexpr int kMaxHubDepth = 8;        // USB allows 5 tiers of hubs below the root
constexpr int kMaxTreeNodes = 65536;   // a bound on the device-node walk
constexpr DWORD kUsbProtocol110 = 1, kUsbProtocol200 = 2, kUsbProtocol300 = 4;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Wide text to the ANSI code page, cut to 259 characters.
std::string Narrow(const WCHAR* text, size_t chars) {
  size_t n = 0;
  while (n < chars && text[n] != 0) ++n;
  if (n == 0) return {};
  char buffer[kNameCapacity] = {};
  int written = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), buffer,
                                      static_cast<int>(kNameCapacity - 1), nullptr, nullptr);
  if (written <= 0) {
    // Longer than the field: convert in full and cut.
    int needed =
        ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string whole(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), whole.data(), needed, nullptr,
                          nullptr);
    whole.resize(std::min(whole.size(), kNameCapacity - 1));
    return whole;
  }
  return std::string(buffer, static_cast<size_t>(written));
}

// Closes a handle when it goes out of scope.
class Handle {
 public:
  Handle(Win32Api& api, HANDLE h) : api_(api), h_(h) {}
  ~Handle() {
    if (valid()) api_.CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  [[nodiscard]] bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  [[nodiscard]] HANDLE get() const { return h_; }

 private:
  Win32Api& api_;
  HANDLE h_;
};

// A name the hub returns in two calls: first the request's fixed part
// (`Header`, whose size the system expects whole), which says how long the
// whole answer is, then the whole answer. `nameAt` is where the wide name
// starts, `lengthAt` where the header holds the answer's length; per-port
// requests carry the connection index in their first 4 bytes.
template <typename Header>
std::optional<std::string> ReadHubName(Win32Api& api, HANDLE h, DWORD code, size_t lengthAt,
                                       size_t nameAt, std::optional<ULONG> connection) {
  constexpr size_t kHeaderBytes = sizeof(Header);
  static_assert(kHeaderBytes >= sizeof(ULONG) + sizeof(WCHAR));
  if (lengthAt + sizeof(ULONG) > kHeaderBytes || nameAt > kHeaderBytes) return std::nullopt;
  std::array<uint8_t, kHeaderBytes> header{};
  if (connection) std::memcpy(header.data(), &*connection, sizeof(ULONG));
  DWORD returned = 0;
  if (!api.DeviceIoControl(h, code, header.data(), kHeaderBytes, header.data(), kHeaderBytes,
                           &returned)) {
    return std::nullopt;
  }
  ULONG actual = 0;
  std::memcpy(&actual, header.data() + lengthAt, sizeof actual);
  if (actual <= kHeaderBytes || actual > kMaxNameBytes) return std::nullopt;
  std::vector<WCHAR> buffer((actual + sizeof(WCHAR) - 1) / sizeof(WCHAR) + 1, 0);
  auto* bytes = reinterpret_cast<uint8_t*>(buffer.data());
  if (connection) std::memcpy(bytes, &*connection, sizeof(ULONG));
  if (!api.DeviceIoControl(h, code, bytes, actual, bytes, actual, &returned)) return std::nullopt;
  return Narrow(reinterpret_cast<const WCHAR*>(bytes + nameAt), (actual - nameAt) / sizeof(WCHAR));
}

std::optional<std::string> PortName(Win32Api& api, HANDLE hub, DWORD code, ULONG port) {
  return ReadHubName<USB_NODE_CONNECTION_NAME>(api, hub, code,
                     offsetof(USB_NODE_CONNECTION_NAME, ActualLength),
                     offsetof(USB_NODE_CONNECTION_NAME, NodeName), port);
}

// The container ID of the device with instance ID `id`; empty when it has
// none or it is the machine's own container (which every built-in device,
// every root hub among them, shares).
std::string ContainerId(Win32Api& api, const std::string& id) {
  DEVINST node = 0;
  if (api.CM_Locate_DevNodeA(&node, id.c_str(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return {};
  char text[kNameCapacity] = {};
  ULONG size = sizeof text - 1;
  if (api.CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_BASE_CONTAINERID, nullptr, text, &size,
                                            0) != CR_SUCCESS) {
    return {};
  }
  std::string container = Lower(std::string(text, strnlen(text, sizeof text)));
  if (container == "{00000000-0000-0000-ffff-ffffffffffff}") return {};
  return container;
}

// One interface of a composite USB device: "usb\vid_..&pid_..&mi_NN\...".
bool IsUsbInterface(const std::string& id) {
  if (id.rfind("usb\\", 0) != 0) return false;
  const size_t end = id.find('\\', 4);
  return id.substr(4, end == std::string::npos ? std::string::npos : end - 4).find("&mi_") !=
         std::string::npos;
}

std::optional<std::string> NodeId(Win32Api& api, DEVINST node) {
  char id[kNameCapacity] = {};
  if (api.CM_Get_Device_IDA(node, id, sizeof id - 1, 0) != CR_SUCCESS) return std::nullopt;
  return Lower(id);
}

// The node whose driver key is `key` (compared exactly), pre-order over the
// whole device-node tree, and its lower-cased device ID.
std::optional<std::string> FindDeviceByDriverKey(Win32Api& api, const std::string& key) {
  DEVINST root = 0;
  if (api.CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return std::nullopt;
  }
  DEVINST node = root;
  for (int visited = 0; visited < kMaxTreeNodes; ++visited) {
    char driver[kNameCapacity] = {};
    ULONG size = sizeof driver - 1;
    if (api.CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_DRIVER, nullptr, driver, &size, 0) ==
            CR_SUCCESS &&
        key == driver) {
      return NodeId(api, node);
    }
    DEVINST next = 0;
    if (api.CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    // No child: the next sibling, or the next sibling of the nearest
    // ancestor that has one.
    for (int climb = 0;; ++climb) {
      if (node == root || climb > kMaxTreeNodes) return std::nullopt;
      if (api.CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) break;
      DEVINST parent = 0;
      if (api.CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return std::nullopt;
      node = parent;
    }
    node = next;
  }
  return std::nullopt;
}

// The interface paths of the host controllers. Controllers are listed by
// their device interface class; the legacy names "\\.\HCD0" to "HCD9"
// serve only where the class lists none (not every controller has one).
std::vector<std::string> HostControllerPaths(Win32Api& api) {
  std::vector<std::string> paths;
  HDEVINFO set = api.SetupDiGetClassDevsA(&kUsbHostControllerInterfaceClass,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set != INVALID_HANDLE_VALUE) {
    for (DWORD index = 0; index < kMaxHostControllers; ++index) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof iface;
      if (!api.SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbHostControllerInterfaceClass, index,
                                           &iface)) {
        break;
      }
      alignas(8) uint8_t detailBytes[kDetailBytes] = {};
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBytes);
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!api.SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof detailBytes, nullptr,
                                                nullptr)) {
        continue;
      }
      constexpr size_t kPathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      const char* path = reinterpret_cast<const char*>(detailBytes + kPathAt);
      const size_t length = strnlen(path, sizeof detailBytes - kPathAt);
      if (length > 0 && length < sizeof detailBytes - kPathAt) paths.emplace_back(path, length);
    }
    api.SetupDiDestroyDeviceInfoList(set);
  }
  if (paths.empty()) {
    for (int i = 0; i < kLegacyHostControllers; ++i) {
      paths.push_back("\\\\.\\HCD" + std::to_string(i));
    }
  }
  return paths;
}

}  // namespace

std::string HubIdFromSymbolicName(std::string_view name) {
  for (std::string_view prefix : {"\\\\?\\", "\\\\.\\"}) {
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  }
  std::string id;
  for (size_t i = 0; i < name.size() && i < kNameCapacity; ++i) {
    if (name[i] == '{') {
      if (!id.empty()) id.pop_back();
      break;
    }
    id.push_back(name[i] == '#' ? '\\' : name[i]);
  }
  id.resize(std::min(id.size(), kNameCapacity - 1));
  return Lower(std::move(id));
}

std::string DiskInterfacePath(std::string_view instanceId) {
  std::string path = "\\\\.\\";
  for (char c : instanceId) path.push_back(c == '\\' ? '#' : c);
  return Lower(std::move(path)) + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

// What the hub walk saw: every hub, and on each of its ports (all that the
// hub reports) the device there and where the station counts it.
struct WinTopology::Walk {
  struct Port {
    int number = 0;
    std::string device;  // lower-cased device ID; empty: none or unknown
    bool connected = false;
    std::string countedHub;  // hub ID and port the device is counted on
    int countedPort = 0;
    bool viaPeer = false;
    bool superSpeedOnly = false;
  };
  struct Hub {
    std::string id;
    std::string container;  // the physical hub's container ID; empty for a root hub
    int portCount = 0;
    std::vector<Port> ports;
  };
  std::vector<Hub> hubs;  // a hub on a port before the hub it hangs on
};

namespace {

// An external USB 3 hub is two hub devices to the system, a USB 2 one and a
// SuperSpeed one, of one container (one physical device). Where the system
// names no companion for a SuperSpeed-only port (hubs without the port
// connector information, add-in controllers below them), the two halves are
// paired: port n of the one is port n of the other. Only a container of
// exactly two hubs is paired; more (hub chips cascaded in one enclosure)
// cannot be told apart this way.
void PairHubHalvesByContainer(WinTopology::Walk& walk) {
  for (auto& hub : walk.hubs) {
    if (hub.container.empty()) continue;
    const WinTopology::Walk::Hub* other = nullptr;
    int sharing = 0;
    for (const auto& candidate : walk.hubs) {
      if (&candidate != &hub && candidate.container == hub.container) {
        other = &candidate;
        ++sharing;
      }
    }
    if (sharing != 1) continue;
    for (auto& port : hub.ports) {
      if (!port.superSpeedOnly || port.viaPeer) continue;
      port.countedHub = other->id;
      port.countedPort = port.number;
      port.viaPeer = true;
    }
  }
}

}  // namespace

WinTopology::Walk WinTopology::WalkHubs() {
  Walk walk;
  auto enumerateHub = [&](auto& self, const std::string& name, int depth) -> void {
    if (depth > kMaxHubDepth) return;
    Handle hub(api_, api_.CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                                      OPEN_EXISTING));
    if (!hub.valid()) return;
    USB_NODE_INFORMATION node{};
    DWORD returned = 0;
    if (!api_.DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_INFORMATION, &node, sizeof node, &node,
                              sizeof node, &returned)) {
      return;
    }
    Walk::Hub record;
    record.id = HubIdFromSymbolicName(name);
    record.portCount = node.u.HubInformation.HubDescriptor.bNumberOfPorts;
    if (depth > 0) record.container = ContainerId(api_, record.id);
    // Every port the hub reports is walked: a root hub's SuperSpeed ports
    // come after its USB 2 ones (17 to 26 on a 26-port root hub), and a
    // device there is counted on its USB 2 companion, within the record.
    for (int port = 1; port <= record.portCount; ++port) {
      alignas(8) uint8_t raw[kConnectionInfoBytes] = {};
      ULONG index = static_cast<ULONG>(port);
      std::memcpy(raw, &index, sizeof index);
      if (!api_.DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, raw,
                                sizeof raw, raw, sizeof raw, &returned)) {
        continue;
      }
      USB_NODE_CONNECTION_INFORMATION info{};
      std::memcpy(&info, raw, sizeof info);
      if (info.DeviceAddress == 0) continue;
      Walk::Port entry;
      entry.number = port;
      entry.connected = info.ConnectionStatus == DeviceConnected;
      if (auto key =
              PortName(api_, hub.get(), IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, index)) {
        entry.device = FindDeviceByDriverKey(api_, *key).value_or("");
      }
      entry.countedHub = record.id;
      entry.countedPort = port;
      // A device on a SuperSpeed-only port is counted on its USB 2 companion.
      USB_NODE_CONNECTION_INFORMATION_EX_V2 v2{};
      v2.ConnectionIndex = index;
      v2.Length = sizeof v2;
      v2.SupportedUsbProtocols.ul = kUsbProtocol110 | kUsbProtocol200 | kUsbProtocol300;
      if (entry.connected &&
          api_.DeviceIoControl(hub.get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, &v2,
                               sizeof v2, &v2, sizeof v2, &returned) &&
          (v2.SupportedUsbProtocols.ul & kUsbProtocol300) != 0 &&
          (v2.SupportedUsbProtocols.ul & (kUsbProtocol110 | kUsbProtocol200)) == 0) {
        entry.superSpeedOnly = true;
        USB_PORT_CONNECTOR_PROPERTIES connector{};
        connector.ConnectionIndex = index;
        if (api_.DeviceIoControl(hub.get(), IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, &connector,
                                 sizeof connector, &connector, sizeof connector, &returned) &&
            connector.CompanionPortNumber != 0 && connector.CompanionPortNumber < 256) {
          std::optional<std::string> companionHub = ReadHubName<USB_PORT_CONNECTOR_PROPERTIES>(
              api_, hub.get(), IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES,
              offsetof(USB_PORT_CONNECTOR_PROPERTIES, ActualLength),
              offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionHubSymbolicLinkName), index);
          entry.countedHub = companionHub && !companionHub->empty()
                                 ? HubIdFromSymbolicName(*companionHub)
                                 : record.id;
          entry.countedPort = connector.CompanionPortNumber;
          entry.viaPeer = true;
        }
      }
      if (info.DeviceIsHub) {
        if (auto child = PortName(api_, hub.get(), IOCTL_USB_GET_NODE_CONNECTION_NAME, index)) {
          self(self, *child, depth + 1);
        }
      }
      record.ports.push_back(std::move(entry));
    }
    walk.hubs.push_back(std::move(record));
  };

  for (const std::string& name : HostControllerPaths(api_)) {
    Handle hcd(api_,
               api_.CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING));
    if (!hcd.valid()) continue;
    std::optional<std::string> root =
        ReadHubName<USB_ROOT_HUB_NAME>(api_, hcd.get(), IOCTL_USB_GET_ROOT_HUB_NAME,
                    offsetof(USB_ROOT_HUB_NAME, ActualLength),
                    offsetof(USB_ROOT_HUB_NAME, RootHubName), std::nullopt);
    if (root) enumerateHub(enumerateHub, *root, 0);
  }
  PairHubHalvesByContainer(walk);
  return walk;
}

size_t WinTopology::EnumerateHubs(std::span<HubRecord> out) {
  Walk walk = WalkHubs();
  size_t count = 0;
  for (const Walk::Hub& hub : walk.hubs) {
    auto record = std::make_unique<HubRecord>();
    bool found = false;
    for (int port = 1; port <= std::min(hub.portCount, static_cast<int>(kMaxHubPorts)); ++port) {
      // The device on the port, unless it is counted on a companion; else a
      // device counted here from a SuperSpeed companion.
      const Walk::Port* attached = nullptr;
      for (const Walk::Port& p : hub.ports) {
        if (p.number == port && p.connected && !p.viaPeer) attached = &p;
      }
      for (const Walk::Hub& other : walk.hubs) {
        for (const Walk::Port& p : other.ports) {
          if (attached == nullptr && p.viaPeer && p.connected && p.countedHub == hub.id &&
              p.countedPort == port) {
            attached = &p;
          }
        }
      }
      if (attached == nullptr) continue;
      HubPortEntry& entry = record->entries[port - 1];
      entry.portIndex = static_cast<uint16_t>(port - 1);
      CopyName(entry.deviceInstanceId, sizeof entry.deviceInstanceId, attached->device);
      record->portCount = static_cast<uint8_t>(std::min(hub.portCount, 255));
      CopyName(record->hubInstanceId, kNameCapacity, hub.id);
      found = true;
    }
    if (found && count < out.size()) out[count++] = *record;
  }
  return count;
}

namespace {

// Walks a SetupDi set of an interface class as the station always has: device
// after device until there is none; a device whose instance ID cannot be read
// is skipped; the walk ends after the first device whose interface or its
// detail cannot be read. `visit` gets the device node and its instance ID.
template <typename Visit>
void WalkInterfaceSet(Win32Api& api, const GUID& interfaceClass, Visit visit) {
  HDEVINFO set = api.SetupDiGetClassDevsA(&interfaceClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0; index < kMaxTreeNodes; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!api.SetupDiEnumDeviceInfo(set, index, &device)) break;
    char id[257] = {};
    if (!api.SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id - 1, nullptr)) continue;
    visit(device.DevInst, Lower(id));
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!api.SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &iface)) break;
    alignas(8) uint8_t detailBytes[kDetailBytes] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBytes);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!api.SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof detailBytes, nullptr,
                                              nullptr)) {
      break;
    }
  }
  api.SetupDiDestroyDeviceInfoList(set);
}

// A USB device with a disk under it: a mass-storage disk ("usbstor\...") or
// a UAS bridge's SCSI disk ("scsi\..."), also under one of the interfaces
// of a composite device.
bool HasDiskChild(Win32Api& api, DEVINST node, int depth = 0) {
  DEVINST child = 0;
  if (api.CM_Get_Child(&child, node, 0) != CR_SUCCESS) return false;
  for (int i = 0; i < kMaxTreeNodes; ++i) {
    std::string id = NodeId(api, child).value_or("");
    if (id.rfind("usbstor\\", 0) == 0 || id.rfind("scsi\\", 0) == 0) return true;
    if (depth == 0 && IsUsbInterface(id) && HasDiskChild(api, child, 1)) return true;
    DEVINST next = 0;
    if (api.CM_Get_Sibling(&next, child, 0) != CR_SUCCESS) return false;
    child = next;
  }
  return false;
}

}  // namespace

size_t WinTopology::EnumerateUsbDevices(std::span<UsbDeviceRecord> out) {
  struct Found {
    UsbDeviceRecord record;
    bool bridge;
  };
  std::vector<Found> found;
  WalkInterfaceSet(api_, kUsbDeviceInterfaceClass, [&](DEVINST node, const std::string& id) {
    Found f{};
    f.record.devNode = node;
    CopyName(f.record.instanceId, sizeof f.record.instanceId, id);
    f.bridge = HasDiskChild(api_, node);
    found.push_back(f);
  });
  std::stable_partition(found.begin(), found.end(), [](const Found& f) { return f.bridge; });
  size_t count = std::min(found.size(), out.size());
  for (size_t i = 0; i < count; ++i) out[i] = found[i].record;
  return count;
}

size_t WinTopology::EnumerateUsbDisks(std::span<UsbDiskNode> out) {
  std::vector<std::pair<DEVINST, std::string>> disks;
  WalkInterfaceSet(api_, kDiskInterfaceClass,
                   [&](DEVINST node, const std::string& id) { disks.emplace_back(node, id); });
  if (disks.empty()) return 0;
  Walk walk = WalkHubs();

  size_t count = 0;
  for (const auto& [node, id] : disks) {
    if (count == out.size()) break;
    DEVINST bridge = 0;
    bool hasBridge = api_.CM_Get_Parent(&bridge, node, 0) == CR_SUCCESS;
    std::string bridgeId = hasBridge ? NodeId(api_, bridge).value_or("") : std::string();
    // A composite bridge's disk hangs on one of its interfaces
    // ("usb\vid_..&pid_..&mi_00\..."): the bridge is the device above it,
    // the one on the hub port.
    for (int depth = 0; hasBridge && IsUsbInterface(bridgeId) && depth < kMaxHubDepth; ++depth) {
      hasBridge = api_.CM_Get_Parent(&bridge, bridge, 0) == CR_SUCCESS;
      bridgeId = hasBridge ? NodeId(api_, bridge).value_or("") : std::string();
    }
    if (id.find("usbstor") == std::string::npos && bridgeId.rfind("usb\\", 0) != 0) continue;

    UsbDiskNode disk;
    std::string path = DiskInterfacePath(id);
    {
      Handle h(api_, api_.CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      OPEN_EXISTING));
      if (!h.valid()) continue;
      STORAGE_DEVICE_NUMBER number{};
      DWORD returned = 0;
      api_.SetLastError(0);
      BOOL ok = api_.DeviceIoControl(h.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                     sizeof number, &returned);
      if (!ok || api_.GetLastError() != 0) continue;
      disk.diskNumber = number.DeviceNumber;
    }
    CopyName(disk.interfacePath, sizeof disk.interfacePath, path);
    if (!hasBridge) continue;
    disk.parentNode = bridge;
    DEVINST hubNode = 0;
    std::string hubId;
    if (api_.CM_Get_Parent(&hubNode, bridge, 0) == CR_SUCCESS) {
      hubId = NodeId(api_, hubNode).value_or("");
    }
    // A bridge on a SuperSpeed port is counted on its USB 2 companion's hub.
    for (const Walk::Hub& hub : walk.hubs) {
      for (const Walk::Port& p : hub.ports) {
        if (p.viaPeer && p.connected && !bridgeId.empty() && p.device == bridgeId) {
          hubId = p.countedHub;
        }
      }
    }
    CopyName(disk.hubInstanceId, sizeof disk.hubInstanceId, hubId);
    out[count++] = disk;
  }
  return count;
}

}  // namespace qelvar::platform::windows
