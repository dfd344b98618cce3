// The simulated station driven through the transport and the vendor commands,
// on both routes, in the order the per-port MP flow sends them.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <ostream>
#include <thread>

#include "platform/sim/sim_station.h"
#include "sim_host.h"
#include "transport/pass_through_transport.h"
#include "vendor/vendor_commands.h"

namespace qelvar::simtest {
namespace {

using platform::VirtualClock;
using platform::sim::DriveMode;
using platform::sim::ParseStation;
using platform::sim::SimStation;
using platform::sim::StationConfig;
using vendor::EraseSelector;
using vendor::PortTarget;

std::unique_ptr<SimStation> Station(const std::string& text, platform::Clock& clock) {
  StationConfig config;
  std::string error;
  EXPECT_TRUE(ParseStation(text, "", &config, &error)) << error;
  return std::make_unique<SimStation>(std::move(config), clock);
}

struct Step {
  std::string name;
  std::function<bool()> ok;     // the command succeeded as the flow expects
  std::function<int()> result;  // what the flow would see (for faults)
};

// The MP flow's commands for one port, in its order, with its pauses. `rdt`
// prepares the drive for its reliability test instead of finishing it.
class Flow {
 public:
  Flow(SimStation& st, VirtualClock& clock, size_t drive, int32_t interfaceType)
      : st_(st),
        clock_(clock),
        transport_(st, clock),
        vendor_(transport_),
        path_(st.PathOf(drive)),
        port_{path_, interfaceType} {
    burner_.resize(vendor::kBurnerImageSize);
    for (size_t i = 0; i < burner_.size(); ++i) burner_[i] = static_cast<uint8_t>(i * 31 >> 7);
    sysFw_ = SystemFirmware(200000, 0x300);
    rdtParam_ = RdtParameters(1500);
    spi_.assign(vendor::kSpiImageSize, 0);
    for (size_t i = 0; i < spi_.size(); ++i) spi_[i] = static_cast<uint8_t>(i ^ (i >> 8));
  }

  std::vector<uint8_t>& sysFw() { return sysFw_; }
  transport::PassThroughTransport& transport() { return transport_; }
  vendor::VendorCommands& vendor() { return vendor_; }
  PortTarget port() const { return port_; }

  int Status() {
    std::array<uint8_t, 4096> a{};
    if (vendor_.GetInjectStatus(port_, a) != 1) return -1;
    return a[0] | a[1] << 8 | a[2] << 16 | a[3] << 24;
  }
  int Poll() {
    std::array<uint8_t, 4096> a{};
    return vendor_.GetInjectStatus(port_, a);
  }
  int Read512(int (vendor::VendorCommands::*read)(PortTarget, std::span<uint8_t, 512>)) {
    std::array<uint8_t, 512> a{};
    return (vendor_.*read)(port_, a);
  }

  std::vector<Step> Steps(bool rdt) {
    auto one = [](std::function<int()> f) { return [f] { return f() == 1; }; };
    std::vector<Step> s;
    auto add = [&](std::string name, std::function<int()> f) {
      s.push_back({std::move(name), one(f), f});
    };
    add("EnterRomMode", [this] {
      int r = vendor_.EnterRomMode(port_);
      clock_.SleepMs(8000);
      return r;
    });
    add("Identify", [this] {
      std::array<uint8_t, 512> id{};
      uint32_t n = 0;
      return transport_.ScsiPassThroughIn(
          path_, Bytes("A1 08 0B 00 01 00 00 00 E0 EC 00 00").data(), 12, id.data(), 512, &n);
    });
    add("DownloadBurner", [this] { return vendor_.DownloadBurnerImage(port_, burner_); });
    add("DownloadMicrocode", [this] {
      int r = vendor_.DownloadMicrocode(port_);
      clock_.SleepMs(1000);
      return r;
    });
    add("GetInjectStatus", [this] { return Poll(); });
    add("GetNandInfo", [this] { return Read512(&vendor::VendorCommands::GetNandInfo); });
    add("first status", [this] { return Status() == 0 ? 1 : 0; });
    if (rdt) {
      add("EraseNand", [this] {
        int r = vendor_.EraseNand(port_, EraseSelector::Whole);
        clock_.SleepMs(1000);
        return r;
      });
      add("erase poll", [this] { return Poll(); });
    }
    add("SkipRunBadBlocks", [this] {
      clock_.SleepMs(2000);
      return vendor_.SkipRunBadBlocks(port_);
    });
    add("SetDriveCapacity", [this] { return vendor_.SetDriveCapacity(port_, 0x0102); });
    add("TriggerBurn", [this] {
      int r = vendor_.TriggerBurn(port_);
      clock_.SleepMs(5000);
      return r;
    });
    add("burn poll", [this] { return Poll(); });
    add("burn status", [this] { return Status() == 0 ? 1 : 0; });
    add("GetCeBinTable", [this] { return Read512(&vendor::VendorCommands::GetCeBinTable); });
    add("inject between tables", [this] { return Poll(); });
    add("GetCeMrTable", [this] { return Read512(&vendor::VendorCommands::GetCeMrTable); });
    add("poll after CE tables", [this] { return Poll(); });
    add("GetBin", [this] { return Read512(&vendor::VendorCommands::GetBin); });
    add("poll after bin", [this] { return Poll(); });
    if (!rdt) {
      add("GetRdtResult", [this] {
        std::array<uint8_t, 16896> a{};
        return vendor_.GetRdtResult(port_, a);
      });
      add("poll after RDT", [this] { return Poll(); });
    }
    add("GetVendorIdentify", [this] { return vendor_.GetBadBlockNumber(port_) >= 0 ? 1 : 0; });
    add("ReadFct", [this] {
      std::array<uint8_t, 32768> a{};
      return vendor_.ReadFctTableBlock(port_, a);
    });
    add("ReadDft", [this] {
      std::array<uint8_t, 32768> a{};
      return vendor_.ReadDftTableBlock(port_, a);
    });
    add("poll after tables", [this] { return Poll(); });
    if (!rdt) {
      add("EraseNand", [this] {
        int r = vendor_.EraseNand(port_, EraseSelector::WithoutKeep);
        clock_.SleepMs(1000);
        return r;
      });
      add("erase poll", [this] { return Poll(); });
    }
    add("CalibrateNand", [this] {
      int r = vendor_.CalibrateNand(port_);
      clock_.SleepMs(3000);
      return r;
    });
    add("poll after calibration", [this] {
      int r = Poll();
      clock_.SleepMs(5000);
      return r;
    });
    add("calibration erase poll", [this] { return Poll(); });
    if (rdt) {
      add("DownloadRdtParameters", [this] {
        return vendor_.DownloadRdtParameters(port_, rdtParam_,
                                             static_cast<uint32_t>(rdtParam_.size()));
      });
      add("status after RDT parameters", [this] { return Status() == 0 ? 1 : 0; });
    }
    add("DownloadSystemFirmware", [this] {
      clock_.SleepMs(2000);
      return vendor_.DownloadSystemFirmware(port_, sysFw_, static_cast<uint32_t>(sysFw_.size()),
                                            vendor::kModeSaveImmediate);
    });
    add("status after system firmware", [this] { return Status() == 0 ? 1 : 0; });
    add("DownloadSpiRom", [this] {
      return vendor_.DownloadSpiRom(port_, spi_, static_cast<uint32_t>(spi_.size()),
                                    vendor::kModeSaveImmediate);
    });
    add("status after SPI", [this] { return Status() == 0 ? 1 : 0; });
    if (!rdt) {
      add("RebootDrive", [this] {
        clock_.SleepMs(4000);
        int r = vendor_.RebootDrive(port_);
        clock_.SleepMs(1500);
        return r;
      });
      s.push_back({"capacity",
                   [this] {
                     clock_.SleepMs(900);
                     int32_t mb = vendor_.GetCapacityMb(port_);
                     return mb != -1 && static_cast<uint32_t>(mb) > 16;
                   },
                   [this] { return vendor_.GetCapacityMb(port_); }});
      add("poll after reboot", [this] { return Poll(); });
    }
    return s;
  }

 private:
  SimStation& st_;
  VirtualClock& clock_;
  transport::PassThroughTransport transport_;
  vendor::VendorCommands vendor_;
  std::string path_;
  PortTarget port_;
  std::vector<uint8_t> burner_, sysFw_, rdtParam_, spi_;
};

const char* kDrive = R"(
[Station]
Hubs = 1
[Drive0]
Serial = ABC
CapacitySectors = 1953525168
FactoryBad = 3
RuntimeBad = 2
RdtEntries = 4
)";

class HealthyDrive : public ::testing::TestWithParam<std::tuple<int32_t, bool>> {};

TEST_P(HealthyDrive, GoesThroughTheWholeFlowWithEveryCommandAccepted) {
  auto [interfaceType, rdt] = GetParam();
  VirtualClock clock;
  auto st = Station(kDrive, clock);
  st->CaptureTrace(true);
  Flow flow(*st, clock, 0, interfaceType);
  for (Step& step : flow.Steps(rdt)) ASSERT_TRUE(step.ok()) << step.name;
  st->Flush();
  auto lines = st->Trace();
  ASSERT_GT(lines.size(), 200u);
  for (const auto& line : lines) {
    ASSERT_TRUE(line.accepted) << line.Json();
    // The scan's IDENTIFY always takes the SAT route; everything else the port's.
    bool identify = !line.ata && line.cdb.size() == 12 && line.cdb[9] == 0xEC;
    if (!identify) {
      EXPECT_EQ(line.ata, interfaceType == 3) << line.Json();
    }
  }
  auto s = st->Inspect(0);
  EXPECT_TRUE(s.sysFwValid);
  std::vector<uint8_t> sent = flow.sysFw();
  sent.resize(49 * 4096, 0);
  EXPECT_EQ(s.sysFw, sent) << "the image in whole 4,096-byte chunks, nothing more";
  EXPECT_EQ(s.spi.size(), vendor::kSpiImageSize);
  EXPECT_EQ(s.capacityValue, 0x0102);
  EXPECT_EQ(s.statusWord, 0u);
  if (rdt) {
    EXPECT_EQ(s.mode, DriveMode::Burner);
    EXPECT_TRUE(s.rdtParamValid);
    EXPECT_EQ(s.rdtParam.size(), 1536u) << "1,500 bytes in whole blocks";
    EXPECT_EQ(s.eraseSelector, '0');
  } else {
    EXPECT_EQ(s.mode, DriveMode::Normal);
    EXPECT_TRUE(s.rebooted);
    EXPECT_EQ(s.eraseSelector, '2');
    EXPECT_EQ(flow.vendor().GetCapacityMb(flow.port()), 1000204);
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, HealthyDrive,
                         ::testing::Combine(::testing::Values(1, 3), ::testing::Bool()),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) == 3 ? "Ata" : "Sat") +
                                  (std::get<1>(p.param) ? "RdtRun" : "MpRun");
                         });

struct FaultCase {
  const char* fault;
  const char* step;  // the flow step that sees it
  int expected;      // what that step returns
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.fault;
}

class InjectedFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(InjectedFault, GivesTheFailureOfItsCommand) {
  const FaultCase& c = GetParam();
  for (int32_t interfaceType : {1, 3}) {
    VirtualClock clock;
    std::string text = std::string(kDrive) + "Fail = " + c.fault + "\n";
    auto st = Station(text, clock);
    st->CaptureTrace(true);
    Flow flow(*st, clock, 0, interfaceType);
    bool seen = false;
    bool rdtRun = std::string(c.fault).find("DownloadRdtParameters") != std::string::npos;
    for (Step& step : flow.Steps(rdtRun)) {
      if (step.name == c.step) {
        EXPECT_EQ(step.result(), c.expected) << c.fault << " on route " << interfaceType;
        seen = true;
        break;
      }
      ASSERT_TRUE(step.ok()) << step.name << " before " << c.fault;
    }
    EXPECT_TRUE(seen) << c.step;
    // Only the faulted request failed, and it was the last; nothing was refused.
    auto lines = st->Trace();
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(lines.back().accepted) << c.fault;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_TRUE(lines[i].accepted) << lines[i].Json();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, InjectedFault,
    ::testing::Values(
        FaultCase{"EnterRomMode", "EnterRomMode", 2},
        FaultCase{"EnterRomMode:1:2", "EnterRomMode", 3}, FaultCase{"Identify", "Identify", 0},
        FaultCase{"DownloadBurner:1:50", "DownloadBurner", 0},
        FaultCase{"DownloadMicrocode", "DownloadMicrocode", 0},
        FaultCase{"GetInjectStatus", "GetInjectStatus", 2},
        FaultCase{"GetNandInfo:1:2", "GetNandInfo", 3},
        FaultCase{"SkipRunBadBlocks", "SkipRunBadBlocks", 2},
        FaultCase{"SetDriveCapacity", "SetDriveCapacity", 2},
        FaultCase{"TriggerBurn", "TriggerBurn", 2}, FaultCase{"GetCeBinTable", "GetCeBinTable", 2},
        FaultCase{"GetCeMrTable:1:2", "GetCeMrTable", 3}, FaultCase{"GetBin", "GetBin", 2},
        FaultCase{"GetRdtResult", "GetRdtResult", 0},
        FaultCase{"GetVendorIdentify", "GetVendorIdentify", 0}, FaultCase{"ReadFct", "ReadFct", 0},
        FaultCase{"ReadDft", "ReadDft", 0}, FaultCase{"EraseNand:1:2", "EraseNand", 3},
        FaultCase{"CalibrateNand", "CalibrateNand", 2},
        FaultCase{"DownloadRdtParameters", "DownloadRdtParameters", 0},
        FaultCase{"DownloadSystemFirmware:1:49", "DownloadSystemFirmware", 0},
        FaultCase{"DownloadSpiRom:1:32", "DownloadSpiRom", 0},
        FaultCase{"RebootDrive", "RebootDrive", 2}, FaultCase{"RebootDrive:1:2", "RebootDrive", 3}),
    [](const auto& p) {
      std::string n;
      for (const char* c = p.param.fault; *c; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) n.push_back(*c);
      }
      return n;
    });

TEST(SimEndToEnd, BusyPollsAndTheCalibrationPollFailAsTheFlowSeesThem) {
  VirtualClock clock;
  auto st = Station(std::string(kDrive) + "BurnBusyPolls = 2\nCalibrateBusyPolls = 1\n", clock);
  Flow flow(*st, clock, 0, 1);
  for (Step& step : flow.Steps(false)) {
    if (step.name == "burn poll") {
      EXPECT_EQ(flow.Poll(), 2);
      EXPECT_EQ(flow.Poll(), 2);
    }
    if (step.name == "poll after calibration") {
      EXPECT_EQ(step.result(), 2) << "still busy right after the calibration pause";
      break;
    }
    ASSERT_TRUE(step.ok()) << step.name;
  }
}

TEST(SimEndToEnd, ACorruptSystemFirmwareChecksumMakesTheDriveReportStatusFive) {
  for (size_t flip : {40u, 500u, 96u + 0x300 + 100, 199999u}) {
    VirtualClock clock;
    auto st = Station(kDrive, clock);
    Flow flow(*st, clock, 0, 1);
    flow.sysFw()[flip] ^= 0x20;
    for (Step& step : flow.Steps(false)) {
      if (step.name == "status after system firmware") {
        EXPECT_EQ(flow.Status(), 5) << "byte " << flip;
        break;
      }
      ASSERT_TRUE(step.ok()) << step.name;
    }
  }
}

// Sends one request by hand through the transport, by the dispatch rule.
int Send(transport::PassThroughTransport& t, const std::string& path, int32_t type,
         std::vector<uint8_t> image, platform::DataDirection dir, std::vector<uint8_t>* data) {
  transport::VendorCommand c;
  c.path = path;
  std::copy(image.begin(), image.end(), c.image.begin());
  c.imageLength = static_cast<uint8_t>(image.size());
  c.extended = image.size() == 16;
  c.direction = dir;
  c.buffer = data != nullptr ? data->data() : nullptr;
  c.length = data != nullptr ? static_cast<uint32_t>(data->size()) : 0;
  return t.Send(c, type);
}

TEST(SimEndToEnd, RefusalsReachTheHostAsTheDriveWouldAnswer) {
  // On the SAT path a refusal is still a delivered command (1) with a zeroed
  // answer; on the ATA path the drive's ERR gives FEh. Either way the drive
  // stays where it was and the trace says so.
  struct Case {
    const char* what;
    std::function<int(transport::PassThroughTransport&, const std::string&, int32_t, VirtualClock&)>
        send;
  };
  const Case cases[] = {
      {"wrong block byte",
       [](auto& t, const std::string& p, int32_t type, VirtualClock&) {
         std::vector<uint8_t> block = kRomBlock;
         block[38] = 0xED;
         return Send(t, p, type, kFirst, DataDirection::Out, &block);
       }},
      {"wrong image byte",
       [](auto& t, const std::string& p, int32_t type, VirtualClock&) {
         std::vector<uint8_t> image = kFirst;
         image[6] = 0x02;
         std::vector<uint8_t> block = kRomBlock;
         block.resize(1024);
         return Send(t, p, type, image, DataDirection::Out, &block);
       }},
      {"missing pause",
       [](auto& t, const std::string& p, int32_t type, VirtualClock& clock) {
         std::vector<uint8_t> block = kRomBlock;
         EXPECT_EQ(Send(t, p, type, kFirst, DataDirection::Out, &block), 1);
         clock.SleepMs(250);
         return Send(t, p, type, kNoData, DataDirection::None, nullptr);
       }},
  };
  for (const Case& c : cases) {
    for (int32_t type : {1, 3}) {
      VirtualClock clock;
      auto st = Station(kDrive, clock);
      st->CaptureTrace(true);
      transport::PassThroughTransport t(*st, clock);
      int r = c.send(t, st->PathOf(0), type, clock);
      EXPECT_EQ(r, type == 3 ? 0xFE : 1) << c.what;
      EXPECT_FALSE(st->Trace().back().accepted) << c.what;
      EXPECT_EQ(st->Inspect(0).mode, DriveMode::Normal) << c.what;
    }
  }
  // The erase block, one byte off, in the burner.
  for (int32_t type : {1, 3}) {
    VirtualClock clock;
    auto st = Station(kDrive, clock);
    st->CaptureTrace(true);
    Flow flow(*st, clock, 0, type);
    for (Step& step : flow.Steps(false)) {
      if (step.name == "EraseNand") break;
      ASSERT_TRUE(step.ok()) << step.name;
    }
    std::vector<uint8_t> cmd = kEraseCmd;
    ASSERT_EQ(Send(flow.transport(), st->PathOf(0), type, kFirst, DataDirection::Out, &cmd), 1);
    clock.SleepMs(500);
    std::vector<uint8_t> erase = EraseBlock('1');
    erase[9] = 0x03;
    EXPECT_EQ(Send(flow.transport(), st->PathOf(0), type, kOut512, DataDirection::Out, &erase),
              type == 3 ? 0xFE : 1);
    EXPECT_FALSE(st->Trace().back().accepted);
    EXPECT_EQ(st->Inspect(0).eraseSelector, 0);
  }
}

TEST(SimEndToEnd, SixteenPortsRunAtOnceFromTheirOwnThreads) {
  VirtualClock clock;
  auto st = SimStation::Default(clock);
  st->CaptureTrace(true);
  std::vector<std::thread> workers;
  std::atomic<int> passed{0};
  for (size_t i = 0; i < st->DriveCount(); ++i) {
    workers.emplace_back(clock.Inherit("port " + std::to_string(i), [&, i] {
      Flow flow(*st, clock, i, 1);
      for (Step& step : flow.Steps(false)) {
        if (!step.ok()) return;
      }
      passed++;
    }));
  }
  // The UI thread scans meanwhile.
  for (int k = 0; k < 50; ++k) {
    platform::UsbDiskNode disks[24];
    (void)st->EnumerateUsbDisks(disks);
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(passed.load(), 16);
  for (const auto& line : st->Trace()) ASSERT_TRUE(line.accepted) << line.Json();
}

}  // namespace
}  // namespace qelvar::simtest
