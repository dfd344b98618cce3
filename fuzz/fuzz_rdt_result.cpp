// The RDT result decoder on any block a drive might send: never reads outside
// it, never lists more entries than fit, and counts exactly what it lists.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/rdt_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelvar::engine::CeCounts counts{};
  auto report = qelvar::engine::DecodeRdtResult(std::span<const uint8_t>(data, size), counts);
  if (!report) return 0;
  int64_t counted = 0;
  for (const auto& ch : counts) {
    for (int32_t c : ch) counted += c;
  }
  constexpr uint32_t kMostEntries =
      (qelvar::engine::kRdtBlockBytes - qelvar::engine::kRdtHeaderBytes) /
      qelvar::engine::kRdtEntryBytes;
  if (report->entriesListed > kMostEntries || report->entriesListed > report->entryCount ||
      counted != report->entriesListed || report->text.rfind("_Head_: RDTD\r\n", 0) != 0) {
    __builtin_trap();
  }
  return 0;
}
