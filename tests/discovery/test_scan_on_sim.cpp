// The device scan on the simulated station: real topology views, real
// IDENTIFY answers through the transport, drives plugged, pulled and moved.
#include <gtest/gtest.h>

#include "discovery/device_scan.h"
#include "platform/sim/sim_station.h"
#include "platform/sim/station_config.h"

namespace qelvar::discovery {
namespace {

class ScanOnSim : public ::testing::Test {
 protected:
  void Load(std::string_view text) {
    platform::sim::StationConfig config;
    std::string error;
    ASSERT_TRUE(platform::sim::ParseStation(text, ".", &config, &error)) << error;
    sim = std::make_unique<platform::sim::SimStation>(std::move(config), clock);
    transport = std::make_unique<transport::PassThroughTransport>(*sim, clock);
  }
  void Scan() { ScanDevices(ports, list, *sim, *sim, *transport); }
  std::string Cell(int row, int column) const { return list.Cell(row, column); }
  // The row of the drive with this serial number, or -1.
  int RowOf(const std::string& serial) const {
    for (int r = 0; r < kPortRows; ++r) {
      if (Cell(r, kColSerial) == serial) return r;
    }
    return -1;
  }

  platform::VirtualClock clock;
  std::unique_ptr<platform::sim::SimStation> sim;
  std::unique_ptr<transport::PassThroughTransport> transport;
  PortState ports;
  PortListModel list;
};

TEST_F(ScanOnSim, DefaultStationFillsAllSixteenRowsInHubPortOrder) {
  Load(platform::sim::DefaultStationText());
  Scan();
  for (int p = 0; p < 16; ++p) {
    SCOPED_TRACE("port " + std::to_string(p));
    const auto& drive = sim->Config(static_cast<size_t>(p));
    EXPECT_EQ(Cell(p, kColPort), std::to_string(p + 1));
    EXPECT_EQ(Cell(p, kColStatus), "Ready");
    std::string model = drive.model;
    model.resize(40, ' ');  // the IDENTIFY text as stored, trailing blanks kept
    EXPECT_EQ(Cell(p, kColModel), model);
    EXPECT_EQ(Cell(p, kColSerial), drive.serial);
    EXPECT_EQ(Cell(p, kColFwVersion), "SIM00001");
    EXPECT_EQ(Cell(p, kColProgress), "0");
    EXPECT_EQ(ports.gDeviceInfo[static_cast<size_t>(p)].InterfaceType, kSatPath);
    EXPECT_EQ(ports.gPortStatus[static_cast<size_t>(p)].load(), kReady);
    EXPECT_EQ(std::string(ports.gDeviceInfo[static_cast<size_t>(p)].Path), sim->PathOf(static_cast<size_t>(p)));
  }
  EXPECT_EQ(Cell(0, kColCapacity), "128035") << "250,069,680 sectors";
  EXPECT_EQ(Cell(3, kColCapacity), "1000204") << "1,953,525,168 sectors, the 48-bit count";
  EXPECT_EQ(ports.gPortCount, 0) << "sixteen hub ports numbered: the next one takes 0";
  EXPECT_EQ(ports.gPortsAssigned, 16u);
}

constexpr std::string_view kThreeDrives =
    "[Station]\nHubs=1\nHubPorts=8\n"
    "[Drive0]\nHubPort=1\nSerial=FIRST\n"
    "[Drive1]\nHubPort=2\nSerial=SECOND\n"
    "[Drive2]\nHubPort=5\nSerial=SPARE\n";

TEST_F(ScanOnSim, AReplacedDriveKeepsThePortOfItsHubPort) {
  Load(kThreeDrives);
  sim->Unplug(2);
  Scan();
  ASSERT_EQ(RowOf("FIRST               "), 0);
  sim->Unplug(0);
  ASSERT_TRUE(sim->MoveDrive(2, 0, 1));  // the spare goes where the first was
  Scan();
  EXPECT_EQ(RowOf("SPARE               "), 0);
  EXPECT_EQ(RowOf("SECOND              "), 1);
  EXPECT_EQ(ports.gPortCount, 2);
}

TEST_F(ScanOnSim, AMovedDriveTakesTheNewHubPortsNumberAndLeavesItsRowEmpty) {
  Load(kThreeDrives);
  sim->Unplug(2);
  Scan();
  ASSERT_TRUE(sim->MoveDrive(1, 0, 6));
  Scan();
  EXPECT_EQ(RowOf("SECOND              "), 2);
  EXPECT_EQ(Cell(1, kColStatus), "");
  EXPECT_EQ(Cell(1, kColPort), "2");
  EXPECT_EQ(ports.gDeviceInfo[1].InterfaceType, kNoDrive);
  // Moved back, it finds its first number again.
  ASSERT_TRUE(sim->MoveDrive(1, 0, 2));
  Scan();
  EXPECT_EQ(RowOf("SECOND              "), 1);
}

TEST_F(ScanOnSim, TheSeventeenthHubPortTakesNumberZero) {
  std::string text = "[Station]\nHubs=3\nHubPorts=8\n";
  for (int d = 0; d < 17; ++d) text += "[Drive" + std::to_string(d) + "]\n";
  Load(text);
  sim->Unplug(16);
  Scan();
  ASSERT_EQ(ports.gPortsAssigned, 16u);
  sim->Plug(16);
  Scan();
  EXPECT_EQ(Cell(0, kColSerial), sim->Config(16).serial) << "the 17th hub port takes number 0";
  EXPECT_EQ(ports.gPortsAssigned, 17u);
  EXPECT_EQ(ports.gPortCount, 1);
  // Drive0's hub port lost number 0 to it within the same scan, so its row
  // shows drive 16 and drive 0 is not listed.
  EXPECT_EQ(RowOf(sim->Config(0).serial), -1);
}

TEST_F(ScanOnSim, ARemovableDiskConsumesANumberAndStaysUnlisted) {
  Load("[Station]\nHubs=1\n[Drive0]\nRemovable=1\n[Drive1]\nSerial=FIXED\n");
  Scan();
  EXPECT_EQ(Cell(0, kColStatus), "");
  EXPECT_EQ(ports.gDeviceInfo[0].InterfaceType, kNoDrive);
  EXPECT_EQ(RowOf("FIXED               "), 1);
  EXPECT_EQ(ports.gPortCount, 2);
}

TEST_F(ScanOnSim, ADriveThatFailsIdentifyKeepsItsPortWithAnEmptyRow) {
  Load("[Station]\nHubs=1\n[Drive0]\nIdentify=0\n[Drive1]\n");
  Scan();
  EXPECT_EQ(ports.gDeviceInfo[0].InterfaceType, kSatPath) << "still counted as populated";
  EXPECT_STREQ(ports.gDeviceInfo[0].Path, "");
  EXPECT_EQ(Cell(0, kColPort), "1");
  EXPECT_EQ(Cell(0, kColStatus), "");
  EXPECT_EQ(Cell(1, kColStatus), "Ready");
}

}  // namespace
}  // namespace qelvar::discovery
