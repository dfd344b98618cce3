#include "engine/bad_block_table.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "engine/block_view.h"
#include "engine/report_files.h"
#include "engine/report_text.h"
#include "platform/files.h"

namespace qelvar::engine {
namespace {

constexpr std::string_view kFctMarker = "FCT_DATA";
constexpr size_t kEchoedHeadBytes = 9;
constexpr int kMaxUnitsPerBlock = 255;
// Longest unit row: "Num:" + 7 digits + 3 x 3-digit fields + 4 digits of the
// middle part + 8 hex digits + "---map:ff---Fail\r\n", with room to spare.
constexpr size_t kRowBytesBound = 96;

std::vector<std::string> UnitMiddles(int walkCes, int channels, int luns, int planes) {
  std::vector<std::string> middles;
  middles.reserve(static_cast<size_t>(walkCes * channels * luns * planes));
  for (int ce = 0; ce < walkCes; ++ce) {
    for (int ch = 0; ch < channels; ++ch) {
      for (int lun = 0; lun < luns; ++lun) {
        for (int plane = 0; plane < planes; ++plane) {
          middles.push_back(UnitRowMiddle(ce, ch, lun, plane));
        }
      }
    }
  }
  return middles;
}

}  // namespace

std::string UnitRowMiddle(int ce, int ch, int lun, int plane) {
  ReportText t;
  t.Append("-----");
  t.AppendDec(ce);
  t.Append("     ");
  t.AppendDec(ch);
  t.Append("    ");
  t.AppendDec(lun);
  t.Append("    ");
  t.AppendDec(plane);
  t.Append("    ");
  return t.Take();
}

void AppendUnitRow(ReportText& out, int64_t row, std::string_view middle, int64_t blockNumber,
                   uint8_t map, bool bad) {
  out.Append("Num:");
  out.AppendDec(row, 5);
  out.Append(middle);
  out.AppendHex(static_cast<uint64_t>(blockNumber), 4);
  out.Append("---map:");
  out.AppendHex(map);
  out.Append(bad ? std::string_view("---Fail\r\n") : std::string_view("---0\r\n"));
}

int WalkCeCount(const NandReport& geometry) {
  int present = 0;
  for (const auto& id : geometry.flashId) present += id[0] != 0 ? 1 : 0;
  switch (present) {
    case 1:
      return 1;
    case 3:
      return 2;
    case 5:
      return 4;
    default:
      return geometry.ceCount;
  }
}

BadBlockTableReport DecodeBadBlockTable(std::span<const uint8_t> bytes, NandReport& record) {
  const BlockView block(bytes, kBadBlockTableBytes);
  const int channels = record.chCount;
  const int luns = record.lunCount;
  const int planes = record.planeCount;
  const int walkCes = WalkCeCount(record);
  // Up to 255^4: wider than an int.
  const int64_t units = int64_t{planes} * luns * channels * walkCes;

  BadBlockTableReport report;
  report.kind = block.TextBeforeFirstZero(kFctMarker, kBadBlockHeadBytes) ? BadBlockTableKind::kFct
                                                                          : BadBlockTableKind::kDft;
  CeCounts& counts = report.kind == BadBlockTableKind::kFct ? record.fctBad : record.dftBad;

  const auto length =
      std::min(static_cast<int32_t>(block.Le32(kBitmapLengthOffset)), kMaxBitmapBytes);
  const bool walkable = units >= 1 && units <= kMaxUnitsPerBlock && length > 0;
  // Blocks b are walked while (b * U) div 8 < L.
  const int64_t blocks = walkable ? (int64_t{length} * 8 + units - 1) / units : 0;

  ReportText out;
  out.Reserve(256 + static_cast<size_t>(blocks * units) * kRowBytesBound);
  out.Append("\r\n==========================================\r\n_Head_: ");
  for (size_t i = 0; i < kEchoedHeadBytes; ++i) {
    if (block.At(i) != 0) out.Append(static_cast<char>(block.At(i)));
  }
  out.Append("\r\n              ce    ch   lun   pl   block\r\n");

  if (walkable) {
    const std::vector<std::string> middles = UnitMiddles(walkCes, channels, luns, planes);
    int64_t row = 0;
    for (int64_t b = 0; b < blocks; ++b) {
      size_t unit = 0;
      for (int ce = 0; ce < walkCes; ++ce) {
        for (int ch = 0; ch < channels; ++ch) {
          for (int lun = 0; lun < luns; ++lun) {
            for (int plane = 0; plane < planes; ++plane, ++unit, ++row) {
              const uint8_t map = block.At(kBitmapOffset + static_cast<size_t>(row >> 3));
              const bool bad = (map >> (row & 7)) & 1;
              AppendUnitRow(out, row, middles[unit], b * planes + plane, map, bad);
              if (bad) {
                ++report.total;
                if (ch < kChannels && ce < kCesPerChannel) {
                  ++counts[static_cast<size_t>(ch)][static_cast<size_t>(ce)];
                }
              }
            }
          }
        }
      }
    }
  }

  for (int ch = 0; ch < std::min(channels, kChannels); ++ch) {
    out.Append("\r\nch");
    out.AppendDec(ch);
    out.Append("---");
    for (int ce = 0; ce < std::min(walkCes, kCesPerChannel); ++ce) {
      out.Append("ce");
      out.AppendDec(ce);
      out.Append(':');
      out.AppendDec(counts[static_cast<size_t>(ch)][static_cast<size_t>(ce)], 5);
      out.Append("   ");
    }
  }
  out.Append("\r\nAll badBlock:");
  out.AppendDec(report.total);
  out.Append("\r\n\r\n");
  report.text = out.Take();
  return report;
}

void ParseBadBlockTable(std::span<const uint8_t> block, NandReport& record, int32_t& badTotal,
                        int port, const settings::MpSettings& settings,
                        const std::string& dbugFolder) {
  BadBlockTableReport report = DecodeBadBlockTable(block, record);
  if (settings.PrintBBT != 0) {
    (void)platform::MakeFolder(dbugFolder);
    if (report.kind == BadBlockTableKind::kFct) {
      (void)platform::ReplaceFile(ReportFilePath(dbugFolder, port, kFctReportSuffix), report.text);
    } else {
      // The run-time file collects every run's report.
      (void)platform::AppendToFile(ReportFilePath(dbugFolder, port, kDftReportSuffix), report.text);
    }
  }
  badTotal = report.total;
}

namespace {

bool ReadTable(bool factory, vendor::VendorCommands& commands, vendor::PortTarget target,
               RunState& state, int32_t& badTotal, int port, const settings::MpSettings& settings,
               const std::string& dbugFolder) {
  if (port < 0 || port >= discovery::kPortCount) return true;
  std::vector<uint8_t> block(kBadBlockTableBytes, 0);
  std::span<uint8_t, kBadBlockTableBytes> answer(block);
  const int result = factory ? commands.ReadFctTableBlock(target, answer)
                             : commands.ReadDftTableBlock(target, answer);
  if (result != 1) return true;
  // Decoded on a copy so the RDT info dialog is never held up by the walk;
  // only this port's worker writes the record, so nothing is lost.
  SharedNandReport& shared = state.gNandReport[static_cast<size_t>(port)];
  NandReport record = shared.Read();
  ParseBadBlockTable(block, record, badTotal, port, settings, dbugFolder);
  shared.Update([&](NandReport& r) {
    r.fctBad = record.fctBad;
    r.dftBad = record.dftBad;
  });
  return false;
}

}  // namespace

bool ReadFctTable(vendor::VendorCommands& commands, vendor::PortTarget target, RunState& state,
                  int32_t& badTotal, int port, const settings::MpSettings& settings,
                  const std::string& dbugFolder) {
  return ReadTable(true, commands, target, state, badTotal, port, settings, dbugFolder);
}

bool ReadDftTable(vendor::VendorCommands& commands, vendor::PortTarget target, RunState& state,
                  int32_t& badTotal, int port, const settings::MpSettings& settings,
                  const std::string& dbugFolder) {
  return ReadTable(false, commands, target, state, badTotal, port, settings, dbugFolder);
}

}  // namespace qelvar::engine
