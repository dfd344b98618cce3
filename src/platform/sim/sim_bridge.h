// The USB-to-SATA bridge in front of a simulated drive, as bridges bought by
// the hundred really behave: which ATA PASS-THROUGH forms they carry, the
// sense format they answer in, whether CK_COND brings the registers back and
// how large a data phase they move. Shared by the in-process station and
// qelvar-simbridge, so both show the host the same bridge.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_io.h"

namespace qelvar::platform::sim {

enum class BridgeKind : uint8_t {
  Sat,            // ATA PASS-THROUGH (12) and (16), descriptor sense with the ATA registers
  Sat16Only,      // (12) is refused: its opcode A1h is also MMC BLANK
  Sat12Only,      // (16) is refused
  NoCkCondSense,  // CK_COND answers GOOD without sense: no registers ever come back
  FixedSense,     // sense in fixed format 70h, the registers where SAT puts them for 28-bit
  MaxTransfer,    // a data phase above maxTransfer bytes is refused
  NoPassThrough,  // a plain mass-storage bridge: no ATA PASS-THROUGH at all
};

struct BridgeBehaviour {
  BridgeKind kind = BridgeKind::Sat;
  uint32_t maxTransfer = 0;  // MaxTransfer only
};

// "sat", "sat16-only", "sat12-only", "no-ck-cond-sense", "fixed-sense",
// "max-transfer=N" (512 to 16 MiB), "no-pass-through"; case-insensitive.
[[nodiscard]] bool ParseBridge(std::string_view name, BridgeBehaviour* out);
[[nodiscard]] std::string BridgeName(const BridgeBehaviour& bridge);

inline constexpr uint8_t kSatOpcode12 = 0xA1, kSatOpcode16 = 0x85;
inline constexpr uint8_t kCkCondBit = 0x20;  // byte 2 of both forms

// The bridge's own refusal of a command before the drive sees it, or an
// empty vector: the sense it answers with (CHECK CONDITION).
[[nodiscard]] std::vector<uint8_t> BridgeRefusal(const BridgeBehaviour& bridge,
                                                 std::span<const uint8_t> cdb, uint32_t length);

// The sense for a pass-through the drive ran: `error` and `status` are the
// registers it returned, `refused` whether it ended with ERR. Empty: GOOD
// without sense (a success without CK_COND, or a bridge that drops CK_COND).
[[nodiscard]] std::vector<uint8_t> BridgeAnswerSense(const BridgeBehaviour& bridge,
                                                     std::span<const uint8_t> cdb, bool refused,
                                                     uint8_t error, uint8_t status);

// The bridge's answer to INQUIRY with EVPD set: the page list, and the Block
// Limits page when the bridge states its largest transfer. False: the page
// is not supported (ILLEGAL REQUEST, INVALID FIELD IN CDB).
[[nodiscard]] bool BridgeVpdPage(const BridgeBehaviour& bridge, uint8_t page,
                                 std::vector<uint8_t>* out);

}  // namespace qelvar::platform::sim
