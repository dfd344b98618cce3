// The texts of the RDT info dialog, from one port's NAND report: the flash ID
// cells and the count table for one kind of count.
#pragma once

#include <array>
#include <string>

#include "engine/run_state.h"

namespace qelvar::ui {

enum class CountKind : uint8_t { kFct, kDft, kRdt, kRunBad };

// The first six bytes of flash ID entry ch * 4 + ce, each as two lower-case
// hex digits and two blanks.
[[nodiscard]] std::string FlashIdCellText(const engine::NandReport& report, int ch, int ce);

// Run-time bad blocks that are neither RDT failures nor factory bad blocks:
// DFT - RDT - FCT per CE; negative where the drive's counts do not add up.
[[nodiscard]] engine::CeCounts RunBadCounts(const engine::NandReport& report);

struct CountTable {
  std::array<std::array<std::string, engine::kChannels>, engine::kCesPerChannel> cells;  // [ce][ch]
  std::array<std::string, engine::kChannels> channelSums;  // the "All" row
  std::string allBad;
};

// `values` are the counts shown; `live` is the port's record as read now,
// which says which CEs are present and carries their bins and MR values.
// Absent CEs show two blanks, but their counts enter the sums.
[[nodiscard]] CountTable MakeCountTable(const engine::NandReport& live,
                                        const engine::CeCounts& values);

}  // namespace qelvar::ui
