// The line's own table of bridges, "bridges.ini" in the station folder: one
// section per bridge model, "[VID:PID]" or "[VID:PID:bcdDevice]" in hex, with
// what the station should take as that bridge's route, sense format and
// largest transfer, and the longer time-outs a slow bridge needs. An entry
// overrides the probe, which then sends nothing but IDENTIFY on the entry's
// route: a bridge that misbehaves when probed can be named here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/pass_through_transport.h"

namespace qelvar::discovery {

struct BridgeInfo;
enum class SenseFormat : uint8_t;

struct BridgeEntry {
  uint16_t vid = 0, pid = 0;
  int32_t bcdDevice = -1;  // -1: every revision
  transport::Route route = transport::Route::kBoth;
  uint8_t sense = 0;         // a SenseFormat
  uint32_t maxTransfer = 0;  // bytes; 0: no limit known
  transport::BridgeTimeouts timeouts{};  // 0: the station's own
};

struct BridgeTable {
  std::vector<BridgeEntry> entries;
};

inline constexpr std::string_view kBridgeTableFile = "bridges.ini";

// Parses the table's text. False with *error naming the line on bad input;
// nothing of a bad table is used.
[[nodiscard]] bool ParseBridgeTable(std::string_view text, BridgeTable* out, std::string* error);

// The entry for this bridge: one naming its revision first, else one for
// every revision; null when the table has none.
[[nodiscard]] const BridgeEntry* FindBridgeEntry(const BridgeTable& table, uint16_t vid,
                                                 uint16_t pid, int32_t bcdDevice);

// A ready entry for the table from what the probe found.
[[nodiscard]] std::string FormatBridgeEntry(const BridgeInfo& bridge);

// Parses route and sense names as the table writes them.
[[nodiscard]] bool RouteFromName(std::string_view name, transport::Route* out);

}  // namespace qelvar::discovery
