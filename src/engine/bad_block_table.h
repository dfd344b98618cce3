// The factory (FCT) and run-time (DFT) bad-block tables a drive builds:
// decoding the bitmap unit by unit, the per-CE counts, the table total and the
// "<port>_FCTBBT.txt" / "<port>_DFTBBT.txt" reports.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/report_text.h"
#include "engine/run_state.h"
#include "settings/mp_settings.h"
#include "vendor/vendor_commands.h"

namespace qelvar::engine {

inline constexpr size_t kBadBlockTableBytes = 32768;
inline constexpr size_t kBadBlockHeadBytes = 64;
inline constexpr size_t kBitmapLengthOffset = 92;
inline constexpr size_t kBitmapOffset = 96;
// The bitmap ends with the block: at most 32,768 - 96 bytes.
inline constexpr int32_t kMaxBitmapBytes = 32672;

enum class BadBlockTableKind : uint8_t { kFct, kDft };

struct BadBlockTableReport {
  BadBlockTableKind kind = BadBlockTableKind::kDft;
  int32_t total = 0;
  std::string text;
};

// The CE count the table walks for each channel: taken from how many flash ID
// entries name a present CE (1, 3 or 5 of them), otherwise the record's
// ceCount.
[[nodiscard]] int WalkCeCount(const NandReport& geometry);

// A unit's row of the report is built from two parts: the middle, which
// depends only on the unit's place within its block (made once per table),
// "-----<ce>     <ch>    <lun>    <plane>    ", and the rest.
[[nodiscard]] std::string UnitRowMiddle(int ce, int ch, int lun, int plane);
void AppendUnitRow(ReportText& out, int64_t row, std::string_view middle, int64_t blockNumber,
                   uint8_t map, bool bad);

// Decodes one table block (the answer as read; bytes it does not reach read
// as zero) with the geometry of `record`, adds its bad units to the record's
// fctBad or dftBad and returns the report text and the table's total.
//
// Limits of the geometry and the block, and how they are kept:
//  - A bitmap length above 32,672 bytes is taken as 32,672, the bitmap's room
//    in the block; the final block walked reads bits past the block as good.
//  - A unit count per block U (planes x LUNs x channels x walk CEs) of 0 or
//    above 255 describes no walkable layout: no unit rows are listed and the
//    total is 0; head, column header, summary and total line are written.
//  - Channels from 2 up and walk CEs from 4 up are walked and listed (the
//    bitmap's layout depends on them) and count into the total, but have no
//    per-CE count; the summary shows channels 0-1 and CEs 0-3 at most.
[[nodiscard]] BadBlockTableReport DecodeBadBlockTable(std::span<const uint8_t> block,
                                                      NandReport& record);

// Decodes the block into `record`, stores the table's total in `badTotal`
// (overwriting it) and, with PrintBBT, makes sure `dbugFolder` exists and
// writes the report: an FCT report replaces the port's file, a DFT report is
// appended to it. Without PrintBBT no folder or file is touched.
void ParseBadBlockTable(std::span<const uint8_t> block, NandReport& record, int32_t& badTotal,
                        int port, const settings::MpSettings& settings,
                        const std::string& dbugFolder);

// Read the port's factory / run-time table with one read and parse it into
// the port's record. True (failed) when the read fails; nothing is touched
// then.
[[nodiscard]] bool ReadFctTable(vendor::VendorCommands& commands, vendor::PortTarget target,
                                RunState& state, int32_t& badTotal, int port,
                                const settings::MpSettings& settings,
                                const std::string& dbugFolder);
[[nodiscard]] bool ReadDftTable(vendor::VendorCommands& commands, vendor::PortTarget target,
                                RunState& state, int32_t& badTotal, int port,
                                const settings::MpSettings& settings,
                                const std::string& dbugFolder);

}  // namespace qelvar::engine
