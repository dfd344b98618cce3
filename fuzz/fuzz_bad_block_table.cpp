// The bad-block table decoder on any geometry and any block: the walk ends,
// stays within the block, and its total matches the rows it marks bad.
//
// Input: chCount, ceCount, lunCount, planeCount, the number of present flash
// ID entries (low 4 bits, up to 8), then the table block.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/bad_block_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  qelvar::engine::NandReport record;
  record.chCount = data[0];
  record.ceCount = data[1];
  record.lunCount = data[2];
  record.planeCount = data[3];
  const int present = std::min(data[4] & 0x0F, 8);
  for (int i = 0; i < present; ++i) record.flashId[static_cast<size_t>(i)][0] = 1;
  const std::span<const uint8_t> block(data + 5, size - 5);

  auto report = qelvar::engine::DecodeBadBlockTable(block, record);

  const std::string_view text = report.text;
  int64_t failRows = 0;
  for (size_t at = text.find("---Fail\r\n"); at != std::string_view::npos;
       at = text.find("---Fail\r\n", at + 1)) {
    ++failRows;
  }
  int64_t perCe = 0;
  for (const auto& ch :
       report.kind == qelvar::engine::BadBlockTableKind::kFct ? record.fctBad : record.dftBad) {
    for (int32_t c : ch) perCe += c;
  }
  // The head echo may itself spell "---Fail\r\n"; it holds at most 9 bytes.
  const bool totalMatches = failRows == report.total || failRows == report.total + 1;
  if (!totalMatches || perCe > report.total || report.total > 32672 * 8 ||
      text.substr(0, 2) != "\r\n" || text.size() < 4 ||
      text.substr(text.size() - 4) != "\r\n\r\n") {
    __builtin_trap();
  }
  return 0;
}
