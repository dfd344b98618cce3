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

// A table's time-outs: whole seconds from 1 to 3600, or nothing of the table
// is used; an entry written from them reads back the same.
TEST(Bridges, TheTablesTimeoutsAreBoundedAndRoundTrip) {
  struct Case {
    const char* table;
    const char* error;  // empty: the table parses
    uint32_t in, out;
  };
  const Case cases[] = {
      {"[1209:0042]\nTimeoutIn = 600\nTimeoutOut = 900\n", "", 600, 900},
      {"[1209:0042]\ntimeoutin = 1\nTIMEOUTOUT = 3600\n", "", 1, 3600},
      {"[1209:0042]\nRoute = 16\n", "", 0, 0},
      {"[1209:0042]\nRoute = 16\nTimeoutOut = 0\n",
       "line 3: TimeoutOut is a number of seconds from 1 to 3600", 0, 0},
      {"[1209:0042]\nTimeoutIn = 3601\n", "line 2: TimeoutIn is a number", 0, 0},
      {"[1209:0042]\nTimeoutIn = ten\n", "line 2: TimeoutIn is a number", 0, 0},
      {"[1209:0042]\nTimeoutIn = 60 s\n", "line 2: TimeoutIn is a number", 0, 0},
      {"[1209:0042]\nTimeoutIn = -5\n", "line 2: TimeoutIn is a number", 0, 0},
      {"[1209:0042]\nTimeoutOut =\n", "line 2: TimeoutOut is a number", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    discovery::BridgeTable table;
    table.entries.resize(1);
    std::string error;
    const bool parsed = discovery::ParseBridgeTable(c.table, &table, &error);
    EXPECT_EQ(parsed, c.error[0] == '\0');
    if (!parsed) {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
      EXPECT_EQ(table.entries.size(), 1u) << "the old table stays";
      continue;
    }
    ASSERT_EQ(table.entries.size(), 1u);
    EXPECT_EQ(table.entries[0].timeouts.dataIn, c.in);
    EXPECT_EQ(table.entries[0].timeouts.dataOut, c.out);

    discovery::BridgeInfo bridge;
    bridge.vid = 0x1209;
    bridge.pid = 0x0042;
    bridge.timeouts = table.entries[0].timeouts;
    const std::string written = discovery::FormatBridgeEntry(bridge);
    EXPECT_EQ(written.find("Timeout") != std::string::npos, c.in != 0 || c.out != 0) << written;
    discovery::BridgeTable again;
    ASSERT_TRUE(discovery::ParseBridgeTable(written, &again, &error)) << error;
    ASSERT_EQ(again.entries.size(), 1u);
    EXPECT_EQ(again.entries[0].timeouts.dataIn, c.in);
    EXPECT_EQ(again.entries[0].timeouts.dataOut, c.out);
  }
}

// Drives 0 and 1 sit behind slow bridges and insist on longer time-outs than
// the station's own. The table names drive 0's bridge model with them: they
// reach every command, the probe's IDENTIFY included, and the drive passes.
// Drive 1's bridge model is not in the table: its commands go with the
// station's time-outs, which it refuses.
TEST(Bridges, TheTablesTimeoutsReachEveryCommandOfItsBridge) {
  RunFixture f(StationText({{0, "UsbProductId = 0x0042"},
                            {0, "TimeoutIn = 600"},
                            {0, "TimeoutOut = 900"},
                            {1, "UsbProductId = 0x0043"},
                            {1, "TimeoutIn = 600"},
                            {1, "TimeoutOut = 900"}}));
  std::ofstream(f.paths.gExeDir + "/bridges.ini", std::ios::binary)
      << "[1209:0042]\nTimeoutIn = 600\nTimeoutOut = 900\n";
  f.sim->ClearTrace();
  ASSERT_EQ(f.control->Scan(), discovery::ScanOutcome::kScanned);
  const auto& bridge0 = f.station.ports.gDeviceInfo[0].bridge;
  EXPECT_TRUE(bridge0.fromTable);
  EXPECT_EQ(bridge0.timeouts.dataIn, 600u);
  EXPECT_EQ(bridge0.timeouts.dataOut, 900u);
  EXPECT_EQ(f.station.ports.gDeviceInfo[1].bridge.timeouts.dataIn, 0u);

  ASSERT_EQ(f.Run(f.Controls("QV00000000FF")), StartOutcome::kStarted);
  EXPECT_EQ(f.Cell(0, kColStatus), "Pass");
  EXPECT_NE(f.Cell(1, kColStatus), "Pass");
  EXPECT_TRUE(f.sim->Inspect(0).rebooted);
  EXPECT_EQ(f.sim->Inspect(1).mode, platform::sim::DriveMode::Normal);
  size_t sent1 = 0;
  for (const auto& line : f.sim->Trace()) {
    if (line.drive != "Drive0" && line.drive != "Drive1") continue;
    EXPECT_EQ(line.accepted, line.drive == "Drive0") << line.drive << " " << line.Json();
    sent1 += line.drive == "Drive1" ? 1 : 0;
  }
  EXPECT_GT(sent1, 0u);
}

}  // namespace
}  // namespace qelvar::engine
