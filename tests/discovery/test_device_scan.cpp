#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "discovery/device_scan.h"
#include "discovery/fake_topology.h"
#include "support/fake_device_io.h"

namespace qelvar::discovery {
namespace {

using testing::Bytes;
using testing::FakeAnswer;
using testing::FakeRequest;

// A drive's raw IDENTIFY answer as it comes off the wire: every text field
// with the two bytes of each word in wire order (so "EQVL" reads "QELV").
struct RawIdentify {
  std::string serial;                    // words 10-19, 20 bytes
  std::string firmware;                  // words 23-26, 8 bytes
  std::string model;                     // words 27-46, 40 bytes
  std::vector<uint8_t> words60to61;      // 4 bytes
  std::vector<uint8_t> words100to103{};  // 8 bytes

  std::vector<uint8_t> Bytes512() const {
    std::vector<uint8_t> out(512, 0);
    std::copy(serial.begin(), serial.end(), out.begin() + 20);
    std::copy(firmware.begin(), firmware.end(), out.begin() + 46);
    std::copy(model.begin(), model.end(), out.begin() + 54);
    std::copy(words60to61.begin(), words60to61.end(), out.begin() + 120);
    std::copy(words100to103.begin(), words100to103.end(), out.begin() + 200);
    return out;
  }
};

// 250,069,680 sectors.
const RawIdentify kDriveA{"NS1032547698BADCFEHG", "1V0.0A10",
                          "EQVLRAS DS1 82BG" + std::string(24, ' '), Bytes("B0 C2 E7 0E")};
// 28-bit count 0FFFFFFFh, 48-bit count 1,953,525,168.
// Its model text is shorter than 40 characters and ends with zero bytes.
const RawIdentify kDriveB{"        SQ0010325476", "LQ10    ", "EQVLRAS DS1 BT",
                          Bytes("FF FF FF 0F"), Bytes("B0 6D 70 74 00 00 00 00")};
const RawIdentify kDriveC{"ZZ8967452301ZZ000010", "2V0.0000", "EQVLRA", Bytes("00 00 01 00")};

class DeviceScan : public ::testing::Test {
 protected:
  void SetUp() override {
    io.SetScript([this](const FakeRequest& r) {
      FakeAnswer a;
      auto it = answers.find(r.path);
      if (it == answers.end() || r.cdb != kIdentifyCdb) {
        a.completed = false;
        a.errorCode = 5;
        return a;
      }
      a.dataIn = it->second;
      return a;
    });
  }

  void Scan() { ScanDevices(state, list, topology, io, transport, trace); }
  void Answer(uint32_t disk, const RawIdentify& id) { answers[io.DiskPath(disk)] = id.Bytes512(); }

  std::vector<std::string> Row(int port) const {
    std::vector<std::string> row;
    for (int c = 0; c < kPortColumns; ++c) row.push_back(list.Cell(port, c));
    return row;
  }
  static std::vector<std::string> EmptyRow(int port) {
    std::vector<std::string> row(kPortColumns);
    row[0] = std::to_string(port + 1);
    return row;
  }
  const DeviceInfo& Info(int port) const { return state.gDeviceInfo[static_cast<size_t>(port)]; }

  const std::vector<uint8_t> kIdentifyCdb = Bytes("A1 08 0B 00 01 00 00 00 E0 EC 00 00");
  platform::VirtualClock clock;
  testing::FakeDeviceIo io{&clock};
  transport::PassThroughTransport transport{io, clock};
  testing::FakeTopology topology;
  PortState state;
  PortListModel list;
  std::map<std::string, std::vector<uint8_t>> answers;
  std::vector<std::string> traced;
  DebugTrace trace = [this](std::string_view line) { traced.emplace_back(line); };
};

TEST_F(DeviceScan, ReadsIdentifyOverSatAndListsEachDriveWithItsTexts) {
  topology.Plug("hub", 2, 3);
  topology.Plug("hub", 5, 0);
  Answer(3, kDriveA);
  Answer(0, kDriveB);
  Scan();

  // The model keeps its 24 trailing blanks.
  EXPECT_EQ(Row(0),
            (std::vector<std::string>{"1", "Ready", "QELVAR SSD 128GB" + std::string(24, ' '),
                                      "128035", "SN0123456789ABCDEFGH", "V1.0A001", "0", "", ""}));
  EXPECT_EQ(Row(1), (std::vector<std::string>{"2", "Ready", "QELVAR SSD 1TB", "1000204",
                                              "        QS0001234567", "QL01    ", "0", "", ""}));
  for (int p = 2; p < 16; ++p) EXPECT_EQ(Row(p), EmptyRow(p)) << p;

  EXPECT_EQ(std::string(Info(0).Path), "/dev/fake3");
  EXPECT_EQ(Info(0).InterfaceType, 1);
  EXPECT_EQ(std::string(Info(0).SerialNumber, 21), std::string("SN0123456789ABCDEFGH\0", 21));
  // The stored IDENTIFY has its word bytes exchanged: words 60-61 read in
  // order, word 0 as on the wire.
  EXPECT_EQ(std::vector<uint8_t>(Info(0).Identify + 120, Info(0).Identify + 124),
            Bytes("C2 B0 0E E7"));
  EXPECT_EQ(state.gPortStatus[0].load(), kReady);
  EXPECT_EQ(state.gPortStatus[1].load(), kReady);
  EXPECT_EQ(state.gPortCount, 2);
  // The bridge probe comes first; IDENTIFY (12) is its first command, and
  // the only one whose answer fills the row.
  std::vector<testing::FakeRequest> requests;
  for (const auto& r : io.Requests()) {
    if (r.cdb == kIdentifyCdb) requests.push_back(r);
  }
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(io.Requests()[0].cdb, kIdentifyCdb);
  EXPECT_EQ(requests[0].path, "/dev/fake3");
  EXPECT_EQ(requests[0].cdb, kIdentifyCdb);
  EXPECT_EQ(requests[0].direction, platform::DataDirection::In);
  EXPECT_EQ(requests[0].length, 512u);
  EXPECT_EQ(io.OpenHandles(), 0u);
  EXPECT_EQ(traced, (std::vector<std::string>{
                        "pas08DevicePath[0] = /dev/fake3 gDeviceInfo[0].Path = /dev/fake3\r\n",
                        "pas08DevicePath[1] = /dev/fake0 gDeviceInfo[1].Path = /dev/fake0\r\n"}));
}

TEST_F(DeviceScan, PortNumbersFollowHubPortsNotDrives) {
  topology.Plug("hub", 2, 0);  // hub port A
  topology.Plug("hub", 5, 1);  // hub port B
  Answer(0, kDriveA);
  Answer(1, kDriveB);
  Scan();
  EXPECT_EQ(list.Cell(0, kColSerial), "SN0123456789ABCDEFGH");
  EXPECT_EQ(list.Cell(1, kColSerial), "        QS0001234567");

  // Another drive, with another disk number, on hub port A: still port 0.
  topology.UnplugAll();
  topology.Plug("hub", 5, 1);
  topology.Plug("hub", 2, 4);
  Answer(4, kDriveC);
  Scan();
  EXPECT_EQ(list.Cell(0, kColSerial), "ZZ9876543210ZZ000001");
  EXPECT_EQ(std::string(Info(0).Path), "/dev/fake4");
  EXPECT_EQ(list.Cell(1, kColSerial), "        QS0001234567");
  EXPECT_EQ(state.gPortCount, 2);

  // That drive moved to an unseen hub port: it takes port 2, port 0 empties.
  topology.UnplugAll();
  topology.Plug("hub", 5, 1);
  topology.Plug("other-hub", 2, 4);
  Scan();
  EXPECT_EQ(Row(0), EmptyRow(0));
  EXPECT_EQ(Info(0).InterfaceType, 0);
  EXPECT_EQ(list.Cell(2, kColSerial), "ZZ9876543210ZZ000001");
  EXPECT_EQ(state.gPortCount, 3);
  EXPECT_EQ(state.gPortsAssigned, 3u);
}

TEST_F(DeviceScan, SeventeenthHubPortTakesPortZeroAndTheOldOneANewNumber) {
  Answer(0, kDriveA);
  for (int hubPort = 1; hubPort <= 16; ++hubPort) {
    topology.UnplugAll();
    topology.Plug("hub", hubPort, 0, 24);
    Scan();
    EXPECT_EQ(list.Cell(hubPort - 1, kColStatus), "Ready") << hubPort;
  }
  EXPECT_EQ(state.gPortCount, 0);

  topology.UnplugAll();
  topology.Plug("hub", 17, 0, 24);
  Scan();
  EXPECT_EQ(list.Cell(0, kColStatus), "Ready");
  EXPECT_EQ(std::string(state.gPortTable[0].hubInstanceId), "hub");
  EXPECT_EQ(state.gPortTable[0].portIndex, 16);

  // Hub port 1 lost its number to hub port 17 and gets the next one.
  topology.UnplugAll();
  topology.Plug("hub", 1, 0, 24);
  Scan();
  EXPECT_EQ(list.Cell(1, kColStatus), "Ready");
  EXPECT_EQ(Row(0), EmptyRow(0));
  EXPECT_EQ(state.gPortCount, 2);
  EXPECT_EQ(state.gPortsAssigned, 18u);
}

TEST_F(DeviceScan, DiskFailingTheFixedUsbCheckConsumesItsNumberAndStaysUnlisted) {
  io.SetStorageDescriptor("/dev/fake1", {platform::BusType::Usb, true});          // removable
  io.SetStorageDescriptor("/dev/fake2", {platform::BusType::Sata, false});        // not on USB
  io.SetStorageDescriptor("/dev/fake3", {platform::BusType::Usb, false}, false);  // no answer
  io.FailOpen("/dev/fake4");
  for (uint32_t d = 1; d <= 5; ++d) {
    topology.Plug("hub", static_cast<int>(d), d);
    Answer(d, kDriveA);
  }
  Scan();
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(Info(p).InterfaceType, 0) << p;
    EXPECT_EQ(Row(p), EmptyRow(p)) << p;
  }
  EXPECT_EQ(list.Cell(4, kColStatus), "Ready");
  EXPECT_EQ(state.gPortCount, 5);
  // The probe and IDENTIFY went to the fixed USB disk only.
  auto requests = io.Requests();
  ASSERT_FALSE(requests.empty());
  for (const auto& r : requests) EXPECT_EQ(r.path, "/dev/fake5");
}

TEST_F(DeviceScan, DriveFailingIdentifyKeepsSatPathWithAnEmptyRow) {
  topology.Plug("hub", 1, 7);  // no answer scripted: the request fails
  state.gPortStatus[0].store(kFailed);
  Scan();
  EXPECT_EQ(Info(0).InterfaceType, 1);
  EXPECT_EQ(std::string(Info(0).Path), "");
  EXPECT_EQ(Row(0), EmptyRow(0));
  EXPECT_EQ(state.gPortStatus[0].load(), kFailed);
  EXPECT_TRUE(traced.empty());
}

TEST_F(DeviceScan, OnlyBytesThePlatformReportsMovedAreShown) {
  topology.Plug("hub", 1, 0);
  // The bridge rejected IDENTIFY: the request completed with nothing moved,
  // but the buffer came back holding a previous drive's bytes.
  FakeAnswer stale;
  stale.transferred = 0;
  stale.dataIn = kDriveA.Bytes512();
  io.Enqueue(stale);
  Scan();
  EXPECT_EQ(Row(0), (std::vector<std::string>{"1", "Ready", "", "0", "", "", "0", "", ""}));
  EXPECT_EQ(std::string(Info(0).SerialNumber), "");
}

TEST_F(DeviceScan, ScanWithoutCandidatesLeavesSixteenEmptyNumberedRows) {
  topology.Plug("hub", 1, 0);
  Answer(0, kDriveA);
  Scan();
  list.SetCell(3, kColRdtResult, "RDT Pass");
  state.gDeviceInfo[0].done.store(1);
  state.gDeviceInfo[0].badBlockCount = 12;

  topology.UnplugAll();
  Scan();
  for (int p = 0; p < 16; ++p) {
    EXPECT_EQ(Row(p), EmptyRow(p)) << p;
    EXPECT_EQ(Info(p).InterfaceType, 0) << p;
  }
  EXPECT_EQ(Info(0).done.load(), 0);
  EXPECT_EQ(Info(0).badBlockCount, 0);
  EXPECT_EQ(std::string(Info(0).Path), "");
  EXPECT_EQ(state.gPortCount, 1);  // the port table is never forgotten
}

TEST_F(DeviceScan, UnboundPortTableEntriesNeverMatch) {
  // A backend that names a hub with an empty ID: its port 1 looks exactly like
  // a never-bound table entry and must still get a number of its own.
  topology.Plug("", 1, 0);
  topology.Plug("hub", 1, 1);
  Answer(0, kDriveA);
  Answer(1, kDriveC);
  Scan();
  EXPECT_EQ(list.Cell(0, kColSerial), "SN0123456789ABCDEFGH");
  EXPECT_EQ(list.Cell(1, kColSerial), "ZZ9876543210ZZ000001");
  EXPECT_EQ(state.gPortCount, 2);
}

TEST_F(DeviceScan, NumberWrappingWithinOneScanDropsTheEarlierDrivesTexts) {
  for (int port = 1; port <= 17; ++port) topology.Plug("hub", port, uint32_t(port), 24);
  for (uint32_t d = 1; d <= 16; ++d) Answer(d, kDriveA);  // disk 17 fails IDENTIFY
  Scan();
  EXPECT_EQ(state.gPortTable[0].portIndex, 16);
  EXPECT_EQ(Row(0), EmptyRow(0));
  EXPECT_EQ(std::string(Info(0).Path), "");
  EXPECT_EQ(Info(0).InterfaceType, 1);
  EXPECT_EQ(list.Cell(15, kColStatus), "Ready");
}

TEST_F(DeviceScan, ScanIsRefusedWhilePortRuns) {
  topology.Plug("hub", 1, 0);
  Answer(0, kDriveA);
  Scan();
  io.Clear();
  topology.UnplugAll();
  state.gPortStatus[0].store(kRunning);
  EXPECT_TRUE(AnyWorkerRunning(state));
  EXPECT_EQ(OnDeviceScan(state, list, topology, io, transport), ScanOutcome::kRefusedWorkerRunning);
  EXPECT_EQ(list.Cell(0, kColStatus), "Ready");
  EXPECT_EQ(std::string(Info(0).Path), "/dev/fake0");
  EXPECT_EQ(io.OpenCount(), 0u);

  state.gPortStatus[0].store(kPassed);
  EXPECT_FALSE(AnyWorkerRunning(state));
  EXPECT_EQ(OnDeviceScan(state, list, topology, io, transport), ScanOutcome::kScanned);
  EXPECT_EQ(Row(0), EmptyRow(0));
}

TEST(CapacityMbFromIdentify, ConvertsSectorsToDecimalMegabytes) {
  struct Case {
    const char* words60to61;  // as stored: word bytes exchanged
    const char* words100to103;
    uint64_t mb;
  };
  const Case cases[] = {
      {"C2 B0 0E E7", "00 00 00 00 00 00 00 00", 128035},
      {"FF FF 0F FF", "6D B0 74 70 00 00 00 00", 1000204},
      {"FF FE 0F FF", "6D B0 74 70 00 00 00 00", 137438},  // not the 48-bit marker
      {"FF FF 0F FF", "FF FF FF FF 00 00 00 00", 2199023},
      {"FF FF 0F FF", "00 00 00 00 00 00 00 01", 144115188075},
      {"00 00 00 00", "6D B0 74 70 00 00 00 00", 0},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 512> id{};
    auto low = Bytes(c.words60to61);
    auto high = Bytes(c.words100to103);
    std::copy(low.begin(), low.end(), id.begin() + 120);
    std::copy(high.begin(), high.end(), id.begin() + 200);
    EXPECT_EQ(CapacityMbFromIdentify(id), c.mb) << c.words60to61 << " / " << c.words100to103;
  }
}

}  // namespace
}  // namespace qelvar::discovery
