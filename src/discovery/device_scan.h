// The device scan: finds the drives, gives every physical hub port a station
// port number for the life of the process, checks that each disk is a fixed
// USB disk, reads its IDENTIFY DEVICE data over the SAT path and fills the
// port's DeviceInfo record and row.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "discovery/port_list.h"
#include "discovery/ports.h"
#include "platform/device_io.h"
#include "platform/topology.h"
#include "transport/pass_through_transport.h"

namespace qelvar::discovery {

// Receives one line per listed drive. Empty (the default): the lines are
// dropped, so the trace costs nothing unless an engineer turns it on.
using DebugTrace = std::function<void(std::string_view line)>;

// IDENTIFY DEVICE as an ATA PASS-THROUGH (12): PIO data-in, length in bytes,
// sector count 1, device E0h, command ECh; 512 bytes come back.
inline constexpr uint8_t kIdentifyImage[12] = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00,
                                               0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
inline constexpr uint32_t kIdentifyLength = 512;

// The Status cell of a port whose bridge cannot carry the flow.
inline constexpr std::string_view kUnsupportedBridge = "Unsupported bridge";

// What the operator reads when "Device Scan" is pressed while a port runs.
inline constexpr std::string_view kScanRefusedCaption = "Device Scan";
inline constexpr std::string_view kScanRefusedText =
    "A port is still running. Device Scan is available again when every running port has "
    "finished.";

// Capacity in decimal megabytes from IDENTIFY data whose word bytes are
// already exchanged: the 28-bit sector count of words 60-61, or the 48-bit
// count of words 100-103 when the 28-bit one reads 0FFFFFFFh.
[[nodiscard]] uint64_t CapacityMbFromIdentify(std::span<const uint8_t, 512> identify);

// Empties the port list and recreates its 16 rows, "1" to "16" in the Port
// column and every other cell empty.
void InitPortRows(PortListSink& sink);

// True while any port's worker runs (its status byte reads running). A scan
// rewrites every DeviceInfo record the workers use, so it must not run then.
[[nodiscard]] bool AnyWorkerRunning(const PortState& state);

// Runs one scan. Must not be called while a worker runs (see OnDeviceScan).
// Effects: gDeviceInfo rebuilt, gPortTable/gPortCount/gPortsAssigned grown,
// gPortStatus set to ready for every drive that answered, the 16 rows
// recreated and filled.
void ScanDevices(PortState& state, PortListSink& sink, platform::Topology& topology,
                 platform::DeviceIo& io, transport::PassThroughTransport& transport,
                 const DebugTrace& trace = {});

enum class ScanOutcome : uint8_t {
  kScanned,
  kRefusedWorkerRunning,  // nothing changed; show kScanRefusedText
};

// The "Device Scan" button: scans unless a worker runs. A device-change rescan
// uses the same check and ignores the refusal silently.
[[nodiscard]] ScanOutcome OnDeviceScan(PortState& state, PortListSink& sink,
                                       platform::Topology& topology, platform::DeviceIo& io,
                                       transport::PassThroughTransport& transport,
                                       const DebugTrace& trace = {});

}  // namespace qelvar::discovery
