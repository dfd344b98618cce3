// The RDT result a drive keeps after its reliability test: decoding the block,
// the per-CE failure counts and the "<port>_RDT.txt" report.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/run_state.h"
#include "settings/mp_settings.h"
#include "vendor/vendor_commands.h"

namespace qelvar::engine {

inline constexpr size_t kRdtBlockBytes = 16896;
inline constexpr uint32_t kRdtSignature = 0x52445444;   // "RDTD"
inline constexpr uint32_t kRdtPassResult = 0x50415353;  // "PASS"
inline constexpr size_t kRdtHeaderBytes = 16;
inline constexpr size_t kRdtEntryBytes = 8;
inline constexpr size_t kRdtHeaderSearch = 128;

struct RdtReport {
  bool pass = false;
  uint32_t entryCount = 0;     // as the header states it
  uint32_t entriesListed = 0;  // those lying within the block
  std::string text;
};

// Decodes an RDT result block (the answer as read; bytes it does not reach
// read as zero). Returns nothing when the block is not accepted: no
// "RDT_DATA" before its first zero byte, or no header signature at offsets
// 0-127. Otherwise adds each listed entry to `rdtFail` and returns the report
// text, whose per-CE summary shows `rdtFail` after the additions.
//
// An entry count reaching past the block is bounded by it: only the entries
// lying wholly within the 16,896 bytes are counted and listed, while the
// "_EntryCount_" line keeps the count the drive stated.
[[nodiscard]] std::optional<RdtReport> DecodeRdtResult(std::span<const uint8_t> block,
                                                       CeCounts& rdtFail);

// Reads the port's RDT result block, decodes it into the port's rdtFail
// counts, sets its gRdtPass byte on PASS, makes sure `dbugFolder` exists
// (whatever the options say) and, with RDTRecordEn, replaces
// "<dbugFolder>/<port>_RDT.txt" with the report. True (failed) when the read
// fails or the block is not accepted; nothing is touched then. File and folder
// failures do not change the result.
[[nodiscard]] bool ReadRdtResult(vendor::VendorCommands& commands, vendor::PortTarget target,
                                 RunState& state, int port, const settings::MpSettings& settings,
                                 const std::string& dbugFolder);

}  // namespace qelvar::engine
