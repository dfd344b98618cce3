#include "platform/linux/sysfs_topology.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace qelvar::platform::linux_backend {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxClimb = 64;  // sysfs device paths are far shorter; a bound against odd trees

std::optional<std::string> ReadAttribute(const fs::path& dir, const char* name) {
  std::ifstream in(dir / name);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

std::optional<long> ParseNumber(std::string_view text, int base = 10) {
  long value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc() || p != end || text.empty()) return std::nullopt;
  return value;
}

bool IsUsbDevice(const fs::path& dir) {
  std::error_code ec;
  return fs::exists(dir / "bDeviceClass", ec);
}

bool IsUsbInterface(const fs::path& dir) {
  std::error_code ec;
  return fs::exists(dir / "bInterfaceClass", ec);
}

// The drivers that make a USB interface a mass-storage disk's: usb-storage,
// uas, and usb-storage's sub-drivers for particular bridges, which the kernel
// names "ums-" and the bridge (ums-cypress, ums-isd200, ums-usbat, ...).
bool IsStorageInterface(const fs::path& dir) {
  std::error_code ec;
  fs::path driver = fs::read_symlink(dir / "driver", ec);
  if (ec) return false;
  std::string name = driver.filename().string();
  return name == "usb-storage" || name == "uas" || (name.size() > 4 && name.rfind("ums-", 0) == 0);
}

// The port of a USB device on its parent hub: the last dot-separated part of
// its devpath ("1.2" -> 2, "1.8.3" -> 3, "2" -> root-hub port 2). Falls back
// to the directory name ("1-1.2") when devpath cannot be read. 0: unknown.
int PortOnParent(const fs::path& dir) {
  std::string devpath;
  if (auto attr = ReadAttribute(dir, "devpath")) {
    devpath = *attr;
  } else {
    devpath = dir.filename().string();
    if (auto dash = devpath.find('-'); dash != std::string::npos) devpath.erase(0, dash + 1);
  }
  if (auto dot = devpath.rfind('.'); dot != std::string::npos) devpath.erase(0, dot + 1);
  auto port = ParseNumber(devpath);
  return port && *port > 0 && *port < 256 ? static_cast<int>(*port) : 0;
}

// A hub's speed in whole Mbit/s ("480", "5000", "1.5" -> 1); 0 when unknown.
long SpeedMbps(const fs::path& dir) {
  std::optional<std::string> text = ReadAttribute(dir, "speed");
  if (!text) return 0;
  std::string_view whole(*text);
  whole = whole.substr(0, whole.find('.'));
  return ParseNumber(whole).value_or(0);
}

// SuperSpeed buses and hubs run at 5000 Mbit/s and more; the USB 2 side of a
// port at 480 or less.
constexpr long kSuperSpeedMbps = 5000;

// The kernel's directory for port `port` of `hub`: the hub's first interface
// holds one directory per port, "usb1/1-0:1.0/usb1-port2" on a root hub,
// "1-1/1-1:1.0/1-1-port2" on any other hub.
fs::path PortDir(const fs::path& hub, int port) {
  std::string name = hub.filename().string();
  std::string iface = name.rfind("usb", 0) == 0 ? name.substr(3) + "-0" : name;
  return hub / (iface + ":1.0") / (name + "-port" + std::to_string(port));
}

}  // namespace

// A USB 3 port is two ports to the kernel, one on the USB 2 bus and one on
// the SuperSpeed bus, joined by a "peer" link. A bridge that comes up at
// SuperSpeed hangs on the SuperSpeed side, at USB 2 speed on the other; the
// station counts it on the USB 2 side either way, so a drive keeps its
// station port whatever speed its bridge negotiates. Without a peer link (a
// USB 2 only port, or a kernel that could not pair the ports) the port is
// taken as it is.
SysfsTopology::Position SysfsTopology::CountedPosition(const fs::path& device) {
  Position position;
  fs::path hub = device.parent_path();
  position.hub = hub.string();
  position.port = PortOnParent(device);
  if (position.port == 0 || SpeedMbps(hub) < kSuperSpeedMbps) return position;

  fs::path portDir = PortDir(hub, position.port);
  std::error_code ec;
  fs::path target = fs::read_symlink(portDir / "peer", ec);
  if (ec) return position;
  fs::path peer = target.is_relative() ? (portDir / target).lexically_normal() : target;
  fs::path peerHub = peer.parent_path().parent_path();
  std::string peerName = peer.filename().string();
  std::string prefix = peerHub.filename().string() + "-port";
  if (peerName.compare(0, prefix.size(), prefix) != 0) return position;
  std::optional<long> peerPort = ParseNumber(std::string_view(peerName).substr(prefix.size()));
  if (!peerPort || *peerPort <= 0 || *peerPort >= 256 || !IsUsbDevice(peerHub)) return position;
  long peerSpeed = SpeedMbps(peerHub);
  if (peerSpeed == 0 || peerSpeed >= kSuperSpeedMbps) return position;
  position.hub = peerHub.string();
  position.port = static_cast<int>(*peerPort);
  position.viaPeer = true;
  return position;
}

namespace {

// Where a /sys/bus/usb/devices or /sys/block entry points. The kernel makes
// these relative links into /sys/devices, whose directories are real, so one
// readlink and a lexical clean-up give the device path; std::filesystem's
// canonical would readlink every component of a deep path instead.
std::optional<fs::path> ResolveEntry(const fs::path& entry) {
  std::error_code ec;
  fs::path target = fs::read_symlink(entry, ec);
  if (ec) {
    if (!fs::is_directory(entry, ec)) return std::nullopt;
    return entry.lexically_normal();
  }
  if (target.is_relative()) target = entry.parent_path() / target;
  return target.lexically_normal();
}

}  // namespace

struct SysfsTopology::UsbNode {
  std::string path;    // device path, links resolved
  std::string id;      // instance ID: lower-cased path relative to the root
  std::string parent;  // device path of the parent directory
  bool hub = false;
  bool storage = false;  // has an interface bound to usb-storage or uas
  int maxchild = 0;
  long devnum = 0;
  int port = 0;      // port on the parent hub
  Position counted;  // where the station counts it: the USB 2 side of a paired port
};

struct SysfsTopology::Tree {
  std::vector<UsbNode> devices;  // in SysfsPathLess order
  std::string rootPath;          // canonical root, for making paths relative
};

SysfsTopology::SysfsTopology(std::string root) : root_(std::move(root)) {}

uint32_t SysfsTopology::NodeHandle(const std::string& path) {
  auto [it, inserted] = handles_.try_emplace(path, static_cast<uint32_t>(handles_.size() + 1));
  return it->second;
}

namespace {

std::string CanonicalRoot(const std::string& root) {
  std::error_code ec;
  fs::path real = fs::canonical(root, ec);
  if (ec) return root;
  std::string s = real.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// A device path relative to the root, lower-cased, so the same tree yields
// the same text wherever it is mounted.
std::string RelativeId(const std::string& rootPath, const std::string& path) {
  std::string id = path;
  if (rootPath != "/" && id.size() > rootPath.size() &&
      id.compare(0, rootPath.size(), rootPath) == 0 && id[rootPath.size()] == '/') {
    id.erase(0, rootPath.size());
  }
  for (char& c : id) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return id;
}

// A root hub's directory: "usb" and the bus number.
bool IsRootHubName(std::string_view name) {
  return name.size() > 3 && name.substr(0, 3) == "usb" &&
         std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// The instance ID of a USB device: its host controller's device path, the
// side of the controller (its USB 2 bus or its SuperSpeed bus) and the chain
// of hub ports down to the device, as udev's ID_PATH builds it:
// "/sys/devices/pci0000:00/0000:00:05.0-usbv2-0:1.8" for the device on port 8
// of the hub on root port 1, "...-usbv2" for the root hub itself. The bus
// number is left out on purpose: the kernel hands out bus numbers anew when
// it re-registers a controller (an xHCI reset after "HC died", a driver
// rebind), and every station port would move with it; the controller's path
// and the port chain follow the cables. Two root hubs of one controller are
// told apart by their speed; a tree without speeds counts as USB 2.
std::string SysfsTopology::UsbInstanceId(const std::string& rootPath, const std::string& path) {
  fs::path device(path);
  fs::path rootHub = device;
  for (int depth = 0; depth < kMaxClimb && rootHub.has_relative_path(); ++depth) {
    if (IsRootHubName(rootHub.filename().string()) && IsUsbDevice(rootHub)) break;
    rootHub = rootHub.parent_path();
  }
  if (!IsRootHubName(rootHub.filename().string())) return RelativeId(rootPath, path);
  std::string id = RelativeId(rootPath, rootHub.parent_path().string());
  id += SpeedMbps(rootHub) >= kSuperSpeedMbps ? "-usbv3" : "-usbv2";
  if (device != rootHub) {
    // "1-1.8" -> "1.8": the port chain without the bus.
    std::string name = device.filename().string();
    size_t dash = name.find('-');
    id += "-0:" + (dash == std::string::npos ? name : name.substr(dash + 1));
  }
  return id;
}

SysfsTopology::Tree SysfsTopology::ReadTree(bool withStorage) {
  Tree tree;
  tree.rootPath = CanonicalRoot(root_);
  std::error_code ec;
  fs::directory_iterator it(fs::path(tree.rootPath) / "sys/bus/usb/devices", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::optional<fs::path> resolved = ResolveEntry(it->path());
    if (!resolved || !IsUsbDevice(*resolved)) continue;
    const fs::path& real = *resolved;
    UsbNode node;
    node.path = real.string();
    node.id = UsbInstanceId(tree.rootPath, node.path);
    node.parent = real.parent_path().string();
    node.hub = ReadAttribute(real, "bDeviceClass") == "09";
    if (auto v = ReadAttribute(real, "maxchild"))
      node.maxchild = static_cast<int>(ParseNumber(*v).value_or(0));
    // An address that cannot be read counts as 0: the device is not usable.
    if (auto v = ReadAttribute(real, "devnum")) node.devnum = ParseNumber(*v).value_or(0);
    node.port = PortOnParent(real);
    node.counted = CountedPosition(real);
    std::error_code childEc;
    fs::directory_iterator child(withStorage ? real : fs::path(), childEc);
    for (; !childEc && child != fs::directory_iterator(); child.increment(childEc)) {
      if (child->is_directory(childEc) && IsUsbInterface(child->path()) &&
          IsStorageInterface(child->path())) {
        node.storage = true;
        break;
      }
    }
    tree.devices.push_back(std::move(node));
  }
  std::sort(tree.devices.begin(), tree.devices.end(),
            [](const UsbNode& a, const UsbNode& b) { return SysfsPathLess(a.path, b.path); });
  return tree;
}

size_t SysfsTopology::EnumerateHubs(std::span<HubRecord> out) {
  Tree tree = ReadTree(false);
  size_t count = 0;

  // Depth-first: a hub found on a port is walked (and recorded) before the
  // hub it hangs on is recorded. A port's entry is the device on it or, when
  // the port is empty on this side, a device on its SuperSpeed peer.
  auto walk = [&](auto& self, const UsbNode& hub) -> void {
    auto record = std::make_unique<HubRecord>();
    bool found = false;
    int ports = std::min(hub.maxchild, static_cast<int>(kMaxHubPorts));
    for (int port = 1; port <= ports; ++port) {
      const UsbNode* onPort = nullptr;
      const UsbNode* viaPeer = nullptr;
      for (const UsbNode& d : tree.devices) {
        if (onPort == nullptr && d.parent == hub.path && d.port == port) onPort = &d;
        if (viaPeer == nullptr && d.counted.viaPeer && d.counted.hub == hub.path &&
            d.counted.port == port && d.devnum != 0) {
          viaPeer = &d;
        }
      }
      if (onPort != nullptr && onPort->devnum == 0) continue;
      const UsbNode* attached = onPort != nullptr && !onPort->counted.viaPeer ? onPort : viaPeer;
      if (attached != nullptr) {
        HubPortEntry& entry = record->entries[port - 1];
        entry.portIndex = static_cast<uint16_t>(port - 1);
        CopyName(entry.deviceInstanceId, sizeof entry.deviceInstanceId, attached->id);
        record->portCount = static_cast<uint8_t>(std::min(hub.maxchild, 255));
        // Cut like every other instance ID field, so a long hub path still
        // compares equal to the disk's copy of it.
        CopyName(record->hubInstanceId, kNameCapacity, hub.id);
        found = true;
      }
      // Hubs are walked where they hang, on either side of a paired port.
      if (onPort != nullptr && onPort->hub) self(self, *onPort);
    }
    if (found && count < out.size()) out[count++] = *record;
  };

  for (const UsbNode& d : tree.devices) {
    bool isRoot = std::none_of(tree.devices.begin(), tree.devices.end(),
                               [&](const UsbNode& p) { return p.path == d.parent; });
    if (isRoot && d.hub) walk(walk, d);
  }
  return count;
}

size_t SysfsTopology::EnumerateUsbDevices(std::span<UsbDeviceRecord> out) {
  Tree tree = ReadTree(true);
  // Only the first 24 records can name a disk's bridge. A full station has
  // more USB devices than that once hubs (twice for USB 3 hubs), root hubs,
  // keyboard and barcode reader are counted, so bridges come first.
  std::stable_partition(tree.devices.begin(), tree.devices.end(),
                        [](const UsbNode& d) { return d.storage; });
  size_t count = 0;
  for (const UsbNode& d : tree.devices) {
    if (count == out.size()) break;
    UsbDeviceRecord& r = out[count++];
    r = UsbDeviceRecord{};
    r.devNode = NodeHandle(d.path);
    CopyName(r.instanceId, sizeof r.instanceId, d.id);
  }
  return count;
}

size_t SysfsTopology::EnumerateUsbDisks(std::span<UsbDiskNode> out) {
  std::string rootPath = CanonicalRoot(root_);
  struct Found {
    std::string sortKey;
    UsbDiskNode node;
    std::string bridge;
  };
  std::vector<Found> disks;

  std::error_code ec;
  fs::directory_iterator it(fs::path(rootPath) / "sys/block", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::optional<uint32_t> number = DiskNumberFromSdName(name);
    if (!number) continue;
    std::optional<fs::path> resolved = ResolveEntry(it->path());
    if (!resolved) continue;
    const fs::path& real = *resolved;

    // The first USB interface above the disk decides: bound to a storage
    // driver, the disk is a USB disk; anything else, it is not.
    fs::path iface;
    fs::path dir = real.parent_path();
    for (int depth = 0; depth < kMaxClimb && dir.has_relative_path() && dir != rootPath; ++depth) {
      if (IsUsbInterface(dir)) {
        iface = dir;
        break;
      }
      dir = dir.parent_path();
    }
    if (iface.empty() || !IsStorageInterface(iface)) continue;
    fs::path bridge = iface.parent_path();
    if (!IsUsbDevice(bridge) || !IsUsbDevice(bridge.parent_path())) continue;
    fs::path hub = CountedPosition(bridge).hub;

    Found f;
    f.sortKey = real.string();
    f.node.diskNumber = *number;
    f.bridge = bridge.string();
    CopyName(f.node.interfacePath, sizeof f.node.interfacePath, "/dev/" + name);
    CopyName(f.node.hubInstanceId, sizeof f.node.hubInstanceId,
             UsbInstanceId(rootPath, hub.string()));
    disks.push_back(std::move(f));
  }
  std::sort(disks.begin(), disks.end(),
            [](const Found& a, const Found& b) { return SysfsPathLess(a.sortKey, b.sortKey); });
  size_t count = 0;
  for (Found& f : disks) {
    if (count == out.size()) break;
    f.node.parentNode = NodeHandle(f.bridge);
    out[count++] = f.node;
  }
  return count;
}

std::optional<uint32_t> DiskNumberFromSdName(std::string_view name) {
  if (name.size() < 3 || name.size() > 8 || name.substr(0, 2) != "sd") return std::nullopt;
  uint32_t value = 0;
  for (char c : name.substr(2)) {
    if (c < 'a' || c > 'z') return std::nullopt;
    value = value * 26 + static_cast<uint32_t>(c - 'a' + 1);
  }
  return value - 1;
}

namespace {

// The numbers of a USB device directory name: "usb2" -> {2}, "1-1.10" ->
// {1, 1, 10}. Nothing for any other name (PCI addresses, interfaces, SCSI).
std::optional<std::vector<long>> UsbNameNumbers(std::string_view name) {
  std::vector<long> numbers;
  if (name.substr(0, 3) == "usb") {
    auto bus = ParseNumber(name.substr(3));
    if (!bus) return std::nullopt;
    numbers.push_back(*bus);
    return numbers;
  }
  size_t dash = name.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto bus = ParseNumber(name.substr(0, dash));
  if (!bus) return std::nullopt;
  numbers.push_back(*bus);
  std::string_view rest = name.substr(dash + 1);
  while (true) {
    size_t dot = rest.find('.');
    auto port = ParseNumber(rest.substr(0, dot));
    if (!port) return std::nullopt;
    numbers.push_back(*port);
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return numbers;
}

}  // namespace

bool SysfsPathLess(std::string_view a, std::string_view b) {
  while (!a.empty() && !b.empty()) {
    size_t ea = a.find('/'), eb = b.find('/');
    std::string_view ca = a.substr(0, ea), cb = b.substr(0, eb);
    if (ca != cb) {
      auto na = UsbNameNumbers(ca), nb = UsbNameNumbers(cb);
      if (na && nb && *na != *nb) return *na < *nb;
      return ca < cb;
    }
    a = ea == std::string_view::npos ? std::string_view() : a.substr(ea + 1);
    b = eb == std::string_view::npos ? std::string_view() : b.substr(eb + 1);
  }
  return a.empty() && !b.empty();
}

bool SysfsTopology::DescribeUsbDevice(std::string_view instanceId, UsbDeviceDescription* out) {
  Tree tree = ReadTree(false);
  for (const UsbNode& node : tree.devices) {
    if (node.id != instanceId) continue;
    auto hex = [&](const char* name, uint32_t* value) {
      std::optional<std::string> text = ReadAttribute(node.path, name);
      if (!text) return false;
      char* end = nullptr;
      unsigned long v = std::strtoul(text->c_str(), &end, 16);
      if (end == text->c_str() || v > 0xFFFF) return false;
      *value = static_cast<uint32_t>(v);
      return true;
    };
    uint32_t vid = 0, pid = 0, bcd = 0;
    if (!hex("idVendor", &vid) || !hex("idProduct", &pid)) return false;
    out->vid = static_cast<uint16_t>(vid);
    out->pid = static_cast<uint16_t>(pid);
    out->bcdDevice = hex("bcdDevice", &bcd) ? static_cast<int32_t>(bcd) : -1;
    out->product = ReadAttribute(node.path, "product").value_or("");
    out->speedMbps = static_cast<uint32_t>(std::max(0L, SpeedMbps(node.path)));
    return true;
  }
  return false;
}

}  // namespace qelvar::platform::linux_backend
