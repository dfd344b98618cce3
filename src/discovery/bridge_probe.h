// The probe of a port's USB-to-SATA bridge at scan: with harmless commands
// (IDENTIFY DEVICE, CHECK POWER MODE, INQUIRY's vital product data) it learns
// which form of ATA PASS-THROUGH the bridge carries, which sense format comes
// back and whether the returned registers arrive, and the largest data phase
// the bridge states. The scan then decides whether the bridge can carry every
// command the flow sends, before any drive is started.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "discovery/ports.h"
#include "transport/pass_through_transport.h"

namespace qelvar::discovery {

// The flow's largest data phase: a bad-block table block. A bridge that
// states a smaller limit cannot carry it.
inline constexpr uint32_t kFlowLargestTransfer = 32768;
// The RDT result read is a 48-bit READ LOG EXT whose upper LBA byte is set:
// it has no ATA PASS-THROUGH (12) form.
inline constexpr bool kFlowNeeds48BitForm = true;

struct ProbeResult {
  BridgeInfo bridge;
  bool identified = false;              // IDENTIFY answered on some route
  std::array<uint8_t, 512> identify{};  // as received (word bytes not yet exchanged)
};

// Probes the bridge of the disk at `path`. The IDENTIFY answer comes from the
// 12-byte form when the bridge carries it, else the 16-byte one. With a table
// entry the entry decides, and only IDENTIFY is sent, on the entry's route.
[[nodiscard]] ProbeResult ProbeBridge(transport::PassThroughTransport& transport,
                                      std::string_view path, const BridgeEntry* entry = nullptr);

// Whether a bridge so described can carry the flow; fills bridge->supported
// and bridge->reason.
void JudgeBridge(BridgeInfo* bridge);

// VID and PID from a USB instance ID ("usb\vid_1209&pid_0001\..."); false
// when it names none.
[[nodiscard]] bool VidPidFromInstanceId(std::string_view id, uint16_t* vid, uint16_t* pid);

}  // namespace qelvar::discovery
