#include "discovery/device_scan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "discovery/bridge_probe.h"
#include "discovery/port_candidates.h"

namespace qelvar::discovery {

namespace {

// Byte offsets of the IDENTIFY text fields (word number x 2) and their lengths.
constexpr size_t kSerialOffset = 10 * 2, kSerialLength = 20;
constexpr size_t kFwOffset = 23 * 2, kFwLength = 8;
constexpr size_t kModelOffset = 27 * 2, kModelLength = 40;

uint64_t Word(std::span<const uint8_t, 512> identify, size_t w) {
  return uint64_t{identify[2 * w]} * 256 + identify[2 * w + 1];
}

// A text field as the list shows it: its fixed number of characters, ended
// early by a zero byte.
std::string_view IdentifyText(const uint8_t* identify, size_t offset, size_t length) {
  const char* p = reinterpret_cast<const char*>(identify + offset);
  return {p, strnlen(p, length)};
}

bool SameIdentity(const PortIdentity& entry, const PortCandidate& c) {
  return entry.portIndex == c.portIndex &&
         std::strncmp(entry.hubInstanceId, c.hubInstanceId, sizeof entry.hubInstanceId) == 0;
}

// The station port number of the candidate's hub port. A hub port seen before
// keeps its number; an unseen one takes gPortCount, which then moves on and
// wraps after 16. Sets *renumbered when the number was (re)bound just now.
int PortNumberFor(PortState& state, const PortCandidate& c, bool* renumbered) {
  // Entries never bound hold an empty identity; they must not match a
  // candidate, however its names look.
  size_t bound = std::min<uint32_t>(state.gPortsAssigned, kPortCount);
  for (size_t n = 0; n < bound; ++n) {
    if (SameIdentity(state.gPortTable[n], c)) {
      *renumbered = false;
      return static_cast<int>(n);
    }
  }
  int port = state.gPortCount;
  PortIdentity& entry = state.gPortTable[static_cast<size_t>(port)];
  platform::CopyName(entry.hubInstanceId, sizeof entry.hubInstanceId, c.hubInstanceId);
  entry.portIndex = c.portIndex;
  state.gPortCount = static_cast<uint8_t>((state.gPortCount + 1) % kPortCount);
  ++state.gPortsAssigned;
  *renumbered = true;
  return port;
}

// Only a fixed disk on the USB bus is a station drive: card readers and
// removable sticks are left alone.
bool IsFixedUsbDisk(platform::DeviceIo& io, const std::string& path) {
  int error = 0;
  std::unique_ptr<platform::DeviceHandle> handle =
      io.Open(path, platform::ShareMode::SharedReadWrite, &error);
  if (!handle) return false;
  platform::StorageDescriptor descriptor;
  bool ok = handle->QueryStorageDescriptor(&descriptor);
  handle.reset();
  return ok && descriptor.busType == platform::BusType::Usb && !descriptor.removableMedia;
}

void ClearRow(PortListSink& sink, int port) {
  for (int column = kColStatus; column < kPortColumns; ++column) sink.SetCell(port, column, "");
}

}  // namespace

uint64_t CapacityMbFromIdentify(std::span<const uint8_t, 512> identify) {
  uint64_t sectors = Word(identify, 61) * 65536 + Word(identify, 60);
  if (sectors == 0x0FFFFFFF) {
    sectors = Word(identify, 100) | Word(identify, 101) << 16 | Word(identify, 102) << 32 |
              Word(identify, 103) << 48;
  }
  return sectors * 512 / 1000 / 1000;
}

void InitPortRows(PortListSink& sink) {
  sink.InitPortRows();
}

bool AnyWorkerRunning(const PortState& state) {
  for (const auto& status : state.gPortStatus) {
    if (status.load() == kRunning) return true;
  }
  return false;
}

void ScanDevices(PortState& state, PortListSink& sink, platform::Topology& topology,
                 platform::DeviceIo& io, transport::PassThroughTransport& transport,
                 const DebugTrace& trace) {
  for (DeviceInfo& info : state.gDeviceInfo) info.Clear();
  InitPortRows(sink);

  std::array<PortCandidate, platform::kMaxCandidates> candidates;
  size_t count = DiscoverPortCandidates(topology, candidates);

  std::array<bool, kPortCount> handled{};
  for (size_t k = 0; k < count; ++k) {
    const PortCandidate& candidate = candidates[k];
    bool renumbered = false;
    int port = PortNumberFor(state, candidate, &renumbered);
    auto slot = static_cast<size_t>(port);
    DeviceInfo& info = state.gDeviceInfo[slot];
    // More than 16 hub ports in one scan: the number wrapped onto a port this
    // scan already filled for another hub port. Its record and row now belong
    // to the new hub port, so the old drive's texts must not stay beside it.
    if (renumbered && handled[slot]) {
      info.Clear();
      ClearRow(sink, port);
    }
    handled[slot] = true;

    std::string devicePath = io.DiskPath(candidate.diskNumber);
    if (!IsFixedUsbDisk(io, devicePath)) continue;
    info.InterfaceType = kSatPath;

    // The bridge is probed with harmless commands before anything else, and
    // IDENTIFY comes back on whichever form it carries.
    platform::UsbDeviceDescription usb;
    if (!topology.DescribeUsbDevice(candidate.usbInstanceId, &usb)) {
      (void)VidPidFromInstanceId(candidate.usbInstanceId, &usb.vid, &usb.pid);
    }
    const BridgeEntry* entry = FindBridgeEntry(state.bridgeTable, usb.vid, usb.pid, usb.bcdDevice);
    ProbeResult probe = ProbeBridge(transport, devicePath, entry);
    info.bridge = probe.bridge;
    info.bridge.vid = usb.vid;
    info.bridge.pid = usb.pid;
    info.bridge.bcdDevice = usb.bcdDevice;
    info.bridge.speedMbps = usb.speedMbps;
    platform::CopyName(info.bridge.product, sizeof info.bridge.product, usb.product);
    if (!info.bridge.supported) {
      // A bridge that cannot carry the flow: shown at scan, never started,
      // no serial number.
      info.InterfaceType = kNoDrive;
      sink.SetCell(port, kColStatus, std::string(kUnsupportedBridge));
      continue;
    }
    if (!probe.identified) continue;
    const std::array<uint8_t, kIdentifyLength>& answer = probe.identify;

    sink.SetCell(port, kColStatus, "Ready");
    state.gPortStatus[slot].store(kReady);

    for (size_t i = 0; i + 1 < kIdentifyLength; i += 2) {
      info.Identify[i] = answer[i + 1];
      info.Identify[i + 1] = answer[i];
    }
    const uint8_t* id = info.Identify;
    sink.SetCell(port, kColModel, IdentifyText(id, kModelOffset, kModelLength));
    char capacity[16];
    uint64_t mb = CapacityMbFromIdentify(std::span<const uint8_t, 512>(info.Identify));
    std::snprintf(capacity, sizeof capacity, "%d", static_cast<int32_t>(static_cast<uint32_t>(mb)));
    sink.SetCell(port, kColCapacity, capacity);
    sink.SetCell(port, kColSerial, IdentifyText(id, kSerialOffset, kSerialLength));
    sink.SetCell(port, kColFwVersion, IdentifyText(id, kFwOffset, kFwLength));
    sink.SetCell(port, kColProgress, "0");
    std::memcpy(info.SerialNumber, id + kSerialOffset, kSerialLength);
    info.SerialNumber[kSerialLength] = '\0';

    platform::CopyName(info.Path, sizeof info.Path, devicePath);
    if (trace) {
      char line[600];
      std::snprintf(line, sizeof line, "pas08DevicePath[%d] = %s gDeviceInfo[%d].Path = %s\r\n",
                    static_cast<int>(k), devicePath.c_str(), port, info.Path);
      trace(line);
    }
  }
}

ScanOutcome OnDeviceScan(PortState& state, PortListSink& sink, platform::Topology& topology,
                         platform::DeviceIo& io, transport::PassThroughTransport& transport,
                         const DebugTrace& trace) {
  if (AnyWorkerRunning(state)) return ScanOutcome::kRefusedWorkerRunning;
  ScanDevices(state, sink, topology, io, transport, trace);
  return ScanOutcome::kScanned;
}

}  // namespace qelvar::discovery
