// The bridge table is line-written text: any bytes are either refused with a
// message or give entries that write out as a table reading back the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/bridge_table.h"
#include "discovery/ports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qelvar::discovery;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  BridgeTable table;
  std::string error;
  if (!ParseBridgeTable(text, &table, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  std::string written;
  for (const BridgeEntry& e : table.entries) {
    if (e.bcdDevice >= 0) continue;  // written entries carry no revision
    BridgeInfo b;
    b.vid = e.vid;
    b.pid = e.pid;
    b.route = e.route;
    b.sense = e.sense == 0 ? SenseFormat::kNone : static_cast<SenseFormat>(e.sense);
    b.maxTransfer = e.maxTransfer;
    written += FormatBridgeEntry(b);
  }
  BridgeTable again;
  if (!ParseBridgeTable(written, &again, &error)) __builtin_trap();
  for (const BridgeEntry& e : again.entries) {
    if (FindBridgeEntry(table, e.vid, e.pid, -1) == nullptr) __builtin_trap();
  }
  return 0;
}
