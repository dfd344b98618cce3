#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/port_run.h"
#include "scripted_drive.h"

namespace qelvar::engine {
namespace {

constexpr uint8_t kNandInfo = 0x13, kBin = 0xB0, kCeBin = 0xB2, kCeMr = 0xB3, kInject = 0x21;

TEST(FailMessage, TheTableHoldsTheOperatorsTextsAndClampsPastIt) {
  // clang-format off
  const char* expected[28] = {
      "NA", "Go ROM FAIL", "Download Burn FAIL", "Download Microcode FAIL",
      "Get Nand INFO FAIL", "GET INJECT FAIL", "NAND ERASE FAIL", "TRIGGLE BURN FAIL",
      "GET RDTRESULT FAIL", "GET BADBLOCKNUM FAIL", "GET FACBBT FAIL", "GET RUNBBT FAIL",
      "NAND CALIBRATION FAIL", "DOWNLOAD CMD92 FAIL", "DOWNLOAD SYSFW FAIL",
      "DOWNLOAD SPIROM FAIL", "REBOOT FAIL", "REBOOT TIMEOUT FAIL", "RDT INFO FAIL",
      "TOO MUCH BAD BLOCK", "CE or CH Not Matching", "SPI UNKNOWN", "MR BLOCK FAIL",
      "RAM TEST FAIL", "READ OTP FAIL", "DOWNLOAD MULTIPLE  FAIL", "IMAGE VALID",
      "Unknow Fail"};
  // clang-format on
  for (int code = 0; code < 28; ++code) {
    EXPECT_EQ(FailMessage(static_cast<FailCode>(code)), expected[code]) << code;
  }
  EXPECT_EQ(FailMessage(28), "Unknow Fail");
  EXPECT_EQ(FailMessage(255), "Unknow Fail");
}

TEST(PollInject, AnAnsweredStatusReadIsZeroAndAFailedOneFive) {
  test::ScriptedDrive drive;
  drive.answers[kInject] = {0x05};  // not looked at
  EXPECT_EQ(PollInject(drive.Commands(), drive.Target()), 0);
  drive.failing.insert(kInject);
  EXPECT_EQ(PollInject(drive.Commands(), drive.Target()), 5);
}

TEST(ReadInjectStatus, MapsTheDrivesStatusWordToItsFailCode) {
  const std::vector<std::pair<std::vector<uint8_t>, FailCode>> cases = {
      {{0, 0, 0, 0}, 0},  {{1, 0, 0, 0}, 19}, {{2, 0, 0, 0}, 23}, {{3, 0, 0, 0}, 24},
      {{4, 0, 0, 0}, 25}, {{5, 0, 0, 0}, 26}, {{6, 0, 0, 0}, 21}, {{7, 0, 0, 0}, 20},
      {{8, 0, 0, 0}, 22}, {{9, 0, 0, 0}, 0},  {{5, 1, 0, 0}, 0},  // the whole 32-bit word counts
      {{0, 0, 0, 5}, 0},
  };
  for (const auto& [answer, code] : cases) {
    test::ScriptedDrive drive;
    drive.answers[kInject] = answer;
    EXPECT_EQ(ReadInjectStatus(drive.Commands(), drive.Target()), code) << int(answer[0]);
  }
  test::ScriptedDrive failing;
  failing.failing.insert(kInject);
  EXPECT_EQ(ReadInjectStatus(failing.Commands(), failing.Target()), 5);
}

std::vector<uint8_t> NandInfoAnswer(uint8_t channels) {
  std::vector<uint8_t> a(512, 0);
  a[0] = channels;
  a[1] = 4;
  a[2] = 1;
  a[3] = 2;
  const uint8_t id[6] = {0x98, 0x3A, 0x98, 0xA3, 0x7A, 0x51};
  std::memcpy(a.data() + 4, id, 6);
  a[4 + 12 * 7] = 0x45;  // entry 7
  a[99] = 0x77;
  std::fill(a.begin() + 100, a.end(), 0xAA);  // not part of the record
  return a;
}

TEST(ReadNandInfo, CopiesTheFirst100BytesIntoTheFrontOfTheRecord) {
  test::ScriptedDrive drive;
  drive.answers[kNandInfo] = NandInfoAnswer(2);
  SharedNandReport shared;
  shared.Update([](NandReport& r) { r.fctBad[0][0] = 3; });
  EXPECT_FALSE(ReadNandInfo(drive.Commands(), drive.Target(), shared));
  NandReport r = shared.Read();
  EXPECT_EQ(std::tie(r.chCount, r.ceCount, r.lunCount, r.planeCount),
            std::make_tuple(uint8_t{2}, uint8_t{4}, uint8_t{1}, uint8_t{2}));
  EXPECT_EQ(r.flashId[0][0], 0x98);
  EXPECT_EQ(r.flashId[0][5], 0x51);
  EXPECT_EQ(r.flashId[7][0], 0x45);
  EXPECT_EQ(r.flashId[7][11], 0x77);
  EXPECT_EQ(r.fctBad[0][0], 3);
}

TEST(ReadNandInfo, NoChannelFailsAfterCopyingAndAFailedReadLeavesTheRecord) {
  test::ScriptedDrive drive;
  drive.answers[kNandInfo] = NandInfoAnswer(0);
  SharedNandReport shared;
  shared.Update([](NandReport& r) { r.chCount = 9; });
  EXPECT_TRUE(ReadNandInfo(drive.Commands(), drive.Target(), shared));
  EXPECT_EQ(shared.Read().chCount, 0);
  EXPECT_EQ(shared.Read().ceCount, 4);

  drive.answers[kNandInfo] = NandInfoAnswer(2);
  drive.failing.insert(kNandInfo);
  EXPECT_TRUE(ReadNandInfo(drive.Commands(), drive.Target(), shared));
  EXPECT_EQ(shared.Read().chCount, 0);
}

TEST(MatchFlashId, FindsTheEntryOfTheFirstSixIdBytesOrKeepsTheLastIndex) {
  std::atomic<uint8_t> detected{3};
  NandReport r;
  r.flashId[0] = {0x98, 0x3A, 0x98, 0xA3, 0x7A, 0x51, 0xEE};  // bytes past six do not count
  EXPECT_TRUE(MatchFlashId(r, detected));
  EXPECT_EQ(detected.load(), 7);
  r.flashId[0] = {0x2C, 0x84, 0x64, 0x54, 0xA9, 0x00};
  EXPECT_TRUE(MatchFlashId(r, detected));
  EXPECT_EQ(detected.load(), 0);
  r.flashId[0] = {0x2C, 0x84, 0x64, 0x54, 0xA9, 0x01};
  EXPECT_FALSE(MatchFlashId(r, detected));
  EXPECT_EQ(detected.load(), 0);
}

TEST(ReadCeTables, StoresByteCeTimesTwoPlusChAtChCeWithAStatusReadBetween) {
  test::ScriptedDrive drive;
  drive.answers[kCeBin] = {10, 11, 12, 13, 14, 15, 16, 0xFF, 0xAA};
  drive.answers[kCeMr] = {20, 21, 22, 23, 24, 25, 26, 27};
  SharedNandReport shared;
  EXPECT_FALSE(ReadCeTables(drive.Commands(), drive.Target(), shared));
  NandReport r = shared.Read();
  EXPECT_EQ(r.ceBin, (CeCounts{{{10, 12, 14, 16}, {11, 13, 15, 255}}}));
  EXPECT_EQ(r.ceMr, (CeCounts{{{20, 22, 24, 26}, {21, 23, 25, 27}}}));
  EXPECT_EQ(drive.SubCommands(), (std::vector<uint8_t>{kCeBin, kInject, kCeMr}));
}

TEST(ReadCeTables, AFailedReadLeavesTheTablesItDidNotFillAtZero) {
  SharedNandReport shared;
  const auto junk = [](NandReport& r) {
    r.ceBin[1][3] = 99;
    r.ceMr[0][0] = 98;
  };
  {
    test::ScriptedDrive drive;
    drive.failing.insert(kCeBin);
    shared.Update(junk);
    EXPECT_TRUE(ReadCeTables(drive.Commands(), drive.Target(), shared));
    EXPECT_EQ(shared.Read().ceBin, CeCounts{});
    EXPECT_EQ(shared.Read().ceMr, CeCounts{});
    EXPECT_EQ(drive.SubCommands(), std::vector<uint8_t>{kCeBin});
  }
  {
    test::ScriptedDrive drive;
    drive.answers[kCeBin] = {1, 2, 3, 4, 5, 6, 7, 8};
    drive.failing.insert(kCeMr);
    shared.Update(junk);
    EXPECT_TRUE(ReadCeTables(drive.Commands(), drive.Target(), shared));
    EXPECT_EQ(shared.Read().ceBin[0][0], 1);
    EXPECT_EQ(shared.Read().ceMr, CeCounts{});
  }
}

TEST(ApplyBinRule, Bin12AndBin23RenameOnlyBinsTwoAndThree) {
  struct Case {
    uint8_t raw, setBin, expected;
  };
  const Case cases[] = {{2, 0, 2}, {3, 0, 3}, {2, 1, 1},     {3, 1, 2}, {2, 2, 2}, {3, 2, 2},
                        {1, 1, 1}, {4, 2, 4}, {255, 1, 255}, {3, 3, 3}, {2, 7, 2}, {0, 1, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(ApplyBinRule(c.raw, c.setBin), c.expected)
        << "raw " << int(c.raw) << " rule " << int(c.setBin);
  }
}

TEST(ReadBin, AppliesTheRuleToAnswerByteZeroAndKeepsTheBinOnFailure) {
  test::ScriptedDrive drive;
  drive.answers[kBin] = {3, 9};
  uint8_t bin = 255;
  EXPECT_FALSE(ReadBin(drive.Commands(), drive.Target(), 1, bin));
  EXPECT_EQ(bin, 2);
  drive.failing.insert(kBin);
  EXPECT_TRUE(ReadBin(drive.Commands(), drive.Target(), 1, bin));
  EXPECT_EQ(bin, 2);
}

TEST(DeriveFwVersion, TheEighthCharacterFollowsFwOriverAndTheBin) {
  settings::MpSettings s;
  std::strcpy(s.FWVersion, "ABCD1230");
  std::strcpy(s.FWOriver, "ABCD1230");
  EXPECT_STREQ(DeriveFwVersion(2, s).data(), "ABCD1231");
  EXPECT_STREQ(DeriveFwVersion(255, s).data(), "ABCD1230");
  std::strcpy(s.FWOriver, "WXYZ987Q");
  EXPECT_STREQ(DeriveFwVersion(1, s).data(), "ABCD123Q");
  // A short FWOriver still replaces index 7, counting from its zero byte.
  std::memset(s.FWOriver, 0, sizeof s.FWOriver);
  std::strcpy(s.FWOriver, "AB");
  auto text = DeriveFwVersion(3, s);
  EXPECT_EQ(text[7], '\x02');
  EXPECT_EQ(DeriveFwVersion(0, s)[7], '\xFF');
  EXPECT_STREQ(s.FWVersion, "ABCD1230");
}

// --- ReportPortResult ---

struct Cell {
  int row, column;
  std::string text;
  bool operator==(const Cell&) const = default;
};

class RecordingList final : public discovery::PortListSink {
 public:
  void SetCell(int row, int column, std::string_view text) override {
    std::lock_guard lock(mutex_);
    cells_.push_back({row, column, std::string(text)});
    if (ports && row >= 0 && row < discovery::kPortCount &&
        ports->gDeviceInfo[static_cast<size_t>(row)].done.load() != 0) {
      ++writesAfterDone;
    }
  }
  // When set, counts cell writes made after the row's done flag was set.
  const discovery::PortState* ports = nullptr;
  std::atomic<int> writesAfterDone{0};
  void InitPortRows() override {}
  void SetRdtColumns(bool) override {}
  std::vector<Cell> Cells() {
    std::lock_guard lock(mutex_);
    return cells_;
  }

 private:
  std::mutex mutex_;
  std::vector<Cell> cells_;
};

class RecordingEvents final : public RunEvents {
 public:
  explicit RecordingEvents(discovery::PortState& ports) : ports_(ports) {}
  void PostWorkerDone() override {
    ++posts;
    for (auto& d : ports_.gDeviceInfo) {
      if (d.done.load() == 0) ++notDoneAtPost;
    }
  }
  std::atomic<int> posts{0};
  std::atomic<int> notDoneAtPost{0};

 private:
  discovery::PortState& ports_;
};

struct Station {
  Station() {
    for (auto& d : ports.gDeviceInfo) d.done.store(0);
  }
  RecordingList list;
  discovery::PortState ports;
  RunState run;
  RecordingEvents events{ports};
  PortRunContext Context() { return {list, ports, run, events}; }
};

TEST(ReportPortResult, AFailedPortGetsItsMessageAndFailProgressOnly) {
  Station st;
  for (auto& d : st.ports.gDeviceInfo) d.done.store(1);
  st.ports.gDeviceInfo[5].done.store(0);
  settings::MpSettings s;
  std::strcpy(s.ModelName, "QELVAR");
  ReportPortResult(st.Context(), s, 5, 14, 2, "ABCD1231", "SN0001");
  EXPECT_EQ(st.list.Cells(), (std::vector<Cell>{{5, 1, "DOWNLOAD SYSFW FAIL"}, {5, 6, "FAIL %"}}));
  EXPECT_EQ(st.ports.gPortStatus[5].load(), 3);
  EXPECT_EQ(st.run.failCount.load(), 1);
  EXPECT_EQ(st.run.passCount.load(), 0);
  EXPECT_EQ(st.events.posts.load(), 1);
  EXPECT_EQ(st.events.notDoneAtPost.load(), 0) << "the done flag is set before the post";
}

// A window runs cell writes on its UI thread, which joins the workers once
// every done flag is set: a write after the flag would wait forever.
TEST(ReportPortResult, NoCellIsWrittenAfterThePortsDoneFlag) {
  for (FailCode code : {FailCode{0}, FailCode{14}}) {
    Station st;
    st.list.ports = &st.ports;
    settings::MpSettings s;
    s.ScanRDT = 1;
    ReportPortResult(st.Context(), s, 4, code, 2, "ABCD1231", "SN0001");
    EXPECT_EQ(st.ports.gDeviceInfo[4].done.load(), 1);
    EXPECT_EQ(st.list.writesAfterDone.load(), 0) << "fail code " << int(code);
  }
}

TEST(ReportPortResult, APassedPortShowsIdentityRdtResultStatusBinAndFullProgress) {
  Station st;
  settings::MpSettings s;
  std::strcpy(s.ModelName, "QELVAR SSD");
  s.ScanRDT = 1;
  st.run.gRdtPass[2].store(1);
  ReportPortResult(st.Context(), s, 2, 0, 2, "ABCD1231", "SN0001              ");
  EXPECT_EQ(st.list.Cells(), (std::vector<Cell>{{2, 3, "RDT"},
                                                {2, 2, "QELVAR SSD"},
                                                {2, 4, "SN0001              "},
                                                {2, 5, "ABCD1231"},
                                                {2, 7, "RDT Pass"},
                                                {2, 1, "Pass"},
                                                {2, 8, "Bin 2"},
                                                {2, 6, "100 %"}}));
  EXPECT_EQ(st.ports.gPortStatus[2].load(), 2);
  EXPECT_EQ(st.ports.gDeviceInfo[2].done.load(), 1);
  EXPECT_EQ(st.run.passCount.load(), 1);
  EXPECT_EQ(st.events.posts.load(), 1);
}

TEST(ReportPortResult, APassWithoutBinOrRdtPassShowsBadFfAndRdtFail) {
  Station st;
  settings::MpSettings s;
  ReportPortResult(st.Context(), s, 0, 0, 255, "V1", "S");
  auto cells = st.list.Cells();
  EXPECT_NE(std::find(cells.begin(), cells.end(), Cell{0, 8, "Bad ff"}), cells.end());
  EXPECT_NE(std::find(cells.begin(), cells.end(), Cell{0, 7, "RDT FAIL"}), cells.end());
  EXPECT_EQ(std::find(cells.begin(), cells.end(), Cell{0, 3, "RDT"}), cells.end());
}

TEST(ReportPortResult, PortsFinishingTogetherAllCount) {
  Station st;
  settings::MpSettings s;
  std::vector<std::thread> workers;
  for (int port = 0; port < 16; ++port) {
    workers.emplace_back(
        [&, port] { ReportPortResult(st.Context(), s, port, port % 2 == 0 ? 0 : 7, 1, "V", "S"); });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(st.run.passCount.load(), 8);
  EXPECT_EQ(st.run.failCount.load(), 8);
  EXPECT_EQ(st.events.posts.load(), 16);
}

TEST(RunState, TheDialogReadsAWholeRecordWhileTheWorkerWritesIt) {
  RunState run;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (int32_t k = 1; k <= 20000; ++k) {
      run.gNandReport[4].Update([k](NandReport& r) {
        for (auto& ch : r.dftBad) ch.fill(k);
      });
    }
    stop = true;
  });
  int torn = 0;
  while (!stop) {
    const NandReport r = run.gNandReport[4].Read();
    for (const auto& ch : r.dftBad) {
      for (int32_t v : ch) torn += v != r.dftBad[0][0] ? 1 : 0;
    }
  }
  worker.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(run.gNandReport[4].Read().dftBad[1][3], 20000);
  run.ClearPort(4);
  EXPECT_EQ(run.gNandReport[4].Read().dftBad[1][3], 0);
}

}  // namespace
}  // namespace qelvar::engine
