#include "ui/rdt_info_text.h"

#include <cstdio>

namespace qelvar::ui {

std::string FlashIdCellText(const engine::NandReport& report, int ch, int ce) {
  const auto& id = report.flashId[static_cast<size_t>(ch * engine::kCesPerChannel + ce)];
  std::string text;
  char group[8];
  for (int i = 0; i < 6; ++i) {
    std::snprintf(group, sizeof group, "%02x  ", id[static_cast<size_t>(i)]);
    text += group;
  }
  return text;
}

engine::CeCounts RunBadCounts(const engine::NandReport& report) {
  engine::CeCounts out{};
  for (size_t ch = 0; ch < engine::kChannels; ++ch) {
    for (size_t ce = 0; ce < engine::kCesPerChannel; ++ce) {
      // In 64 bits: counts come from the drive and may be anything.
      const int64_t value =
          int64_t{report.dftBad[ch][ce]} - report.rdtFail[ch][ce] - report.fctBad[ch][ce];
      out[ch][ce] = static_cast<int32_t>(value);
    }
  }
  return out;
}

CountTable MakeCountTable(const engine::NandReport& live, const engine::CeCounts& values) {
  CountTable table;
  int64_t all = 0;
  char text[64];
  for (size_t ch = 0; ch < engine::kChannels; ++ch) {
    int64_t sum = 0;
    for (size_t ce = 0; ce < engine::kCesPerChannel; ++ce) {
      const int32_t v = values[ch][ce];
      if (live.flashId[ch * engine::kCesPerChannel + ce][0] == 0) {
        table.cells[ce][ch] = "  ";
      } else if (live.ceBin[ch][ce] == 255) {
        std::snprintf(text, sizeof text, "%d,  Bad CE MR %d", v, live.ceMr[ch][ce]);
        table.cells[ce][ch] = text;
      } else {
        std::snprintf(text, sizeof text, "%d,  Bin%d MR %d", v, live.ceBin[ch][ce],
                      live.ceMr[ch][ce]);
        table.cells[ce][ch] = text;
      }
      sum += v;
    }
    table.channelSums[ch] = std::to_string(sum);
    all += sum;
  }
  table.allBad = std::to_string(all);
  return table;
}

}  // namespace qelvar::ui
