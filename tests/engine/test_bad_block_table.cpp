#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "engine/bad_block_table.h"
#include "scripted_drive.h"
#include "temp_folder.h"

namespace qelvar::engine {
namespace {

// A record with the given geometry and `presentIds` flash ID entries present.
NandReport Geometry(uint8_t channels, uint8_t ces, uint8_t luns, uint8_t planes, int presentIds) {
  NandReport r;
  r.chCount = channels;
  r.ceCount = ces;
  r.lunCount = luns;
  r.planeCount = planes;
  for (int i = 0; i < presentIds; ++i) r.flashId[static_cast<size_t>(i)][0] = 0x2C;
  return r;
}

std::vector<uint8_t> TableBlock(std::string_view head, int32_t length,
                                std::vector<std::pair<size_t, uint8_t>> bitmap = {}) {
  std::vector<uint8_t> b(32768, 0);
  std::memcpy(b.data(), head.data(), head.size());
  for (size_t i = 0; i < 4; ++i)
    b[92 + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
  for (auto [at, value] : bitmap) b[96 + at] = value;
  return b;
}

size_t CountRows(const std::string& text) {
  size_t rows = 0;
  for (size_t at = text.find("Num:"); at != std::string::npos; at = text.find("Num:", at + 1)) {
    ++rows;
  }
  return rows;
}

const std::string kHeadLine = "\r\n==========================================\r\n_Head_: ";
const std::string kColumns = "\r\n              ce    ch   lun   pl   block\r\n";

TEST(DecodeBadBlockTable, SmallFactoryTableGivesTheExactReport) {
  NandReport record = Geometry(1, 1, 1, 2, 1);
  auto report = DecodeBadBlockTable(TableBlock("FCT_DATA7", 1, {{0, 0x05}}), record);
  EXPECT_EQ(report.kind, BadBlockTableKind::kFct);
  EXPECT_EQ(report.total, 2);
  EXPECT_EQ(report.text, kHeadLine + "FCT_DATA7" + kColumns +
                             "Num:00000-----0     0    0    0    0000---map:5---Fail\r\n"
                             "Num:00001-----0     0    0    1    0001---map:5---0\r\n"
                             "Num:00002-----0     0    0    0    0002---map:5---Fail\r\n"
                             "Num:00003-----0     0    0    1    0003---map:5---0\r\n"
                             "Num:00004-----0     0    0    0    0004---map:5---0\r\n"
                             "Num:00005-----0     0    0    1    0005---map:5---0\r\n"
                             "Num:00006-----0     0    0    0    0006---map:5---0\r\n"
                             "Num:00007-----0     0    0    1    0007---map:5---0\r\n"
                             "\r\nch0---ce0:00002   \r\nAll badBlock:2\r\n\r\n");
  EXPECT_EQ(record.fctBad[0][0], 2);
  EXPECT_EQ(record.dftBad, CeCounts{});
}

TEST(DecodeBadBlockTable, ABadUnitRowEndsWithItsMapByteAndFail) {
  ReportText out;
  AppendUnitRow(out, 13, UnitRowMiddle(1, 0, 1, 1), 0x1B, 0x20, true);
  EXPECT_EQ(out.Text(), "Num:00013-----1     0    1    1    001b---map:20---Fail\r\n");
}

TEST(DecodeBadBlockTable, UnitsWalkCeThenChannelThenLunThenPlaneWithinEachBlock) {
  // 2 channels, 4 CEs, 1 LUN, 2 planes: 16 units a block; block 3 covers
  // bits 48-63. Bits 49, 50 and 63 are bad.
  NandReport record = Geometry(2, 4, 1, 2, 8);
  auto report = DecodeBadBlockTable(TableBlock("DFT", 8, {{6, 0x06}, {7, 0x80}}), record);
  const std::string& t = report.text;
  EXPECT_NE(t.find("Num:00048-----0     0    0    0    0006---map:6---0\r\n"), std::string::npos);
  EXPECT_NE(t.find("Num:00049-----0     0    0    1    0007---map:6---Fail\r\n"),
            std::string::npos);
  EXPECT_NE(t.find("Num:00050-----0     1    0    0    0006---map:6---Fail\r\n"),
            std::string::npos);
  EXPECT_NE(t.find("Num:00063-----3     1    0    1    0007---map:80---Fail\r\n"),
            std::string::npos);
  EXPECT_EQ(CountRows(t), 64u);
  EXPECT_EQ(report.kind, BadBlockTableKind::kDft);
  const std::string tail =
      "\r\nch0---ce0:00001   ce1:00000   ce2:00000   ce3:00000   "
      "\r\nch1---ce0:00001   ce1:00000   ce2:00000   ce3:00001   "
      "\r\nAll badBlock:3\r\n\r\n";
  EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
  EXPECT_EQ(record.dftBad[0][0], 1);
  EXPECT_EQ(record.dftBad[1][0], 1);
  EXPECT_EQ(record.dftBad[1][3], 1);
}

TEST(DecodeBadBlockTable, FctMarkerCountsOnlyWithinTheHeadBeforeItsFirstZero) {
  struct Case {
    std::string head;
    BadBlockTableKind kind;
  };
  const Case cases[] = {
      {"FCT_DATA", BadBlockTableKind::kFct},
      {"0123456789FCT_DATA", BadBlockTableKind::kFct},
      {std::string("AB\0FCT_DATA", 11), BadBlockTableKind::kDft},
      {std::string(60, 'x') + "FCT_DATA", BadBlockTableKind::kDft},  // crosses byte 64
      {"FCT_DAT", BadBlockTableKind::kDft},
      {"", BadBlockTableKind::kDft},
  };
  for (const Case& c : cases) {
    NandReport record = Geometry(1, 1, 1, 1, 1);
    EXPECT_EQ(DecodeBadBlockTable(TableBlock(c.head, 0), record).kind, c.kind) << c.head;
  }
}

TEST(DecodeBadBlockTable, HeadEchoesNineBytesLeavingZeroBytesOut) {
  NandReport record = Geometry(1, 1, 1, 1, 1);
  auto report = DecodeBadBlockTable(TableBlock(std::string("DFT\0DATA1XYZ", 12), 0), record);
  EXPECT_EQ(report.text.substr(0, kHeadLine.size() + 10), kHeadLine + "DFTDATA1\r\n");
}

TEST(DecodeBadBlockTable, NoBitmapGivesHeadColumnsSummaryAndZeroTotal) {
  for (int32_t length : {0, -5}) {
    NandReport record = Geometry(2, 4, 1, 2, 8);
    auto report = DecodeBadBlockTable(TableBlock("FCT_DATA", length, {{0, 0xFF}}), record);
    EXPECT_EQ(report.text, kHeadLine + "FCT_DATA" + kColumns +
                               "\r\nch0---ce0:00000   ce1:00000   ce2:00000   ce3:00000   "
                               "\r\nch1---ce0:00000   ce1:00000   ce2:00000   ce3:00000   "
                               "\r\nAll badBlock:0\r\n\r\n")
        << length;
  }
}

TEST(WalkCeCount, PresentFlashIdsOf1_3_5GiveOneTwoFourOtherwiseTheCeCount) {
  const int expected[9] = {3, 1, 3, 2, 3, 4, 3, 3, 3};
  for (int present = 0; present <= 8; ++present) {
    NandReport record = Geometry(2, 3, 1, 1, present);
    // Only an entry's first byte tells whether its CE is there.
    for (size_t i = static_cast<size_t>(present); i < 8; ++i) record.flashId[i][1] = 0x84;
    EXPECT_EQ(WalkCeCount(record), expected[present]) << present << " present";
  }
}

TEST(DecodeBadBlockTable, ThreePresentCesWalkTwoPerChannelWhateverCeCountSays) {
  NandReport record = Geometry(1, 4, 1, 1, 3);
  auto report = DecodeBadBlockTable(TableBlock("DFT", 1), record);
  EXPECT_EQ(CountRows(report.text), 8u);  // 4 blocks of 2 units
  EXPECT_NE(report.text.find("\r\nch0---ce0:00000   ce1:00000   \r\nAll"), std::string::npos);
}

TEST(DecodeBadBlockTable, ABitmapLengthPastTheBlockIsBoundedAndBitsBeyondReadGood) {
  // U = 3 does not divide the bitmap: the last block walked reaches two bits
  // past the block's end.
  NandReport record = Geometry(1, 1, 1, 3, 1);
  std::vector<uint8_t> block = TableBlock("DFT", 0x7FFFFFFF);
  std::fill(block.begin() + 96, block.end(), 0xFF);
  auto report = DecodeBadBlockTable(block, record);
  EXPECT_EQ(CountRows(report.text), 261378u);
  EXPECT_EQ(report.total, 32672 * 8);
  EXPECT_NE(report.text.find("Num:261377-----0     0    0    2    3fd01---map:0---0\r\n"
                             "\r\nch0---ce0:261376   \r\nAll badBlock:261376\r\n\r\n"),
            std::string::npos);
}

TEST(DecodeBadBlockTable, UnitCountOfZeroOrAbove255WalksNothing) {
  struct Case {
    const char* what;
    NandReport record;
    std::string summary;
  };
  const std::string fullSummary =
      "\r\nch0---ce0:00000   ce1:00000   ce2:00000   ce3:00000   "
      "\r\nch1---ce0:00000   ce1:00000   ce2:00000   ce3:00000   ";
  const Case cases[] = {
      {"no channel", Geometry(0, 4, 1, 2, 8), ""},
      {"no plane", Geometry(2, 4, 1, 0, 8), fullSummary},
      {"256 units", Geometry(2, 8, 4, 4, 8), fullSummary},
      {"512 units, 0 modulo 256", Geometry(2, 8, 4, 8, 8), fullSummary},
      {"255 of everything", Geometry(255, 255, 255, 255, 0), fullSummary},
  };
  for (const Case& c : cases) {
    NandReport record = c.record;
    std::vector<uint8_t> block = TableBlock("DFT", 32672);
    std::fill(block.begin() + 96, block.end(), 0xFF);
    auto report = DecodeBadBlockTable(block, record);
    EXPECT_EQ(report.text, kHeadLine + "DFT" + kColumns + c.summary + "\r\nAll badBlock:0\r\n\r\n")
        << c.what;
    EXPECT_EQ(record.dftBad, CeCounts{}) << c.what;
  }
}

TEST(DecodeBadBlockTable, ChannelsAndCesBeyondTheCountArraysAreListedButNotSummarised) {
  // 3 channels, 1 CE: U = 3, one bitmap byte all bad -> 3 blocks, 9 rows.
  NandReport wide = Geometry(3, 1, 1, 1, 1);
  auto report = DecodeBadBlockTable(TableBlock("DFT", 1, {{0, 0xFF}}), wide);
  EXPECT_EQ(CountRows(report.text), 9u);
  EXPECT_NE(report.text.find("Num:00002-----0     2    0    0    0000---map:ff---Fail\r\n"),
            std::string::npos);
  EXPECT_EQ(report.total, 8);
  EXPECT_EQ(wide.dftBad[0][0], 3);
  EXPECT_EQ(wide.dftBad[1][0], 3);
  EXPECT_NE(report.text.find("---map:0---0\r\n\r\nch0---ce0:00003   \r\nch1---ce0:00003   "
                             "\r\nAll badBlock:8\r\n\r\n"),
            std::string::npos);

  // 6 walk CEs on one channel: U = 6, 2 blocks.
  NandReport deep = Geometry(1, 6, 1, 1, 8);
  report = DecodeBadBlockTable(TableBlock("DFT", 1, {{0, 0xFF}}), deep);
  EXPECT_EQ(CountRows(report.text), 12u);
  EXPECT_EQ(report.total, 8);
  EXPECT_EQ(deep.dftBad[0], (std::array<int32_t, 4>{2, 2, 1, 1}));
  EXPECT_NE(report.text.find("\r\nch0---ce0:00002   ce1:00002   ce2:00001   ce3:00001   \r\nAll"),
            std::string::npos);
}

TEST(ParseBadBlockTable, OverwritesTheBadTotalButAddsToThePerCeCounts) {
  test::TempFolder station;
  settings::MpSettings s;
  NandReport record = Geometry(1, 1, 1, 2, 1);
  record.fctBad[0][0] = 7;
  int32_t badTotal = 100;
  ParseBadBlockTable(TableBlock("FCT_DATA", 1, {{0, 0x05}}), record, badTotal, 3, s,
                     station.Dbug());
  EXPECT_EQ(badTotal, 2);
  EXPECT_EQ(record.fctBad[0][0], 9);
}

TEST(ParseBadBlockTable, WithoutPrintBbtNoFolderOrFileIsTouched) {
  test::TempFolder station;
  settings::MpSettings s;
  s.PrintBBT = 0;
  s.RDTRecordEn = 1;
  NandReport record = Geometry(1, 1, 1, 2, 1);
  int32_t badTotal = 0;
  ParseBadBlockTable(TableBlock("FCT_DATA", 1), record, badTotal, 3, s, station.Dbug());
  ParseBadBlockTable(TableBlock("DFT", 1), record, badTotal, 3, s, station.Dbug());
  EXPECT_FALSE(std::filesystem::exists(station.Dbug()));
}

TEST(ParseBadBlockTable, FactoryReportIsReplacedAndRunTimeReportGrowsRunByRun) {
  test::TempFolder station;
  settings::MpSettings s;
  s.PrintBBT = 1;
  int32_t badTotal = 0;
  std::string fctTexts[2], dftTexts[2];
  for (int run = 0; run < 2; ++run) {
    NandReport record = Geometry(1, 1, 1, 1, 1);
    const auto bits = static_cast<uint8_t>(run + 1);
    NandReport copy = record;
    fctTexts[run] = DecodeBadBlockTable(TableBlock("FCT_DATA", 1, {{0, bits}}), copy).text;
    dftTexts[run] = DecodeBadBlockTable(TableBlock("DFT", 1, {{0, bits}}), copy).text;
    ParseBadBlockTable(TableBlock("FCT_DATA", 1, {{0, bits}}), record, badTotal, 12, s,
                       station.Dbug());
    ParseBadBlockTable(TableBlock("DFT", 1, {{0, bits}}), record, badTotal, 12, s, station.Dbug());
  }
  EXPECT_NE(fctTexts[0], fctTexts[1]);
  EXPECT_EQ(test::ReadBytes(station.Dbug() + "/12_FCTBBT.txt"), fctTexts[1]);
  EXPECT_EQ(test::ReadBytes(station.Dbug() + "/12_DFTBBT.txt"), dftTexts[0] + dftTexts[1]);
  // Nothing is left beside the reports.
  size_t files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(station.Dbug())) ++files;
  EXPECT_EQ(files, 2u);
}

// --- Reading the tables from a drive ---

TEST(ReadTables, FactoryAndRunTimeReadsDecodeIntoThePortsRecord) {
  test::ScriptedDrive drive;
  test::TempFolder station;
  RunState run;
  settings::MpSettings s;
  run.gNandReport[1].Write(Geometry(1, 1, 1, 2, 1));
  drive.logs[test::kLogFct] = TableBlock("FCT_DATA", 1, {{0, 0x05}});
  drive.logs[test::kLogDft] = TableBlock("DFT", 1, {{0, 0x01}});
  int32_t scratch = 0, badBlockCount = 40;
  EXPECT_FALSE(ReadFctTable(drive.Commands(), drive.Target(), run, scratch, 1, s, station.Dbug()));
  EXPECT_FALSE(
      ReadDftTable(drive.Commands(), drive.Target(), run, badBlockCount, 1, s, station.Dbug()));
  EXPECT_EQ(scratch, 2);
  EXPECT_EQ(badBlockCount, 1);
  EXPECT_EQ(run.gNandReport[1].Read().fctBad[0][0], 2);
  EXPECT_EQ(run.gNandReport[1].Read().dftBad[0][0], 1);
}

TEST(ReadTables, AFailedReadLeavesRecordAndTotalAlone) {
  test::ScriptedDrive drive;
  test::TempFolder station;
  RunState run;
  settings::MpSettings s;
  s.PrintBBT = 1;
  run.gNandReport[1].Write(Geometry(1, 1, 1, 2, 1));
  drive.logs[test::kLogDft] = TableBlock("DFT", 1, {{0, 0x01}});
  drive.failing = {test::kLogFct, test::kLogDft};
  int32_t total = 40;
  EXPECT_TRUE(ReadFctTable(drive.Commands(), drive.Target(), run, total, 1, s, station.Dbug()));
  EXPECT_TRUE(ReadDftTable(drive.Commands(), drive.Target(), run, total, 1, s, station.Dbug()));
  EXPECT_EQ(total, 40);
  EXPECT_EQ(run.gNandReport[1].Read().dftBad, CeCounts{});
  EXPECT_FALSE(std::filesystem::exists(station.Dbug()));
}

}  // namespace
}  // namespace qelvar::engine
