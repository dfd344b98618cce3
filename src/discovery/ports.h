// The station's 16 ports: what the last scan found on each (DeviceInfo), the
// binding of port numbers to physical hub ports (the port table), and each
// port's run status.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "discovery/bridge_table.h"
#include "transport/pass_through_transport.h"

namespace qelvar::discovery {

inline constexpr int kPortCount = 16;

// How vendor commands reach the drive on a port.
enum InterfaceType : int32_t {
  kNoDrive = 0,
  kSatPath = 1,  // SCSI pass-through with the command image; every drive the scan accepts
  kAtaPath = 3,  // ATA pass-through with a translated task file
};

enum PortStatus : uint8_t { kReady = 0, kRunning = 1, kPassed = 2, kFailed = 3 };

// What the scan learned of the bridge in front of a port's drive.
enum class SenseFormat : uint8_t {
  kUnknown = 0,
  kDescriptor,  // 72h with the ATA return descriptor
  kFixed,       // 70h, the registers of a 28-bit command
  kNone,        // CK_COND brings no sense: returned registers never arrive
};
[[nodiscard]] const char* SenseFormatName(SenseFormat format);

struct BridgeInfo {
  bool probed = false;  // a fixed USB disk was found and its bridge probed
  uint16_t vid = 0, pid = 0;
  int32_t bcdDevice = -1;  // -1: not known
  char product[64] = {};   // the bridge's USB product string
  uint32_t speedMbps = 0;  // 0: not known
  bool fromTable = false;  // bridges.ini decided, not the probe
  transport::Route route = transport::Route::kBoth;
  SenseFormat sense = SenseFormat::kUnknown;
  uint32_t maxTransfer = 0;  // largest data phase in bytes; 0: the bridge does not say
  transport::BridgeTimeouts timeouts{};  // from the table only; 0: the station's own
  bool supported = true;
  char path[256] = {};    // the disk's device path, also for a port that is not started
  char reason[160] = {};  // why the bridge cannot carry the flow (unsupported only)
};

struct DeviceInfo {
  char Path[256] = {};
  uint8_t Identify[512] = {};  // IDENTIFY DEVICE with the bytes of every word exchanged
  int32_t InterfaceType = kNoDrive;
  // Run fields. The done flag is read by the UI thread while workers run.
  std::atomic<uint8_t> done{0};
  int32_t badBlockCount = 0;
  char SerialNumber[21] = {};
  BridgeInfo bridge;

  DeviceInfo() = default;
  DeviceInfo(const DeviceInfo&) = delete;
  DeviceInfo& operator=(const DeviceInfo&) = delete;

  // Zeroes the record, run fields included, as every scan does.
  void Clear() {
    std::memset(Path, 0, sizeof Path);
    std::memset(Identify, 0, sizeof Identify);
    InterfaceType = kNoDrive;
    done.store(0);
    badBlockCount = 0;
    std::memset(SerialNumber, 0, sizeof SerialNumber);
    bridge = BridgeInfo{};
  }
  [[nodiscard]] bool HasDrive() const { return InterfaceType != kNoDrive; }
};

// One physical hub port: the hub's instance ID and the 0-based port index.
struct PortIdentity {
  char hubInstanceId[260] = {};
  uint16_t portIndex = 0;
};

// Everything the scan owns. gPortTable and gPortCount live for the whole
// process and are never cleared; gDeviceInfo is rebuilt by every scan.
struct PortState {
  std::array<DeviceInfo, kPortCount> gDeviceInfo;
  std::array<PortIdentity, kPortCount> gPortTable{};
  uint8_t gPortCount = 0;
  // How many distinct hub ports have ever been numbered (not wrapped), so
  // code that must cover every assigned port number can tell 0 from 16.
  uint32_t gPortsAssigned = 0;
  std::array<std::atomic<uint8_t>, kPortCount> gPortStatus{};
  // The line's bridge table; read by every scan, set by whoever knows the
  // station folder.
  BridgeTable bridgeTable;
};

}  // namespace qelvar::discovery
