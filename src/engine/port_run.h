// The small helpers of a port's run that turn the drive's answers into run
// state (status words, NAND information, flash identification, CE tables,
// bin, firmware version text), and the report a worker makes when it ends.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "discovery/port_list.h"
#include "discovery/ports.h"
#include "engine/fail_codes.h"
#include "engine/run_state.h"
#include "settings/mp_settings.h"
#include "vendor/vendor_commands.h"

namespace qelvar::engine {

inline constexpr uint8_t kNoBin = 255;
inline constexpr size_t kNandInfoBytes = 100;

// 0 when the drive answers the inject status read, 5 ("GET INJECT FAIL")
// when it does not. The answer itself is not looked at.
[[nodiscard]] FailCode PollInject(vendor::VendorCommands& commands, vendor::PortTarget target);

// 5 when the read fails; otherwise the fail code of the drive's status word
// (0 for a word that names no failure).
[[nodiscard]] FailCode ReadInjectStatus(vendor::VendorCommands& commands,
                                        vendor::PortTarget target);

// Copies the first 100 bytes of the NAND information answer into the front of
// the port's record. True (failed) when the read fails (the record is left
// alone) or the drive reports no channel (the bytes are copied all the same).
[[nodiscard]] bool ReadNandInfo(vendor::VendorCommands& commands, vendor::PortTarget target,
                                SharedNandReport& report);

// Looks the first six bytes of flash ID entry 0 up in the built-in flash ID
// table; on a match stores its index in `detectedFlashIndex` and returns true.
bool MatchFlashId(const NandReport& report, std::atomic<uint8_t>& detectedFlashIndex);

// Clears the CE bin and MR tables of the record, then fills them from the
// drive (answer byte ce * 2 + ch goes to [ch][ce]). True when a read fails.
[[nodiscard]] bool ReadCeTables(vendor::VendorCommands& commands, vendor::PortTarget target,
                                SharedNandReport& report);

// The bin after the SetBin rule ("Default" 0, "Bin12" 1, "Bin23" 2).
[[nodiscard]] uint8_t ApplyBinRule(uint8_t rawBin, uint8_t setBin);

// Reads the drive's bin and applies the SetBin rule. True when the read fails;
// `bin` is then unchanged.
[[nodiscard]] bool ReadBin(vendor::VendorCommands& commands, vendor::PortTarget target,
                           uint8_t setBin, uint8_t& bin);

// The worker's firmware version text: FWVersion, with its eighth character
// derived from FWOriver and the bin when the drive has a bin.
[[nodiscard]] std::array<char, 9> DeriveFwVersion(uint8_t bin,
                                                  const settings::MpSettings& settings);

// What a finishing worker reaches.
struct PortRunContext {
  discovery::PortListSink& list;
  discovery::PortState& ports;
  RunState& run;
  RunEvents& events;
};

// Writes the port's result into its row, sets its status and done flag,
// counts it as passed or failed and posts the completion, in that order: the
// page's completion handler reads the done flags.
void ReportPortResult(const PortRunContext& context, const settings::MpSettings& settings, int port,
                      FailCode failCode, uint8_t bin, std::string_view fwVersion,
                      std::string_view serialNumber);

}  // namespace qelvar::engine
