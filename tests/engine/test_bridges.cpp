// Bridges as they come: each kind of USB-to-SATA bridge in front of a drive of
// the simulated station, as the scan's probe sees it and as a full run ends.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "discovery/device_scan.h"
#include "run_fixture.h"

namespace qelvar::engine {
namespace {

using discovery::kColSerial;
using discovery::kColStatus;
using discovery::SenseFormat;
using testing::RunFixture;
using testing::StationText;
using transport::Route;

struct BridgeCase {
  const char* bridge;
  Route route;
  SenseFormat sense;
  uint32_t maxTransfer;
  bool supported;
};

// Drive k of the station sits behind kCases[k]'s bridge.
constexpr BridgeCase kCases[] = {
    {"sat", Route::kBoth, SenseFormat::kDescriptor, 0, true},
    {"sat16-only", Route::k16Only, SenseFormat::kDescriptor, 0, true},
    {"sat12-only", Route::k12Only, SenseFormat::kDescriptor, 0, false},
    {"no-ck-cond-sense", Route::kBoth, SenseFormat::kNone, 0, true},
    {"fixed-sense", Route::kBoth, SenseFormat::kFixed, 0, true},
    {"max-transfer=16384", Route::kBoth, SenseFormat::kDescriptor, 16384, false},
    {"max-transfer=32768", Route::kBoth, SenseFormat::kDescriptor, 32768, true},
    {"no-pass-through", Route::kNone, SenseFormat::kUnknown, 0, false},
};
constexpr int kCaseCount = static_cast<int>(std::size(kCases));

std::string BridgeStation() {
  std::vector<std::pair<int, std::string>> keys;
  for (int k = 0; k < kCaseCount; ++k)
    keys.push_back({k, std::string("Bridge = ") + kCases[k].bridge});
  return StationText(keys);
}

TEST(Bridges, TheScanLearnsEachBridgeAndAFullRunPassesEveryUsableOne) {
  RunFixture f(BridgeStation());
  int supported = 16 - kCaseCount;
  for (int k = 0; k < kCaseCount; ++k) {
    const BridgeCase& c = kCases[k];
    SCOPED_TRACE(c.bridge);
    const auto& info = f.station.ports.gDeviceInfo[static_cast<size_t>(k)];
    EXPECT_TRUE(info.bridge.probed);
    EXPECT_EQ(info.bridge.route, c.route);
    EXPECT_EQ(info.bridge.sense, c.sense);
    EXPECT_EQ(info.bridge.maxTransfer, c.maxTransfer);
    EXPECT_EQ(info.bridge.supported, c.supported);
    EXPECT_EQ(info.bridge.reason[0] != '\0', !c.supported);
    EXPECT_EQ(f.Cell(k, kColStatus), c.supported ? "Ready" : "Unsupported bridge");
    if (!c.supported) {
      EXPECT_FALSE(info.HasDrive()) << "never started";
      EXPECT_EQ(info.Path[0], '\0') << "nothing later (the format) may touch it";
      EXPECT_EQ(f.Cell(k, kColSerial), "");
    }
    supported += c.supported ? 1 : 0;
  }

  ASSERT_EQ(f.Run(f.Controls("QV00000000FF")), StartOutcome::kStarted);
  for (int k = 0; k < kCaseCount; ++k) {
    const BridgeCase& c = kCases[k];
    SCOPED_TRACE(c.bridge);
    EXPECT_EQ(f.Cell(k, kColStatus), c.supported ? "Pass" : "Unsupported bridge");
    const auto state = f.sim->Inspect(static_cast<size_t>(k));
    EXPECT_EQ(state.rebooted, c.supported) << "an unsupported drive never leaves normal mode";
    if (!c.supported) {
      EXPECT_EQ(state.mode, platform::sim::DriveMode::Normal);
      EXPECT_EQ(f.Cell(k, kColSerial), "") << "no serial number handed out";
    }
  }
  EXPECT_EQ(f.station.run.passCount.load(), supported);
  EXPECT_EQ(f.station.run.failCount.load(), 0);
  // What reached a drive was accepted: a bridge's own refusals stop short of it.
  for (const auto& line : f.sim->Trace()) {
    ASSERT_TRUE(line.accepted) << line.drive << " " << line.Json();
  }
}

// An entry of the line's table decides instead of the probe: the drive then
// receives nothing but IDENTIFY, on the entry's route. A table that does not
// parse is not used at all.
TEST(Bridges, TheLinesTableOverridesTheProbe) {
  RunFixture f(StationText({{0, "UsbProductId = 0x0042"}, {1, "UsbProductId = 0x0043"}}));
  const auto& bridge0 = f.station.ports.gDeviceInfo[0].bridge;
  EXPECT_FALSE(bridge0.fromTable);
  EXPECT_EQ(bridge0.vid, 0x1209);
  EXPECT_EQ(bridge0.pid, 0x0042);

  struct Case {
    const char* table;
    bool fromTable;
    Route route;
    bool supported;
  };
  const Case cases[] = {
      {"[1209:0042]\nRoute = 16\nSense = fixed\n", true, Route::k16Only, true},
      {"[1209:0042:0100]\nRoute = none\n[1209:0042]\nRoute = 16\n", true, Route::kNone, false},
      {"[1209:0042:0200]\nRoute = none\n", false, Route::kBoth, true},
      {"[1209:0042]\nMaxTransfer = 4096\n", true, Route::kBoth, false},
      {"[1209:0042]\nRoute = 14\n", false, Route::kBoth, true},
      {"Route = 16\n", false, Route::kBoth, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    std::ofstream(f.paths.gExeDir + "/bridges.ini", std::ios::binary) << c.table;
    f.sim->ClearTrace();
    ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
    const auto& info = f.station.ports.gDeviceInfo[0];
    EXPECT_EQ(info.bridge.fromTable, c.fromTable);
    EXPECT_EQ(info.bridge.route, c.route);
    EXPECT_EQ(info.bridge.supported, c.supported);
    EXPECT_FALSE(f.station.ports.gDeviceInfo[1].bridge.fromTable) << "another bridge model";
    size_t sent = 0;
    for (const auto& line : f.sim->Trace()) sent += line.drive == "Drive0" ? 1 : 0;
    if (c.fromTable) {
      EXPECT_EQ(sent, c.route == Route::kNone ? 0u : 1u) << "only IDENTIFY, or nothing";
    } else {
      EXPECT_GT(sent, 1u) << "probed";
    }
  }
}

}  // namespace
}  // namespace qelvar::engine
