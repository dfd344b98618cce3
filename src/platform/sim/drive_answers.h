// The answers a simulated drive gives, built from its station-file entry: the
// IDENTIFY page, the vendor identify page, the NAND information, the RDT log
// and the two bad-block tables. Entries and bad units come from the drive's
// seed, so the same station file always gives the same bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/sim/station_config.h"

namespace qelvar::platform::sim {

inline constexpr size_t kIdentifyBytes = 512;
inline constexpr size_t kRdtLogBytes = 16896;
inline constexpr size_t kTableBytes = 32768;

// IDENTIFY DEVICE as the drive sends it: ATA strings with the first character
// of each pair in the high byte, the 28-bit and 48-bit capacities, and the
// integrity word.
[[nodiscard]] std::vector<uint8_t> BuildIdentify(std::string_view model, std::string_view serial,
                                                 std::string_view firmware, uint64_t sectors);

// Bytes 68-71 the sector count, 72-75 the bad block number.
[[nodiscard]] std::vector<uint8_t> BuildVendorIdentify(uint32_t sectors, uint32_t badBlocks);

// The eight flash ID entries that are present, in entry order (ch x 4 + ce).
[[nodiscard]] std::vector<int> PresentFlashEntries(const DriveConfig& drive);
[[nodiscard]] std::vector<uint8_t> BuildNandInfo(const DriveConfig& drive);

[[nodiscard]] std::vector<uint8_t> BuildRdtLog(const DriveConfig& drive);
// The factory table (with "FCT_DATA" in its head) or the run-time table.
[[nodiscard]] std::vector<uint8_t> BuildBadBlockTable(const DriveConfig& drive, bool factory);

// The bad units of each table, as unit numbers in bitmap order.
struct BadUnits {
  std::vector<uint32_t> factory;
  std::vector<uint32_t> runtime;
};
[[nodiscard]] BadUnits GenerateBadUnits(const DriveConfig& drive);

}  // namespace qelvar::platform::sim
