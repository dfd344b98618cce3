// The Start sequence, the end of a run and the single-port start.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

#include "engine/mp_worker.h"
#include "engine/serial_number.h"
#include "run_fixture.h"

namespace qelvar::engine {
namespace {

using discovery::kColSerial;
using discovery::kColStatus;
using testing::RunFixture;
using testing::StationText;

std::string Increment(std::string text) {
  char buffer[21] = {};
  std::memcpy(buffer, text.data(), std::min<size_t>(text.size(), 20));
  IncrementSerialText(buffer, 20);
  return buffer;
}

TEST(SerialNumber, IncrementsAsHexadecimalText) {
  EXPECT_EQ(Increment("0009"), "000A");
  EXPECT_EQ(Increment("00FF"), "0100");
  EXPECT_EQ(Increment("FFFF"), "0000");
  EXPECT_EQ(Increment("AB-Z"), "AB-0");
  EXPECT_EQ(Increment("00ff"), "0100") << "letters passed are upper-cased";
  EXPECT_EQ(Increment("ab0e"), "ab0F") << "characters left of the change keep their case";
  EXPECT_EQ(Increment(""), "");
  EXPECT_EQ(Increment("12\n34"), "13\n34") << "the text ends at a line feed";
  EXPECT_EQ(Increment("QV0000000109"), "QV000000010A");
}

TEST(SerialNumber, StaysWithinItsCapacity) {
  char text[4] = {'F', 'F', 'F', 'F'};  // no terminator
  IncrementSerialText(text, sizeof text);
  EXPECT_EQ(std::string(text, 4), "0000");
}

// Advancing by k must give exactly what k increments give, whatever the text
// holds: upper and lower case, characters that are no digit, a line feed.
TEST(SerialNumber, AdvanceEqualsThatManyIncrements) {
  std::mt19937 random(20261209);
  const std::string alphabet = "0123456789ABCDEFabcdefQVZz-9F";
  for (int round = 0; round < 300; ++round) {
    char start[21] = {};
    const size_t length = 1 + random() % 6;
    for (size_t i = 0; i < length; ++i) start[i] = alphabet[random() % alphabet.size()];
    if (round % 25 == 0) start[length / 2] = '\n';
    const uint64_t steps = round < 150 ? random() % 40 : random() % 70000;
    char stepped[21];
    std::memcpy(stepped, start, sizeof start);
    bool wrapped = false;
    for (uint64_t k = 0; k < steps; ++k) {
      IncrementSerialText(stepped, 20);
      const size_t end = std::strcspn(stepped, "\n");
      wrapped = wrapped || end == 0 ||
                std::string(stepped, end).find_first_not_of('0') == std::string::npos;
    }
    char advanced[21];
    std::memcpy(advanced, start, sizeof start);
    const bool whole = AdvanceSerialText(advanced, 20, steps);
    ASSERT_STREQ(advanced, stepped) << "from \"" << start << "\" by " << steps;
    if (!wrapped) {
      EXPECT_TRUE(whole) << "from \"" << start << "\" by " << steps;
    }
  }
}

TEST(SerialNumber, AdvanceTellsWhenTheDigitsRunOut) {
  char text[21] = "QV00FE";
  EXPECT_TRUE(AdvanceSerialText(text, 20, 0x101));
  EXPECT_STREQ(text, "QV01FF");
  char nearEnd[21] = "FE";
  EXPECT_TRUE(AdvanceSerialText(nearEnd, 20, 1));
  EXPECT_FALSE(AdvanceSerialText(nearEnd, 20, 1)) << "FF to 00 wraps round";
  EXPECT_STREQ(nearEnd, "00");
  char huge[21] = "QV5100000A00";
  EXPECT_FALSE(AdvanceSerialText(huge, 20, UINT64_MAX)) << "no overflow, only a wrap";
  char bounded[3] = {'F', 'F', 'F'};  // no terminator
  EXPECT_FALSE(AdvanceSerialText(bounded, sizeof bounded, 1));
  EXPECT_EQ(std::string(bounded, 3), "000");
}

TEST(PollBudget, IsNeverZeroAndNeverUnderflows) {
  EXPECT_EQ(ErasePollBudget(9), 4u);
  EXPECT_EQ(ErasePollBudget(3), 1u);
  EXPECT_EQ(ErasePollBudget(2), 1u);
  EXPECT_EQ(ErasePollBudget(1), 1u);
  EXPECT_EQ(ErasePollBudget(0), 1u) << "a missing key reads 0";
  EXPECT_EQ(BurnPollBudget(21), 8u);
  EXPECT_EQ(BurnPollBudget(7), 1u);
  EXPECT_EQ(BurnPollBudget(6), 1u);
  EXPECT_EQ(BurnPollBudget(4), 1u);
  EXPECT_EQ(BurnPollBudget(0), 1u);
}

TEST(ElapsedTime, DropsWholeDays) {
  EXPECT_EQ(ElapsedText(86400 + 2 * 3600 + 3 * 60 + 4), "2 H::3 M::4 S");
  EXPECT_EQ(ElapsedText(59), "0 H::0 M::59 S");
}

// A station of eight drives; after the first scan drives 1, 3, 4, 5 and 6 are
// pulled, so the next Start finds drives on ports 0, 2 and 7 only.
std::string EightDrives() {
  std::string text = "[Station]\nHubs=1\nHubPorts=8\n";
  for (int d = 0; d < 8; ++d) text += "[Drive" + std::to_string(d) + "]\n";
  return text;
}

TEST(RunControl, AutoIncrementGivesPopulatedPortsConsecutiveNumbers) {
  RunFixture f(EightDrives());
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  for (size_t d : {1u, 3u, 4u, 5u, 6u}) ASSERT_TRUE(f.sim->Unplug(d));
  ASSERT_EQ(f.Run(f.Controls("00FF")), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(0, kColSerial), "00FF                ");
  EXPECT_EQ(f.Cell(2, kColSerial), "0100                ");
  EXPECT_EQ(f.Cell(7, kColSerial), "0101                ");
  EXPECT_EQ(f.page.snEdit, "0102");
  EXPECT_EQ(f.Cell(1, kColStatus), "");
}

TEST(RunControl, FixedSerialNumberGoesToEveryDrive) {
  RunFixture f(EightDrives());
  f.Options([](settings::MpSettings& s) { s.SNAutoIncrease = 0; });
  ASSERT_EQ(f.Run(f.Controls("LINE7")), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(0, kColSerial), "LINE7               ");
  EXPECT_EQ(f.Cell(6, kColSerial), "LINE7               ");
  EXPECT_EQ(f.page.snEdit, "") << "the edit is left alone";
}

TEST(RunControl, BarcodeListShortByOnePortStopsTheStartBeforeAnyWorker) {
  RunFixture f(EightDrives());
  f.Options([](settings::MpSettings& s) {
    for (int k = 0; k < 7; ++k) std::snprintf(s.barcodes[k], 21, "BC%02d", k);
  });
  f.station.gBarcodeDone = 1;
  f.station.gBarcodeCount = 7;
  EXPECT_EQ(f.control->OnStart(f.Controls()), StartOutcome::kRefused);
  ASSERT_EQ(f.page.messages.size(), 1u);
  EXPECT_NE(f.page.messages[0].text.find(
                "Port7 device has no bar code, please rescan all bar code again"),
            std::string::npos);
  EXPECT_FALSE(f.control->AnyWorkerRunning());
  EXPECT_TRUE(f.page.buttonsEnabled);
  EXPECT_FALSE(f.control->Busy());
  EXPECT_EQ(f.control->RunActive(), 0);
  // Refused before ROM entry: no port has been given a code.
  EXPECT_STRNE(f.station.ports.gDeviceInfo[6].SerialNumber, "BC06");
}

TEST(RunControl, BarcodesBecomeTheSerialNumbersAndServeOneRun) {
  RunFixture f(EightDrives());
  f.Options([](settings::MpSettings& s) {
    for (int k = 0; k < 8; ++k) std::snprintf(s.barcodes[k], 21, "BARCODE%02d", k);
  });
  f.station.gBarcodeDone = 1;
  f.station.gBarcodeCount = 8;
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(5, kColSerial), "BARCODE05           ");
  EXPECT_EQ(f.station.gBarcodeDone, 0);
  EXPECT_EQ(f.station.gBarcodeCount, 0);
}

TEST(RunControl, KeepSnWritesTheSerialNumbersReadBeforeRomMode) {
  RunFixture f(EightDrives());
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  std::string before = f.Cell(4, kColSerial);
  ASSERT_FALSE(before.empty());
  f.station.gBarcodeDone = 1;  // ignored with keep SN
  f.station.gBarcodeCount = 0;
  auto controls = f.Controls("IGNORED");
  controls.keepSn = true;
  ASSERT_EQ(f.Run(controls), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(4, kColSerial), before);
  EXPECT_EQ(f.Cell(4, kColStatus), "Pass");
  EXPECT_TRUE(f.page.messages.empty());
}

TEST(RunControl, StartWithoutDrivesEndsAtOnce) {
  RunFixture f("[Station]\nHubs=1\n");
  EXPECT_EQ(f.control->OnStart(f.Controls()), StartOutcome::kNoDrive);
  EXPECT_TRUE(f.page.buttonsEnabled);
  EXPECT_EQ(f.control->RunActive(), 0);
  EXPECT_FALSE(f.control->Busy());
}

TEST(RunControl, OversizeImageStopsTheStartBeforeAnyDriveIsTouched) {
  RunFixture f(EightDrives());
  auto big = f.folder / "big.bin";
  std::filesystem::resize_file(
      [&] {
        std::ofstream(big).put('x');
        return big;
      }(),
      786433);
  f.Options([&](settings::MpSettings& s) {
    std::strncpy(s.SysFwPath, big.string().c_str(), sizeof s.SysFwPath - 1);
  });
  EXPECT_EQ(f.control->OnStart(f.Controls()), StartOutcome::kRefused);
  ASSERT_EQ(f.page.messages.size(), 1u);
  EXPECT_NE(f.page.messages[0].text.find(big.string()), std::string::npos);
  EXPECT_EQ(f.control->RunActive(), 0);
  EXPECT_TRUE(f.clock.PausesOf("ui").empty()) << "no ROM entry was attempted";
}

TEST(RunControl, EndOfRunStepsRunOncePerRun) {
  RunFixture f(EightDrives());
  int formats = 0;
  f.control->SetFormatter([&] { ++formats; });
  f.page.format = true;
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(formats, 1);
  // Late completion messages find the run over.
  EXPECT_FALSE(f.control->OnWorkerDone());
  EXPECT_FALSE(f.control->OnWorkerDone());
  EXPECT_EQ(formats, 1);
}

TEST(RunControl, SinglePortStartRunsOneWorkerAndLeavesTheButtonsAlone) {
  RunFixture f(EightDrives());
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  // A drive that was never sent into ROM mode by Start: the single-port start
  // uses the port as the last scan left it.
  // The worker is held at its first progress cell: unheld, it may have
  // ended before the status is looked at.
  f.list.held = {"5 %"};
  ASSERT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kStarted);
  ASSERT_TRUE(f.list.WaitUntilHeld(std::chrono::seconds(30)));
  EXPECT_EQ(f.station.ports.gPortStatus[2].load(), discovery::kRunning);
  f.list.Open();
  f.WaitForWorkers();
  EXPECT_TRUE(f.page.buttonsEnabled);
  EXPECT_NE(f.Cell(2, kColStatus), "Scanning");
  EXPECT_EQ(f.Cell(3, kColStatus), "Ready");
  EXPECT_EQ(f.control->StartSinglePort(12), SinglePortOutcome::kNoDrive);
}

TEST(RunControl, SinglePortStartIsRefusedWhileThePortsWorkerStillWritesItsLastCells) {
  RunFixture f(EightDrives());
  f.list.held = {"100 %", "FAIL %"};
  ASSERT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kStarted);
  ASSERT_TRUE(f.list.WaitUntilHeld(std::chrono::seconds(30)));
  // The worker has reported its result and waits for its last cell write,
  // which a window runs on the very thread that would start the port again.
  EXPECT_NE(f.station.ports.gPortStatus[2].load(), discovery::kRunning);
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    f.list.Open();
  });
  EXPECT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kRefusedRunning);
  f.list.Open();
  opener.join();
  f.WaitForWorkers();
  EXPECT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kStarted);
  f.WaitForWorkers();
}

TEST(RunControl, NothingElseStartsOrScansWhileAWorkerRuns) {
  RunFixture f(EightDrives());
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  // Port 2's worker is running (its starter set the status).
  f.station.ports.gPortStatus[2].store(discovery::kRunning);
  EXPECT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kRefusedRunning);
  EXPECT_EQ(f.control->Scan(), discovery::ScanOutcome::kRefusedWorkerRunning);
  EXPECT_EQ(f.control->OnStart(f.Controls()), StartOutcome::kRefusedRunning);
  ASSERT_EQ(f.page.messages.size(), 2u);
  EXPECT_EQ(f.page.messages[0].text, kPortRunningText);
  EXPECT_EQ(f.page.messages[1].text, kStartRefusedText);
  EXPECT_TRUE(f.clock.PausesOf("ui").empty()) << "no drive was sent into ROM mode";
  EXPECT_EQ(f.Cell(2, kColStatus), "Ready") << "the port's row was not rescanned";
  f.station.ports.gPortStatus[2].store(discovery::kReady);
}

std::string SettingsText(const RunFixture& f) {
  std::ifstream in(f.paths.gSettingsPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RunControl, NextSerialNumberIsSavedBeforeAnyWorkerRuns) {
  RunFixture f(EightDrives());
  // Every worker stops at its first progress step: the run is under way and
  // has not ended when the settings file is read.
  f.list.held = {"5 %"};
  ASSERT_EQ(f.control->OnStart(f.Controls("00FF")), StartOutcome::kStarted);
  ASSERT_TRUE(f.list.WaitUntilHeld(std::chrono::seconds(30)));
  EXPECT_NE(SettingsText(f).find("[Identify]\r\nSN=0107\r\n"), std::string::npos)
      << SettingsText(f);
  f.list.Open();
  f.WaitForRunEnd();
  EXPECT_EQ(f.page.snEdit, "0107");
}

TEST(RunControl, NextSerialNumberThatCannotBeSavedRefusesTheStart) {
  RunFixture f(EightDrives());
  std::filesystem::remove(f.paths.gSettingsPath);
  std::filesystem::create_directories(f.paths.gSettingsPath);  // a folder in its place
  EXPECT_EQ(f.control->OnStart(f.Controls("00FF")), StartOutcome::kRefused);
  ASSERT_EQ(f.page.messages.size(), 1u);
  EXPECT_NE(f.page.messages[0].text.find(f.paths.gSettingsPath), std::string::npos);
  EXPECT_EQ(f.page.snEdit, "") << "no serial was handed out";
}

TEST(RunControl, SerialNumbersNotIncrementedWriteNothing) {
  RunFixture f(EightDrives());
  f.Options([](settings::MpSettings& s) { s.SNAutoIncrease = 0; });
  const std::string before = SettingsText(f);
  ASSERT_EQ(f.Run(f.Controls("LINE7")), StartOutcome::kStarted);
  EXPECT_EQ(SettingsText(f), before);
}

TEST(RunControl, StartedPortsIncludeAPortThatFailedAtOnce) {
  // Port 0's burner download is refused at once: its worker ends while Start
  // is still starting the others.
  std::string text = EightDrives();
  text.insert(text.find("[Drive0]\n") + 9, "Fail=DownloadBurner\n");
  RunFixture f(text);
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.control->StartedPorts(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(f.station.ports.gPortStatus[0].load(), discovery::kFailed);
  // A single-port start after the run begins a new set.
  ASSERT_EQ(f.control->StartSinglePort(5), SinglePortOutcome::kStarted);
  f.WaitForWorkers();
  EXPECT_EQ(f.control->StartedPorts(), (std::vector<int>{5}));
}

TEST(RunControl, NoNewStartsStopsTheStartBeforeAnyDriveIsTouched) {
  RunFixture f(EightDrives());
  f.control->RequestNoNewStarts();
  EXPECT_EQ(f.control->OnStart(f.Controls()), StartOutcome::kStopped);
  EXPECT_TRUE(f.clock.PausesOf("ui").empty()) << "no drive was sent into ROM mode";
  EXPECT_FALSE(f.control->AnyWorkerRunning());
  EXPECT_TRUE(f.control->StartedPorts().empty());
  EXPECT_TRUE(f.page.buttonsEnabled);
  EXPECT_FALSE(f.control->StartInProgress());
  EXPECT_EQ(f.control->RunActive(), 0);
  EXPECT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kStopped);
  EXPECT_FALSE(f.control->AnyWorkerRunning());
}

TEST(RunControl, NoNewStartsDuringTheStartLetsStartedPortsFinishAndStartsNoMore) {
  RunFixture f(EightDrives());
  // The Start thread writes "Scanning" into a port's row as it starts that
  // port: hold the first, ask for the stop there.
  f.list.held = {"Scanning"};
  StartOutcome outcome = StartOutcome::kNoDrive;
  std::thread start([&] { outcome = f.control->OnStart(f.Controls()); });
  ASSERT_TRUE(f.list.WaitUntilHeld(std::chrono::seconds(30)));
  f.control->RequestNoNewStarts();
  f.list.Open();
  start.join();
  EXPECT_EQ(outcome, StartOutcome::kStarted);
  f.WaitForRunEnd();
  EXPECT_EQ(f.control->StartedPorts(), std::vector<int>{0});
  EXPECT_EQ(f.Cell(0, kColStatus), "Pass");
  EXPECT_EQ(f.station.ports.gPortStatus[1].load(), discovery::kReady);
}

TEST(RunControl, AStopDuringTheRescanHandsOutNoSerialAndNamesTheDrivesInRomMode) {
  RunFixture f(EightDrives());
  const std::string settingsBefore = SettingsText(f);
  f.list.held = {"Ready"};  // the rescan after ROM entry
  StartOutcome outcome = StartOutcome::kStarted;
  std::thread start([&] { outcome = f.control->OnStart(f.Controls("00FF")); });
  ASSERT_TRUE(f.list.WaitUntilHeld(std::chrono::seconds(30)));
  f.control->RequestNoNewStarts();
  f.list.Open();
  start.join();
  EXPECT_EQ(outcome, StartOutcome::kStopped);
  EXPECT_EQ(f.page.snEdit, "");
  EXPECT_EQ(SettingsText(f), settingsBefore) << "no next serial was saved";
  EXPECT_TRUE(f.control->StartedPorts().empty());
  EXPECT_EQ(f.control->PortsLeftInRomMode(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(RunControl, TheRunLastsUntilItsLastPortEndedOnThePortsOwnClocks) {
  RunFixture f(EightDrives());
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  // Port 7 starts after the Start's own pauses and pauses the longest.
  const uint64_t floor = f.clock.TotalPauseMs("ui") + f.clock.TotalPauseMs("port 7");
  EXPECT_GE(f.control->LastPortEndedMs(), floor);
  EXPECT_LT(f.control->LastPortEndedMs(), floor + 5000);
}

}  // namespace
}  // namespace qelvar::engine
