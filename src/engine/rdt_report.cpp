#include "engine/rdt_report.h"

#include <array>
#include <vector>

#include "engine/block_view.h"
#include "engine/report_files.h"
#include "engine/report_text.h"
#include "platform/files.h"

namespace qelvar::engine {
namespace {

constexpr std::string_view kRdtMarker = "RDT_DATA";
constexpr std::string_view kSeparator =
    "\r\n====================================RDT Entry=================================\r\n";

// Prints the word's four bytes from the most significant one.
void AppendBytesMsbFirst(ReportText& out, uint32_t word, bool asNumbers) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<uint8_t>(word >> shift);
    if (asNumbers) {
      out.AppendDec(byte);
    } else if (byte != 0) {
      // A zero byte would end the text the report was built from.
      out.Append(static_cast<char>(byte));
    }
  }
}

void AppendEntry(ReportText& out, uint32_t index, uint32_t word0, uint32_t word1) {
  const uint32_t ch = word0 & 0x1;
  const uint32_t ce = (word0 >> 1) & 0x3;
  const uint32_t lun = (word0 >> 3) & 0x1;
  const uint32_t block = (word0 >> 4) & 0x1FFF;
  const uint32_t page = (word0 >> 17) & 0x1FFF;
  const uint32_t failCode = word0 >> 30;
  out.AppendDec(index, 4);
  out.Append("  _Block_:");
  out.AppendDec(block, 4);
  out.Append("   _Page_:0x");
  out.AppendHex(page, 3);
  out.Append("   _FailCode:");
  out.AppendDec(failCode);
  out.Append("    _Ch:");
  out.AppendDec(ch);
  out.Append("   _CE:");
  out.AppendDec(ce);
  out.Append("   _Lun:");
  out.AppendDec(lun);
  out.Append("    _ErrBit:");
  out.AppendDec(static_cast<int32_t>(word1));
  out.Append("\r\n");
}

}  // namespace

std::optional<RdtReport> DecodeRdtResult(std::span<const uint8_t> bytes, CeCounts& rdtFail) {
  const BlockView block(bytes, kRdtBlockBytes);
  if (!block.TextBeforeFirstZero(kRdtMarker, block.size())) return std::nullopt;

  size_t h = 0;
  while (h < kRdtHeaderSearch && block.Le32(h) != kRdtSignature) ++h;
  if (h == kRdtHeaderSearch) return std::nullopt;

  RdtReport report;
  const uint32_t version = block.Le32(h + 4);
  report.entryCount = block.Le32(h + 8);
  const uint32_t result = block.Le32(h + 12);
  report.pass = result == kRdtPassResult;
  const size_t first = h + kRdtHeaderBytes;
  const size_t room = (block.size() - first) / kRdtEntryBytes;
  report.entriesListed = report.entryCount < room ? report.entryCount : static_cast<uint32_t>(room);

  ReportText out;
  out.Reserve(512 + size_t{report.entriesListed} * 112);
  out.Append("_Head_: ");
  AppendBytesMsbFirst(out, kRdtSignature, false);
  out.Append("\r\n_Version_: 0x");
  AppendBytesMsbFirst(out, version, true);
  out.Append("\r\n_EntryCount_: ");
  out.AppendDec(static_cast<int32_t>(report.entryCount));
  if (report.pass) {
    out.Append("\r\n_Result_: PASS");
  } else {
    out.Append("\r\n_Result_: Fail --- Failure lun idx: ");
    out.AppendDec(static_cast<int32_t>(result));
    out.Append("\r\n");
  }
  out.Append(kSeparator);

  for (uint32_t j = 0; j < report.entriesListed; ++j) {
    const size_t at = first + size_t{j} * kRdtEntryBytes;
    const uint32_t word0 = block.Le32(at);
    ++rdtFail[word0 & 0x1][(word0 >> 1) & 0x3];
    AppendEntry(out, j, word0, block.Le32(at + 4));
  }

  for (int ch = 0; ch < kChannels; ++ch) {
    out.Append("\r\nch");
    out.AppendDec(ch);
    out.Append("---");
    for (int ce = 0; ce < kCesPerChannel; ++ce) {
      out.Append("ce");
      out.AppendDec(ce);
      out.Append(':');
      out.AppendDec(rdtFail[static_cast<size_t>(ch)][static_cast<size_t>(ce)], 5);
      out.Append("    ");
    }
  }
  report.text = out.Take();
  return report;
}

bool ReadRdtResult(vendor::VendorCommands& commands, vendor::PortTarget target, RunState& state,
                   int port, const settings::MpSettings& settings, const std::string& dbugFolder) {
  if (port < 0 || port >= discovery::kPortCount) return true;
  const auto index = static_cast<size_t>(port);
  std::vector<uint8_t> block(kRdtBlockBytes, 0);
  if (commands.GetRdtResult(target, std::span<uint8_t, kRdtBlockBytes>(block)) != 1) return true;

  // Only this port's worker writes its record, so the copy stays current.
  CeCounts counts = state.gNandReport[index].Read().rdtFail;
  std::optional<RdtReport> report = DecodeRdtResult(block, counts);
  if (!report) return true;
  state.gNandReport[index].Update([&](NandReport& r) { r.rdtFail = counts; });
  if (report->pass) state.gRdtPass[index].store(1);

  // Made for every accepted result, with or without RDTRecordEn.
  (void)platform::MakeFolder(dbugFolder);
  if (settings.RDTRecordEn != 0) {
    (void)platform::ReplaceFile(ReportFilePath(dbugFolder, port, kRdtReportSuffix), report->text);
  }
  return false;
}

}  // namespace qelvar::engine
