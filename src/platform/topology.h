// The USB topology as three plain views, in the form the port-numbering rule
// needs them: hubs with the devices on their ports, the USB devices, and the
// USB mass-storage disks with their parent chain. Every name is a fixed,
// terminated field: a backend cuts a longer name rather than write past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qelvar::platform {

inline constexpr size_t kNameCapacity = 260;  // 259 characters and a terminator
inline constexpr size_t kHubIdCapacity = 263;
inline constexpr size_t kMaxHubs = 24;
inline constexpr size_t kMaxHubPorts = 24;
inline constexpr size_t kMaxUsbDevices = 24;
inline constexpr size_t kMaxUsbDisks = 24;
inline constexpr size_t kMaxCandidates = 24;

// Copies `text` into a fixed field of `capacity` bytes, cut to capacity - 1
// characters, always terminated; the rest of the field is zeroed.
void CopyName(char* field, size_t capacity, std::string_view text);

// Lower-cases ASCII letters in place, up to the terminator.
void LowerCaseName(char* field, size_t capacity);

struct HubPortEntry {
  uint16_t portIndex = 0;                     // port number on the hub minus one
  char deviceInstanceId[kNameCapacity] = {};  // lower-cased; empty: nothing connected
};

struct HubRecord {
  uint8_t portCount = 0;
  char hubInstanceId[kHubIdCapacity] = {};
  HubPortEntry entries[kMaxHubPorts] = {};  // entry i is port i + 1
};

struct UsbDeviceRecord {
  uint32_t devNode = 0;
  char instanceId[kNameCapacity] = {};
};

// A USB mass-storage disk as the backend sees it, before it is tied to a hub
// port: its number, the device node of its parent (the bridge) and the
// instance ID of its grandparent (the hub the bridge is plugged into).
struct UsbDiskNode {
  uint32_t diskNumber = 0;
  uint32_t parentNode = 0;
  char interfacePath[kNameCapacity] = {};
  char hubInstanceId[kNameCapacity] = {};
};

// What a USB device says of itself on the bus.
struct UsbDeviceDescription {
  uint16_t vid = 0, pid = 0;
  int32_t bcdDevice = -1;  // -1: not known
  std::string product;     // the product string; empty when it has none
  uint32_t speedMbps = 0;  // 0: not known
};

class Topology {
 public:
  virtual ~Topology() = default;
  // The device with this instance ID (as EnumerateUsbDevices reports it);
  // false when the backend cannot tell.
  virtual bool DescribeUsbDevice(std::string_view instanceId, UsbDeviceDescription* out) {
    (void)instanceId;
    (void)out;
    return false;
  }
  // Hubs with at least one connected device; a hub behind another hub's port
  // is recorded before that hub. Returns the number written (at most out.size()).
  virtual size_t EnumerateHubs(std::span<HubRecord> out) = 0;
  virtual size_t EnumerateUsbDevices(std::span<UsbDeviceRecord> out) = 0;
  // USB mass-storage disks in a stable order.
  virtual size_t EnumerateUsbDisks(std::span<UsbDiskNode> out) = 0;
};

}  // namespace qelvar::platform
