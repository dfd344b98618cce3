// The post-run format on the simulated VolumeOps: which drives are
// partitioned, which new volumes are formatted with which label, and what the
// operator is told.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "discovery/device_scan.h"
#include "discovery/fake_topology.h"
#include "discovery/port_list.h"
#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/sim/sim_station.h"
#include "platform/sim/sim_volume_ops.h"
#include "support/fake_device_io.h"
#include "transport/pass_through_transport.h"

namespace qelvar::format {
namespace {

using platform::FixedVolume;
using platform::sim::SimVolumeOps;
using settings::MessageIcon;

struct Box {
  std::string text;
  std::string caption;
  MessageIcon icon;
  bool operator==(const Box&) const = default;
};

class RecordingSink final : public settings::MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    boxes.push_back({std::string(text), std::string(caption), icon});
  }
  std::vector<Box> boxes;
};

const Box kFormatParaError{"Format para error!", "", MessageIcon::kNone};

// "volume label" of every format started, in order.
std::vector<std::string> Started(const SimVolumeOps& volumes) {
  std::vector<std::string> out;
  for (const auto& f : volumes.Formats()) out.push_back(f.volume + " " + f.label);
  return out;
}

FixedVolume Volume(const std::string& name, const std::string& disk) {
  return {name, disk, disk + "p1", 0};
}

class FormatDrivesTest : public ::testing::Test {
 protected:
  FormatDrivesTest() { clock.NameThisThread("ui"); }

  // Numbers hub port `hubPort` (1-based) of `hub` as station port `port`.
  void Bind(int port, int hubPort, const std::string& hub = "hub-a") {
    discovery::PortIdentity& e = state.gPortTable[static_cast<size_t>(port)];
    platform::CopyName(e.hubInstanceId, sizeof e.hubInstanceId, hub);
    e.portIndex = static_cast<uint16_t>(hubPort - 1);
    state.gPortsAssigned =
        std::max<uint32_t>(state.gPortsAssigned, static_cast<uint32_t>(port) + 1);
    state.gPortCount = static_cast<uint8_t>(state.gPortsAssigned % discovery::kPortCount);
  }

  // A drive found by the last scan on station port `port`: disk `disk` on
  // hub port `hubPort`, a blank disk for the volume operations.
  void Drive(int port, int hubPort, uint32_t disk) {
    Bind(port, hubPort);
    topology.Plug("hub-a", hubPort, disk);
    discovery::DeviceInfo& info = state.gDeviceInfo[static_cast<size_t>(port)];
    platform::CopyName(info.Path, sizeof info.Path, io.DiskPath(disk));
    info.InterfaceType = discovery::kSatPath;
    volumes.AddDisk(io.DiskPath(disk), 250069680ull * 512);
  }

  int Run() {
    return FormatDrives(state, topology, io, volumes, clock, sink, failed,
                        [&](std::string_view line) { log.emplace_back(line); });
  }

  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  std::array<uint8_t, discovery::kPortCount> Flags(std::initializer_list<int> ports) const {
    std::array<uint8_t, discovery::kPortCount> f{};
    for (int p : ports) f[static_cast<size_t>(p)] = 1;
    return f;
  }

  discovery::PortState state;
  testing::FakeTopology topology;
  testing::FakeDeviceIo io;
  SimVolumeOps volumes;
  platform::VirtualClock clock;
  RecordingSink sink;
  std::array<uint8_t, discovery::kPortCount> failed{};
  std::vector<std::string> log;
};

TEST_F(FormatDrivesTest, EveryPortsNewVolumeIsFormattedWithThePortsLetter) {
  Drive(0, 1, 1);
  Bind(1, 2);  // numbered once, no drive at the last scan
  Drive(2, 3, 3);

  EXPECT_EQ(Run(), 1);

  EXPECT_EQ(failed, Flags({1}));
  EXPECT_TRUE(Logged("CreateFile() Error:2 \r\n"));
  EXPECT_EQ(Started(volumes), (std::vector<std::string>{"fake1p1 UDISK-A", "fake3p1 UDISK-C"}));
  EXPECT_EQ(volumes.Label("fake3p1"), "UDISK-C");
  EXPECT_TRUE(sink.boxes.empty());
  EXPECT_EQ(clock.PausesOf("ui"), (std::vector<uint32_t>{3000, 3000, 5000, 5000}));
}

TEST_F(FormatDrivesTest, NoNewVolumeShowsFormatParaErrorAndFormatsNothing) {
  Drive(0, 1, 1);
  Drive(1, 2, 2);
  volumes.Fail("/dev/fake1", SimVolumeOps::Step::kOpen, 16);
  volumes.Fail("/dev/fake2", SimVolumeOps::Step::kSetLayout, 22);

  EXPECT_EQ(Run(), 2);

  EXPECT_EQ(failed, Flags({0, 1}));
  EXPECT_EQ(sink.boxes, std::vector<Box>{kFormatParaError});
  EXPECT_TRUE(volumes.Formats().empty());
}

TEST_F(FormatDrivesTest, NewVolumeSortingBeforeExistingOnesIsFormatted) {
  volumes.AddVolume(Volume("fake9p1", "/dev/fake9"));
  Drive(0, 1, 1);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(Started(volumes), std::vector<std::string>{"fake1p1 UDISK-A"});
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(FormatDrivesTest, RemovedAndAddedVolumeInOneFormatShowsTheErrorWithoutFormatting) {
  volumes.AddVolume(Volume("fake9p1", "/dev/fake9"));
  volumes.OnList([](SimVolumeOps& v, int listing) {
    if (listing == 2) v.RemoveVolume("fake9p1");
  });
  Drive(0, 1, 1);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(sink.boxes, std::vector<Box>{kFormatParaError});
  EXPECT_TRUE(volumes.Formats().empty());
}

TEST_F(FormatDrivesTest, NewVolumeOnADiskThatIsNoPortIsLeftAlone) {
  // The operator plugs in a disk of their own while the format runs.
  volumes.OnList([](SimVolumeOps& v, int listing) {
    if (listing == 2) v.AddVolume(Volume("fake7p1", "/dev/fake7"));
  });
  Drive(0, 1, 1);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(Started(volumes), std::vector<std::string>{"fake1p1 UDISK-A"});
  EXPECT_TRUE(
      Logged("New volume fake7p1 on /dev/fake7 is not on a drive just partitioned; "
             "left alone\r\n"));
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(FormatDrivesTest, OnlyVolumesOfDisksJustPartitionedAreFormatted) {
  // Port 0's table was written but the second re-read failed; its volume
  // shows up later anyway, together with a stranger's volume. Neither comes
  // from a drive this format partitioned.
  Drive(0, 1, 1);
  volumes.Fail("/dev/fake1", SimVolumeOps::Step::kUpdateProperties, 5, 2);
  volumes.OnList([](SimVolumeOps& v, int listing) {
    if (listing != 2) return;
    v.AddVolume(Volume("fake1p1", "/dev/fake1"));
    v.AddVolume(Volume("fake7p1", "/dev/fake7"));
  });

  EXPECT_EQ(Run(), 1);

  EXPECT_EQ(failed, Flags({0}));
  EXPECT_TRUE(volumes.Formats().empty());
  EXPECT_EQ(sink.boxes, std::vector<Box>{kFormatParaError});
}

TEST_F(FormatDrivesTest, EachPortsDiskIsFoundAgainFromItsHubPort) {
  Drive(0, 1, 1);
  Drive(1, 2, 2);
  Drive(2, 3, 3);
  Drive(3, 4, 4);
  // After the drives rebooted: ports 0 and 1 came back under each other's
  // names; port 2's hub port is empty and its old name went to a disk on a
  // hub port the station never numbered; port 3 holds a card reader now.
  topology.UnplugAll();
  topology.Plug("hub-a", 1, 2);
  topology.Plug("hub-a", 2, 1);
  topology.Plug("hub-b", 1, 3);
  topology.Plug("hub-a", 4, 4);
  io.SetStorageDescriptor("/dev/fake4", {platform::BusType::Usb, true});

  EXPECT_EQ(Run(), 2);

  EXPECT_EQ(Started(volumes), (std::vector<std::string>{"fake1p1 UDISK-B", "fake2p1 UDISK-A"}));
  EXPECT_FALSE(volumes.Layout("/dev/fake3")) << "a disk on no station port was partitioned";
  EXPECT_FALSE(volumes.Layout("/dev/fake4")) << "a removable disk was partitioned";
  EXPECT_EQ(failed, Flags({2, 3}));
  EXPECT_TRUE(Logged("Port 0: /dev/fake1 is now /dev/fake2\r\n"));
  EXPECT_TRUE(Logged("Port 2: its hub port holds no fixed USB disk now; not partitioned\r\n"));
}

TEST_F(FormatDrivesTest, FormatFailuresReachTheOperator) {
  Drive(0, 1, 1);
  Drive(1, 2, 2);
  volumes.FailFormatStart("fake1p1", "cannot start mkntfs: No such file or directory");
  volumes.FailFormat("fake2p1", "mkntfs ended with exit status 1");

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(sink.boxes,
            (std::vector<Box>{
                {"Format of fake1p1 as UDISK-A failed: cannot start mkntfs: No such file or "
                 "directory",
                 "Format Fail", MessageIcon::kWarning},
                {"Format of fake2p1 as UDISK-B failed: mkntfs ended with exit status 1",
                 "Format Fail", MessageIcon::kWarning}}));
  // No wait for a format that never started.
  EXPECT_EQ(clock.PausesOf("ui"), (std::vector<uint32_t>{3000, 3000, 5000}));
}

TEST_F(FormatDrivesTest, FormatStillRunningAtTheEndIsReportedWhenItEnds) {
  Drive(0, 1, 1);
  volumes.SetFormatPolls(4);
  volumes.FailFormat("fake1p1", "mkntfs was ended by signal 9");

  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(sink.boxes.empty());
  EXPECT_EQ(volumes.FormatsRunning(), 1u);

  EXPECT_EQ(WaitForFormats(volumes, clock, sink, 10000), 0u);
  EXPECT_EQ(sink.boxes, (std::vector<Box>{{"Format of fake1p1 as UDISK-A failed: mkntfs was ended "
                                           "by signal 9",
                                           "Format Fail", MessageIcon::kWarning}}));
}

// Sixteen drives numbered in one scan bring the next number back to 0; every
// one of them is still partitioned and formatted.
TEST(FormatDrivesOnTheSimulatedStation, AllSixteenPortsAreFormattedThoughTheCountWrapped) {
  platform::VirtualClock clock;
  auto station = platform::sim::SimStation::Default(clock);
  ASSERT_TRUE(station);
  discovery::PortState state;
  discovery::PortListModel list;
  transport::PassThroughTransport transport(*station, clock);
  discovery::ScanDevices(state, list, *station, *station, transport);
  ASSERT_EQ(state.gPortCount, 0);
  ASSERT_EQ(state.gPortsAssigned, 16u);

  SimVolumeOps volumes(*station);
  RecordingSink sink;
  std::array<uint8_t, discovery::kPortCount> failed{};
  EXPECT_EQ(FormatDrives(state, *station, *station, volumes, clock, sink, failed), 0);

  std::vector<SimVolumeOps::StartedFormat> formats = volumes.Formats();
  ASSERT_EQ(formats.size(), 16u);
  for (size_t port = 0; port < 16; ++port) {
    std::string disk = state.gDeviceInfo[port].Path;
    auto f = std::find_if(formats.begin(), formats.end(),
                          [&](const auto& s) { return s.path == disk + "p1"; });
    ASSERT_NE(f, formats.end()) << "port " << port;
    EXPECT_EQ(f->label, std::string("UDISK-") + static_cast<char>('A' + port)) << "port " << port;
  }
  EXPECT_TRUE(sink.boxes.empty());
}

}  // namespace
}  // namespace qelvar::format
