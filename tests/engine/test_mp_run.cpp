// End-to-end runs on the simulated station with the virtual clock: every port
// from ROM entry to its final row.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <numeric>
#include <ostream>

#include "run_fixture.h"
#include "settings/profile.h"

namespace qelvar::engine {
namespace {

using discovery::kColBin;
using discovery::kColCapacity;
using discovery::kColFwVersion;
using discovery::kColModel;
using discovery::kColProgress;
using discovery::kColRdtResult;
using discovery::kColSerial;
using discovery::kColStatus;
using testing::RunFixture;
using testing::StationText;

// Disk numbers as a system hands them out: a drive that reboots leaves the
// bus and comes back as a new disk, which need not get its old number (Linux
// hands out sd names again in the order drives come back; an old name still
// held by an open handle is not free). The simulated station keeps each
// drive's number; this view gives every drive a new one once its reboot's
// second phase has gone through.
class RenumberedAfterReboot final : public testing::StationView {
 public:
  explicit RenumberedAfterReboot(platform::sim::SimStation& sim) : sim_(sim) {
    for (size_t i = 0; i < sim_.DriveCount(); ++i) {
      number_[i] = sim_.DiskNumberOf(i);
      next_ = std::max(next_, number_[i] + 1);
    }
  }

  std::unique_ptr<platform::DeviceHandle> Open(std::string_view path, platform::ShareMode mode,
                                               int* error) override {
    size_t drive = sim_.DriveCount();
    {
      std::lock_guard lock(mutex_);
      for (size_t i = 0; i < sim_.DriveCount(); ++i) {
        if (sim_.DiskPath(number_[i]) == path) drive = i;
      }
    }
    // A number no drive holds now leads nowhere.
    std::string real = drive < sim_.DriveCount() ? sim_.PathOf(drive) : "/sim/gone";
    std::unique_ptr<platform::DeviceHandle> inner = sim_.Open(real, mode, error);
    if (!inner) return nullptr;
    return std::make_unique<Handle>(*this, drive, std::move(inner));
  }
  std::string DiskPath(uint32_t diskNumber) const override { return sim_.DiskPath(diskNumber); }
  size_t EnumerateHubs(std::span<platform::HubRecord> out) override {
    return sim_.EnumerateHubs(out);
  }
  size_t EnumerateUsbDevices(std::span<platform::UsbDeviceRecord> out) override {
    return sim_.EnumerateUsbDevices(out);
  }
  size_t EnumerateUsbDisks(std::span<platform::UsbDiskNode> out) override {
    size_t n = sim_.EnumerateUsbDisks(out);
    std::lock_guard lock(mutex_);
    for (size_t k = 0; k < n; ++k) {
      for (size_t i = 0; i < sim_.DriveCount(); ++i) {
        if (sim_.DiskNumberOf(i) != out[k].diskNumber) continue;
        out[k].diskNumber = number_[i];
        platform::CopyName(out[k].interfacePath, platform::kNameCapacity,
                           sim_.DiskPath(number_[i]));
        break;
      }
    }
    return n;
  }
  // The two drives come back under each other's names, as two drives
  // re-enumerating in the other order would.
  void SwapNames(size_t a, size_t b) {
    std::lock_guard lock(mutex_);
    std::swap(number_[a], number_[b]);
  }
  [[nodiscard]] int Renumbered() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(renumbered_.begin(), renumbered_.end(), true));
  }

 private:
  class Handle final : public platform::DeviceHandle {
   public:
    Handle(RenumberedAfterReboot& view, size_t drive, std::unique_ptr<platform::DeviceHandle> inner)
        : view_(view), drive_(drive), inner_(std::move(inner)) {}
    platform::ScsiResult SendScsi(const platform::ScsiRequest& r) override {
      bool head = r.direction == platform::DataDirection::Out && RebootBlock(r.data, r.length);
      platform::ScsiResult result = inner_->SendScsi(r);
      view_.Sent(drive_, head);
      return result;
    }
    platform::AtaResult SendAta(const platform::AtaRequest& r) override {
      bool head = (r.flags & platform::kAtaFlagDataOut) != 0 && RebootBlock(r.data, r.length);
      platform::AtaResult result = inner_->SendAta(r);
      view_.Sent(drive_, head);
      return result;
    }
    bool QueryStorageDescriptor(platform::StorageDescriptor* out) override {
      return inner_->QueryStorageDescriptor(out);
    }

   private:
    // The first phase of a reboot: its command block's head.
    static bool RebootBlock(const uint8_t* data, uint32_t length) {
      static constexpr std::array<uint8_t, 7> kHead = {0x11, 0x01, 0x7D, 0x00, 0xC4, 0x00, 0x7B};
      return data != nullptr && length == 512 && std::equal(kHead.begin(), kHead.end(), data);
    }
    RenumberedAfterReboot& view_;
    const size_t drive_;
    std::unique_ptr<platform::DeviceHandle> inner_;
  };

  // A request went to `drive`; `rebootHead`: the first phase of a reboot.
  void Sent(size_t drive, bool rebootHead) {
    if (drive >= sim_.DriveCount()) return;
    std::lock_guard lock(mutex_);
    if (rebootHead) {
      rebooting_[drive] = true;
    } else if (rebooting_[drive]) {
      rebooting_[drive] = false;
      number_[drive] = next_++;
      renumbered_[drive] = true;
    }
  }

  platform::sim::SimStation& sim_;
  std::mutex mutex_;
  std::array<uint32_t, 32> number_{};
  std::array<bool, 32> rebooting_{};
  std::array<bool, 32> renumbered_{};
  uint32_t next_ = 1;
};

TEST(MpRun, DefaultStationPassesOnEveryPort) {
  RunFixture f;
  auto capacities = f.ScannedCapacities();
  ASSERT_EQ(f.Run(f.Controls("QV00000000FF")), StartOutcome::kStarted);
  const char* serials[16] = {"QV00000000FF", "QV0000000100", "QV0000000101", "QV0000000102",
                             "QV0000000103", "QV0000000104", "QV0000000105", "QV0000000106",
                             "QV0000000107", "QV0000000108", "QV0000000109", "QV000000010A",
                             "QV000000010B", "QV000000010C", "QV000000010D", "QV000000010E"};
  for (int p = 0; p < 16; ++p) {
    SCOPED_TRACE("port " + std::to_string(p));
    EXPECT_EQ(f.Cell(p, kColStatus), "Pass");
    EXPECT_EQ(f.Cell(p, kColProgress), "100 %");
    EXPECT_EQ(f.Cell(p, kColModel), "QELVAR SSD 512GB");
    // The serial number as written into the drive: padded to 20 characters.
    EXPECT_EQ(f.Cell(p, kColSerial), std::string(serials[p]) + "        ");
    EXPECT_EQ(f.Cell(p, kColFwVersion), "QV51R001");  // bin 1 keeps FWOriver's eighth character
    EXPECT_EQ(f.Cell(p, kColRdtResult), "RDT Pass");
    EXPECT_EQ(f.Cell(p, kColBin), "Bin 1");
    EXPECT_EQ(f.Cell(p, kColCapacity), capacities[static_cast<size_t>(p)]);
    EXPECT_FALSE(capacities[static_cast<size_t>(p)].empty());
    EXPECT_EQ(f.station.ports.gPortStatus[static_cast<size_t>(p)].load(), discovery::kPassed);
  }
  EXPECT_EQ(f.station.run.passCount.load(), 16);
  EXPECT_EQ(f.station.run.failCount.load(), 0);
  EXPECT_EQ(f.page.snEdit, "QV000000010F") << "the SN edit shows the next drive's number";
  EXPECT_TRUE(f.page.buttonsEnabled);
  EXPECT_FALSE(f.control->Busy());
  EXPECT_EQ(f.control->RunActive(), 0);
  // Every command every drive received was one it accepted.
  for (const auto& line : f.sim->Trace()) {
    ASSERT_TRUE(line.accepted) << line.drive << " " << line.Json();
  }
}

// A drive on port P of the default flow takes exactly these pauses, in order.
std::vector<uint32_t> FullFlowPauses(uint32_t p) {
  std::vector<uint32_t> v;
  auto add = [&](std::initializer_list<uint32_t> ms) { v.insert(v.end(), ms); };
  add({p * 200});
  v.insert(v.end(), 96, 10);            // burner chunks
  add({1000});                          // after the microcode
  add({500, 500, 500});                 // inject, NAND info, first status
  add({2000});                          // before the burn trigger
  add({500, 500, 5000, 500});           // capacity, trigger, wait, burn poll
  add({500});                           // burn status
  add({500, 500, 500, 500, 500, 500});  // CE bin, inject, CE MR, poll, bin, poll
  add({500});                           // poll after the RDT result
  add({500});                           // bad-block number
  add({500});                           // poll after the tables
  add({500, 1000, 500});                // late erase, pause, erase poll
  add({500, 1000, 500, 5000, 500});     // calibration, DelayNandCali, poll, pause, erase poll
  add({2000});                          // before the system firmware
  v.insert(v.end(), 48, 50);            // 192 KiB of system firmware
  add({500});                           // status
  v.insert(v.end(), 16, 50);            // 64 KiB of SPI ROM
  add({500});                           // status
  add({500 * p + 4000});                // reboot stagger
  add({4000, (2 + p) * 500, (2 + p) * 300, 500, 500});  // reboot, waits, capacity, poll
  return v;
}

TEST(MpRun, EveryPortTakesExactlyThePausesOfItsFlow) {
  RunFixture f;
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  for (uint32_t p : {0u, 7u, 15u}) {
    auto expected = FullFlowPauses(p);
    EXPECT_EQ(f.clock.PausesOf("port " + std::to_string(p)), expected) << "port " << p;
    EXPECT_EQ(f.clock.TotalPauseMs("port " + std::to_string(p)),
              std::accumulate(expected.begin(), expected.end(), uint64_t{0}));
  }
  // The Start sequence: ROM entry (500 ms each) staggered by port, then 8 s.
  std::vector<uint32_t> ui;
  for (uint32_t p = 0; p < 16; ++p) {
    ui.push_back(500);
    ui.push_back(p * 300);
  }
  ui.push_back(8000);
  EXPECT_EQ(f.clock.PausesOf("ui"), ui);
}

struct FaultCase {
  const char* line;    // added to Drive3's section
  const char* status;  // Status text of port 3 at the end
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.line;
}

class InjectedFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(InjectedFault, FailsItsOwnPortWithTheDesignsMessage) {
  RunFixture f(StationText({{3, GetParam().line}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(3, kColStatus), GetParam().status);
  bool passes = std::string(GetParam().status) == "Pass";
  EXPECT_EQ(f.Cell(3, kColProgress), passes ? "100 %" : "FAIL %");
  EXPECT_EQ(f.station.ports.gPortStatus[3].load(),
            passes ? discovery::kPassed : discovery::kFailed);
  for (int p = 0; p < 16; ++p) {
    if (p != 3) {
      EXPECT_EQ(f.Cell(p, kColStatus), "Pass") << "port " << p;
    }
  }
  EXPECT_EQ(f.station.run.failCount.load(), passes ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InjectedFault,
    ::testing::Values(
        FaultCase{"Fail=DownloadBurner", "Download Burn FAIL"},
        FaultCase{"Fail=DownloadMicrocode", "Download Microcode FAIL"},
        FaultCase{"Fail=GetNandInfo", "Get Nand INFO FAIL"},
        FaultCase{"StatusFirst=7", "CE or CH Not Matching"}, FaultCase{"StatusFirst=1", "Pass"},
        FaultCase{"Fail=SetDriveCapacity", "TRIGGLE BURN FAIL"},
        FaultCase{"Fail=TriggerBurn", "TRIGGLE BURN FAIL"},
        FaultCase{"BurnBusyPolls=100", "GET INJECT FAIL"}, FaultCase{"BurnBusyPolls=7", "Pass"},
        FaultCase{"StatusAfterBurn=1", "TOO MUCH BAD BLOCK"},
        FaultCase{"StatusAfterBurn=8", "MR BLOCK FAIL"},
        FaultCase{"StatusAfterBurn=2", "RAM TEST FAIL"},
        FaultCase{"Fail=GetRdtResult", "GET RDTRESULT FAIL"},
        FaultCase{"RdtResult=NONE", "GET RDTRESULT FAIL"},
        FaultCase{"BadBlockNumber=0xFFFFFFFF", "GET BADBLOCKNUM FAIL"},
        FaultCase{"Fail=ReadFct", "GET FACBBT FAIL"}, FaultCase{"Fail=ReadDft", "GET RUNBBT FAIL"},
        FaultCase{"Fail=EraseNand", "NAND ERASE FAIL"},
        FaultCase{"Fail=CalibrateNand", "NAND CALIBRATION FAIL"},
        FaultCase{"CalibrateBusyPolls=1", "GET INJECT FAIL"},
        FaultCase{"Fail=DownloadSystemFirmware", "DOWNLOAD SYSFW FAIL"},
        FaultCase{"Fail=DownloadSystemFirmware:1", "Pass"},
        FaultCase{"Fail=DownloadSpiRom", "DOWNLOAD SPIROM FAIL"},
        FaultCase{"Fail=DownloadSpiRom:1", "Pass"}, FaultCase{"StatusAfterSpi=6", "SPI UNKNOWN"},
        FaultCase{"Fail=RebootDrive", "REBOOT FAIL"},
        FaultCase{"CapacitySectors=30000", "REBOOT TIMEOUT FAIL"},
        // 16 MB is a drive still coming up; 17 MB is its capacity.
        FaultCase{"CapacitySectors=31250", "REBOOT TIMEOUT FAIL"},
        FaultCase{"CapacitySectors=33204", "Pass"},
        // DelayNandErase=9 allows four polls: the fourth may still answer.
        FaultCase{"EraseBusyPolls=3", "Pass"}, FaultCase{"EraseBusyPolls=4", "GET INJECT FAIL"}),
    [](const auto& p) {
      std::string name;
      for (char c : std::string(p.param.line)) {
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
      }
      return name;
    });

TEST(MpRun, FixedSerialKeepsWhatTheRescanReadAndAdvancesNothing) {
  RunFixture f;
  f.Options([](settings::MpSettings& s) {
    s.SNFix = 1;
    s.SNAutoIncrease = 1;
  });
  ASSERT_EQ(f.Run(f.Controls("QV00000000FF")), StartOutcome::kStarted);
  for (int p = 0; p < 16; ++p) {
    SCOPED_TRACE("port " + std::to_string(p));
    EXPECT_EQ(f.Cell(p, kColStatus), "Pass");
    // Not the SN edit's number, nor one counted from it.
    EXPECT_EQ(f.Cell(p, kColSerial).find("QV"), std::string::npos) << f.Cell(p, kColSerial);
  }
  EXPECT_TRUE(f.page.snEdit.empty()) << "the SN edit was advanced: " << f.page.snEdit;
  char saved[32] = {};
  (void)settings::ReadProfileString(f.paths.gSettingsPath, "Identify", "SN", "", saved,
                                    sizeof saved);
  EXPECT_STREQ(saved, "") << "a next serial number was saved";
}

TEST(MpRun, ADriveThatRefusesRomModeGetsNoStaggerPause) {
  RunFixture f(StationText({{3, "Fail=EnterRomMode"}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  // Every ROM entry pauses after its first phase; only a drive that entered
  // ROM mode is followed by its port's stagger.
  std::vector<uint32_t> ui;
  for (uint32_t p = 0; p < 16; ++p) {
    ui.push_back(500);
    if (p != 3) ui.push_back(p * 300);
  }
  ui.push_back(8000);
  EXPECT_EQ(f.clock.PausesOf("ui"), ui);
  for (int p = 0; p < 16; ++p) {
    if (p != 3) {
      EXPECT_EQ(f.Cell(p, kColStatus), "Pass") << "port " << p;
    }
  }
}

TEST(MpRun, SpiUnknownFailsWithoutAnotherSpiDownload) {
  RunFixture f(StationText({{3, "StatusAfterSpi=6"}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(3, kColStatus), "SPI UNKNOWN");
  // The flow up to the SPI ROM's status, once, and nothing after it: no
  // second download, no reboot.
  std::vector<uint32_t> expected = FullFlowPauses(3);
  expected.resize(expected.size() - 6);
  EXPECT_EQ(f.clock.PausesOf("port 3"), expected);
}

TEST(MpRun, RdtScanWithoutBurnerSendsTheFirmwareDeferredAndReadsNoStatus) {
  RunFixture f;
  f.Options([](settings::MpSettings& s) {
    s.ScanRDT = 1;
    s.DownloadBurner = 0;
    s.DownloadSysFW = 1;
  });
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(0, kColStatus), "Pass");
  size_t chunks = 0;
  for (const auto& line : f.sim->Trace()) {
    if (line.drive != "Drive0" || line.ata || line.cdb.size() < 4 || line.cdb[0] != 0xA1 ||
        line.dir != platform::DataDirection::Out || line.len != 4096) {
      continue;
    }
    ++chunks;
    EXPECT_EQ(line.cdb[3], 14) << "download mode byte";
  }
  EXPECT_EQ(chunks, 48u) << "192 KiB of firmware in 4 KiB chunks";
  // After the last chunk the flow goes straight to the reboot stagger: no
  // status read and its pause in between.
  std::vector<uint32_t> pauses = f.clock.PausesOf("port 0");
  auto last = std::find(pauses.rbegin(), pauses.rend(), 50u);
  ASSERT_NE(last, pauses.rend());
  ASSERT_NE(last.base(), pauses.end());
  EXPECT_EQ(*last.base(), 4000u);
}

TEST(MpRun, ADrivePulledDuringItsSystemFirmwareFailsOnlyItsPort) {
  // Drive 3 is a blank drive that boots into its ROM loader, so a start on
  // it alone works after it is plugged back.
  RunFixture f(StationText({{3, "Mode = ROM"}}));
  const int drive = f.sim->FindDrive("Drive3");
  ASSERT_GE(drive, 0);
  const auto d = static_cast<size_t>(drive);
  ASSERT_TRUE(f.sim->UnplugOn(d, platform::sim::Command::DownloadSystemFirmware, 1, 3));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(3, kColStatus), "DOWNLOAD SYSFW FAIL");
  EXPECT_EQ(f.Cell(3, kColProgress), "FAIL %");
  for (int p = 0; p < 16; ++p) {
    if (p != 3) {
      EXPECT_EQ(f.Cell(p, kColStatus), "Pass") << "port " << p;
    }
  }
  EXPECT_EQ(f.station.run.failCount.load(), 1);
  EXPECT_FALSE(f.control->Busy());
  EXPECT_FALSE(f.sim->Inspect(d).plugged);
  // The port took its flow's pauses up to the pull and then none: the
  // remaining attempts failed at once on a device that is gone.
  std::vector<uint32_t> expected = FullFlowPauses(3);
  auto firmware = std::find(expected.begin(), expected.end(), 2000u);
  firmware = std::find(firmware + 1, expected.end(), 2000u);  // the one before the firmware
  ASSERT_NE(firmware, expected.end());
  expected.erase(firmware + 1, expected.end());
  expected.insert(expected.end(), {50, 50});
  EXPECT_EQ(f.clock.PausesOf("port 3"), expected);

  // Plugged back, rescanned as the window does on the arrival, and started alone.
  ASSERT_TRUE(f.sim->Plug(d));
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  ASSERT_EQ(f.control->StartSinglePort(3), SinglePortOutcome::kStarted);
  f.WaitForWorkers();
  EXPECT_EQ(f.Cell(3, kColStatus), "Pass");
  EXPECT_EQ(f.station.run.passCount.load(), 16);
  EXPECT_TRUE(f.sim->Inspect(d).sysFwValid);
}

TEST(MpRun, BurnerFailsAfterThreeAttemptsFiveSecondsApart) {
  RunFixture f(StationText({{3, "Fail=DownloadBurner"}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  auto pauses = f.clock.PausesOf("port 3");
  std::vector<uint32_t> expected = {600, 5000, 5000, 5000};
  EXPECT_EQ(pauses, expected) << "the last pause follows the third attempt";
}

TEST(MpRun, DeferredStatusFailsOnlyAfterBothTablesWereRead) {
  RunFixture f(StationText({{3, "StatusAfterBurn=1"}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(3, kColStatus), "TOO MUCH BAD BLOCK");
  // The reports of both tables were written before the port failed.
  EXPECT_TRUE(std::filesystem::exists(f.folder / "dbug" / "3_FCTBBT.txt"));
  EXPECT_TRUE(std::filesystem::exists(f.folder / "dbug" / "3_DFTBBT.txt"));
}

TEST(MpRun, RdtBranchPreparesTheDriveWithoutRebootingIt) {
  RunFixture f;
  f.Options([](settings::MpSettings& s) {
    s.ScanRDT = 1;
    s.RdtParamEn = 1;
    std::string rdtfw = testing::SourceDir() + "/examples/station/Firmware/rdtfw.bin";
    std::strncpy(s.SysFwPath, rdtfw.c_str(), sizeof s.SysFwPath - 1);
  });
  f.list.SetRdtColumns(false);
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  for (int p = 0; p < 16; ++p) {
    EXPECT_EQ(f.Cell(p, kColStatus), "Pass") << p;
    EXPECT_EQ(f.Cell(p, kColCapacity), "RDT") << p;
  }
  auto state = f.sim->Inspect(3);
  EXPECT_TRUE(state.rdtParamValid) << "the RDT parameters were downloaded and checked";
  EXPECT_FALSE(state.rebooted);
  EXPECT_FALSE(std::filesystem::exists(f.folder / "dbug" / "3_RDT.txt"))
      << "an RDT preparation run does not read the RDT result";
}

TEST(MpRun, EraseAllBranchOnlyErases) {
  RunFixture f;
  f.Options([](settings::MpSettings& s) { s.NandEraseAll = 1; });
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(5, kColStatus), "Pass");
  auto pauses = f.clock.PausesOf("port 5");
  std::vector<uint32_t> expected = {1000};
  expected.insert(expected.end(), 96, 10);
  for (uint32_t ms : {1000u, 500u, 500u, 500u, 500u, 1000u, 500u, 2000u, 6500u})
    expected.push_back(ms);
  EXPECT_EQ(pauses, expected);
  auto state = f.sim->Inspect(5);
  EXPECT_TRUE(state.sysFw.empty());
  EXPECT_FALSE(state.rebooted);
}

TEST(MpRun, NoBurnerBranchReadsBadBlocksRebootsAndChecksCapacity) {
  RunFixture f;
  f.Options([](settings::MpSettings& s) {
    s.DownloadBurner = 0;
    s.NandErase = 0;
    s.NandCalibration = 0;
    s.DownloadSysFW = 0;
  });
  auto capacities = f.ScannedCapacities();
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(15, kColStatus), "Pass");
  EXPECT_EQ(f.Cell(15, kColCapacity), capacities[15]);
  // Bad-block number, 75 %, the stagger, reboot, capacity: no burner, no polls.
  std::vector<uint32_t> expected = {500, 500 * 15 + 4000, 4000, 17 * 500, 17 * 300, 500};
  EXPECT_EQ(f.clock.PausesOf("port 15"), expected);
  std::vector<uint32_t> ui = {8000};
  EXPECT_EQ(f.clock.PausesOf("ui"), ui) << "no ROM entry without the burner";
}

TEST(MpRun, ARebootedDriveIsFoundAgainOnItsHubPortUnderItsNewDiskNumber) {
  // Every drive comes back from its reboot as a new disk with a new number:
  // its old device path leads nowhere. Drives 0 and 1 stay away a while.
  RenumberedAfterReboot* names = nullptr;
  RunFixture f(StationText({{0, "RebootMs = 2000"},
                            {0, "CapacitySectors = 500118192"},
                            {1, "RebootMs = 1000"},
                            {1, "CapacitySectors = 1000215216"}}),
               [&](platform::sim::SimStation& sim) {
                 auto view = std::make_unique<RenumberedAfterReboot>(sim);
                 names = view.get();
                 return view;
               });
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(names->Renumbered(), 16);
  // Each port found its own drive on its hub port and read its capacity.
  EXPECT_EQ(f.Cell(0, kColStatus), "Pass");
  EXPECT_EQ(f.Cell(0, kColCapacity), "256060");
  EXPECT_EQ(f.Cell(1, kColStatus), "Pass");
  EXPECT_EQ(f.Cell(1, kColCapacity), "512110");
  EXPECT_EQ(f.station.run.passCount.load(), 16);
}

TEST(MpRun, ADriveAwayAfterItsRebootGetsTheWholeWindow) {
  // Port 0 with DelayReboot 2: reads at 1.6 s and then every 1.1 s (the
  // 600 ms pause and the 500 ms a failed read costs) up to 7.1 s. A drive
  // back after 5 s is read at 6 s, also when it was away at every read before.
  RunFixture f(StationText({{0, "RebootMs = 5000"}}));
  ASSERT_EQ(f.Run(f.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(0, kColStatus), "Pass");
  RunFixture late(StationText({{0, "RebootMs = 7200"}}));
  ASSERT_EQ(late.Run(late.Controls()), StartOutcome::kStarted);
  EXPECT_EQ(late.Cell(0, kColStatus), "REBOOT TIMEOUT FAIL");
}

TEST(MpRun, ASinglePortStartFollowsItsHubPortWhenDiskNamesHaveSwapped) {
  RenumberedAfterReboot* names = nullptr;
  RunFixture f(StationText(), [&](platform::sim::SimStation& sim) {
    auto view = std::make_unique<RenumberedAfterReboot>(sim);
    names = view.get();
    return view;
  });
  names->SwapNames(0, 1);  // since the scan, as after two earlier single-port runs
  f.sim->ClearTrace();
  ASSERT_EQ(f.control->StartSinglePort(0), SinglePortOutcome::kStarted);
  f.WaitForWorkers();
  const std::vector<platform::sim::TraceLine> trace = f.sim->Trace();
  ASSERT_FALSE(trace.empty());
  for (const platform::sim::TraceLine& line : trace) {
    ASSERT_EQ(line.drive, "Drive0") << "port 0's flow reached another drive";
  }
}

}  // namespace
}  // namespace qelvar::engine
