#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/rdt_report.h"
#include "scripted_drive.h"
#include "temp_folder.h"

namespace qelvar::engine {
namespace {

using Entries = std::vector<std::pair<uint32_t, uint32_t>>;

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// "RDT_DATA" at 0 and the header at `headerAt`.
std::vector<uint8_t> RdtBlock(size_t headerAt, uint32_t count, uint32_t result,
                              const Entries& entries = {}, uint32_t version = 0x01000203) {
  std::vector<uint8_t> b(16896, 0);
  std::memcpy(b.data(), "RDT_DATA", 8);
  PutLe32(b, headerAt, 0x52445444);
  PutLe32(b, headerAt + 4, version);
  PutLe32(b, headerAt + 8, count);
  PutLe32(b, headerAt + 12, result);
  for (size_t j = 0; j < entries.size(); ++j) {
    PutLe32(b, headerAt + 16 + 8 * j, entries[j].first);
    PutLe32(b, headerAt + 20 + 8 * j, entries[j].second);
  }
  return b;
}

constexpr uint32_t kPass = 0x50415353;
const std::string kSeparator =
    "\r\n====================================RDT Entry=================================\r\n";
const std::string kAllZeroSummary =
    "\r\nch0---ce0:00000    ce1:00000    ce2:00000    ce3:00000    "
    "\r\nch1---ce0:00000    ce1:00000    ce2:00000    ce3:00000    ";

TEST(DecodeRdtResult, PassingBlockWithOneEntryGivesTheExactReport) {
  CeCounts counts{};
  auto report = DecodeRdtResult(RdtBlock(8, 1, kPass, {{0x808A123D, 17}}), counts);
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->pass);
  EXPECT_EQ(report->text,
            "_Head_: RDTD\r\n_Version_: 0x1023\r\n_EntryCount_: 1\r\n_Result_: PASS" + kSeparator +
                "0000  _Block_:0291   _Page_:0x045   _FailCode:2    _Ch:1   _CE:2   _Lun:1    "
                "_ErrBit:17\r\n"
                "\r\nch0---ce0:00000    ce1:00000    ce2:00000    ce3:00000    "
                "\r\nch1---ce0:00000    ce1:00000    ce2:00001    ce3:00000    ");
  EXPECT_EQ(counts[1][2], 1);
}

TEST(DecodeRdtResult, FailingBlockWithNoEntriesKeepsSeparatorAndZeroSummary) {
  CeCounts counts{};
  auto report = DecodeRdtResult(RdtBlock(8, 0, 5), counts);
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->pass);
  // Unlike the PASS line, the fail line ends in CR LF of its own.
  EXPECT_EQ(report->text,
            "_Head_: RDTD\r\n_Version_: 0x1023\r\n_EntryCount_: 0\r\n"
            "_Result_: Fail --- Failure lun idx: 5\r\n" +
                kSeparator + kAllZeroSummary);
}

TEST(DecodeRdtResult, FailingLunIndexAndErrorBitsPrintSigned) {
  CeCounts counts{};
  auto report = DecodeRdtResult(RdtBlock(8, 1, 0xFFFFFFFF, {{0x00000000, 0xFFFFFFFE}}), counts);
  ASSERT_TRUE(report);
  EXPECT_NE(report->text.find("_Result_: Fail --- Failure lun idx: -1\r\n"), std::string::npos);
  EXPECT_NE(report->text.find("_Page_:0x000   _FailCode:0    _Ch:0   _CE:0   _Lun:0    "
                              "_ErrBit:-2\r\n"),
            std::string::npos);
}

TEST(DecodeRdtResult, VersionBytesPrintMostSignificantFirstUnpadded) {
  CeCounts counts{};
  auto report = DecodeRdtResult(RdtBlock(8, 0, kPass, {}, 0xFF0A0009), counts);
  ASSERT_TRUE(report);
  EXPECT_NE(report->text.find("\r\n_Version_: 0x2551009\r\n"), std::string::npos);
}

TEST(DecodeRdtResult, EntryOfChannel1Ce3CountsIntoItsSlotAndAddsToEarlierCounts) {
  CeCounts counts{};
  counts[0][1] = 4;
  // Word 0 bits: channel 1, CE 3 -> 0b111.
  auto report = DecodeRdtResult(RdtBlock(8, 2, kPass, {{0x7, 1}, {0x7, 1}}), counts);
  ASSERT_TRUE(report);
  EXPECT_EQ(counts[1][3], 2);
  EXPECT_EQ(counts[0][1], 4);
  const std::string tail =
      "\r\nch0---ce0:00000    ce1:00004    ce2:00000    ce3:00000    "
      "\r\nch1---ce0:00000    ce1:00000    ce2:00000    ce3:00002    ";
  ASSERT_GE(report->text.size(), tail.size());
  EXPECT_EQ(report->text.substr(report->text.size() - tail.size()), tail);
}

TEST(DecodeRdtResult, AcceptsHeaderUpTo127AndRejectsBlocksWithoutMarkerOrHeader) {
  CeCounts counts{};
  EXPECT_TRUE(DecodeRdtResult(RdtBlock(8, 0, kPass), counts));
  EXPECT_TRUE(DecodeRdtResult(RdtBlock(127, 0, kPass), counts));
  EXPECT_FALSE(DecodeRdtResult(RdtBlock(128, 0, kPass), counts));

  auto noMarker = RdtBlock(8, 0, kPass);
  noMarker[3] = 'X';
  EXPECT_FALSE(DecodeRdtResult(noMarker, counts));

  // The marker must lie before the first zero byte.
  auto markerAfterZero = RdtBlock(40, 0, kPass);
  std::memcpy(markerAfterZero.data(), "AB\0RDT_DATA", 11);
  EXPECT_FALSE(DecodeRdtResult(markerAfterZero, counts));

  EXPECT_FALSE(DecodeRdtResult(std::vector<uint8_t>(16896, 0), counts));
  EXPECT_EQ(counts, CeCounts{});
}

TEST(DecodeRdtResult, TheFirstSignatureFromOffsetZeroUpIsTheHeader) {
  CeCounts counts{};
  auto block = RdtBlock(40, 0, kPass);  // a passing header at 40
  // An earlier signature at 20 with a failing result wins.
  PutLe32(block, 20, 0x52445444);
  PutLe32(block, 32, 9);
  auto report = DecodeRdtResult(block, counts);
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->pass);
}

TEST(DecodeRdtResult, AnEntryCountPastTheBlockListsOnlyTheEntriesInIt) {
  CeCounts counts{};
  auto block = RdtBlock(8, 0xFFFFFFFF, kPass);
  for (size_t at = 24; at + 8 <= block.size(); at += 8) PutLe32(block, at, 0x1);  // channel 1
  auto report = DecodeRdtResult(block, counts);
  ASSERT_TRUE(report);
  // (16,896 - 16 - 8) / 8 entries fit after a header at 8.
  EXPECT_EQ(report->entriesListed, 2109u);
  EXPECT_EQ(counts[1][0], 2109);
  EXPECT_NE(report->text.find("_EntryCount_: -1\r\n"), std::string::npos);
  EXPECT_NE(report->text.find("\r\n2108  _Block_:0000"), std::string::npos);
  EXPECT_EQ(report->text.find("\r\n2109  _Block_"), std::string::npos);
}

TEST(DecodeRdtResult, AShortAnswerReadsAsTheZeroFilledBuffer) {
  CeCounts counts{};
  auto block = RdtBlock(8, 3, kPass, {{0x7, 1}});
  block.resize(32);  // the second and third entries were never sent
  auto report = DecodeRdtResult(block, counts);
  ASSERT_TRUE(report);
  EXPECT_EQ(counts[1][3], 1);
  EXPECT_EQ(counts[0][0], 2);
}

// --- ReadRdtResult against a drive ---

struct RdtPort {
  test::ScriptedDrive drive;
  test::TempFolder station;
  RunState run;
  settings::MpSettings settings;
  bool Read(int port = 6) {
    return ReadRdtResult(drive.Commands(), drive.Target(), run, port, settings, station.Dbug());
  }
};

TEST(ReadRdtResult, AFailedReadOrARejectedBlockTouchesNothing) {
  RdtPort p;
  p.settings.RDTRecordEn = 1;
  p.drive.logs[test::kLogRdt] = RdtBlock(8, 1, kPass, {{0x7, 1}});
  p.drive.failing.insert(test::kLogRdt);
  EXPECT_TRUE(p.Read());
  p.drive.failing.clear();
  p.drive.logs[test::kLogRdt] = RdtBlock(128, 1, kPass, {{0x7, 1}});
  EXPECT_TRUE(p.Read());
  EXPECT_EQ(p.run.gRdtPass[6].load(), 0);
  EXPECT_EQ(p.run.gNandReport[6].Read().rdtFail, CeCounts{});
  EXPECT_FALSE(std::filesystem::exists(p.station.Dbug()));
}

TEST(ReadRdtResult, APassSetsTheFlagCountsAndMakesTheFolderEvenWithoutRecording) {
  RdtPort p;
  p.settings.RDTRecordEn = 0;
  p.settings.PrintBBT = 0;
  p.drive.logs[test::kLogRdt] = RdtBlock(8, 1, kPass, {{0x7, 1}});
  EXPECT_FALSE(p.Read());
  EXPECT_EQ(p.run.gRdtPass[6].load(), 1);
  EXPECT_EQ(p.run.gNandReport[6].Read().rdtFail[1][3], 1);
  EXPECT_TRUE(std::filesystem::is_directory(p.station.Dbug()));
  EXPECT_FALSE(std::filesystem::exists(p.station.Dbug() + "/6_RDT.txt"));
}

TEST(ReadRdtResult, RecordingReplacesThePortsReportWithTheLastRunsBytes) {
  RdtPort p;
  p.settings.RDTRecordEn = 1;
  p.drive.logs[test::kLogRdt] = RdtBlock(8, 1, kPass, {{0x808A123D, 17}});
  EXPECT_FALSE(p.Read(10));
  p.run.ClearPort(10);
  p.drive.logs[test::kLogRdt] = RdtBlock(8, 0, 5);
  EXPECT_FALSE(p.Read(10));
  EXPECT_EQ(test::ReadBytes(p.station.Dbug() + "/10_RDT.txt"),
            "_Head_: RDTD\r\n_Version_: 0x1023\r\n_EntryCount_: 0\r\n"
            "_Result_: Fail --- Failure lun idx: 5\r\n" +
                kSeparator + kAllZeroSummary);
}

TEST(ReadRdtResult, AFailingResultLeavesAnEarlierPassFlag) {
  RdtPort p;
  p.run.gRdtPass[6].store(1);
  p.drive.logs[test::kLogRdt] = RdtBlock(8, 0, 2);
  EXPECT_FALSE(p.Read());
  EXPECT_EQ(p.run.gRdtPass[6].load(), 1);
}

}  // namespace
}  // namespace qelvar::engine
