// The bad-block table decoder on any geometry and any block: the walk ends,
// stays within the block, and its total matches the rows it marks bad.
//
// Input: chCount, ceCount, lunCount, planeCount, a control byte, then the
// table block. Control bits 0-3: present flash ID entries (up to 8); bits 4-7:
// unless all set, the bitmap length is cut to 0-255 bytes, so most runs walk
// a short table and the fuzzer explores geometries at a useful rate, while
// one run in sixteen walks whatever length the block states.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/bad_block_table.h"

namespace {

// Rows ending in "---Fail\r\n". Kept out of coverage tracing: the report can
// run to megabytes, and tracing every comparison here would starve the fuzzer.
__attribute__((no_sanitize("coverage"))) int64_t CountFailRows(std::string_view text) {
  constexpr std::string_view kEnd = "---Fail\r\n";
  int64_t rows = 0;
  for (size_t i = kEnd.size(); i <= text.size(); ++i) {
    if (text[i - 1] != '\n') continue;
    size_t k = 0;
    while (k < kEnd.size() && text[i - kEnd.size() + k] == kEnd[k]) ++k;
    rows += k == kEnd.size() ? 1 : 0;
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  qelvar::engine::NandReport record;
  record.chCount = data[0];
  record.ceCount = data[1];
  record.lunCount = data[2];
  record.planeCount = data[3];
  const int present = std::min(data[4] & 0x0F, 8);
  for (int i = 0; i < present; ++i) record.flashId[static_cast<size_t>(i)][0] = 1;
  std::vector<uint8_t> block(data + 5, data + size);
  if ((data[4] & 0xF0) != 0xF0 && block.size() >= 96) {
    block[93] = 0;
    block[94] = 0;
    block[95] &= 0x80;  // keeps negative lengths negative
  }

  auto report = qelvar::engine::DecodeBadBlockTable(block, record);

  const std::string_view text = report.text;
  const int64_t failRows = CountFailRows(text);
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
