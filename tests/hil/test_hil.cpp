// What qelvar-cli saw of the station inside the QEMU guest (testbed.sh left
// it in QELVAR_HIL_OUT): the real kernel's USB and SCSI stack, real SG_IO,
// real hot plug.
//
// The guest's station: an external hub on root port 1 with disks on its
// ports 2, 5 (removable medium) and 7 and a second hub on its port 8 with a
// disk on port 3, a disk on root port 2, a uas disk on root port 3, and a
// SATA disk on the AHCI controller. The disks on root ports come up at
// SuperSpeed, on the controller's second bus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qelvar {
namespace {

namespace fs = std::filesystem;

const fs::path kOut = QELVAR_HIL_OUT;
// The hub instance ID of the xHCI controller's USB 2 root hub; the hubs below
// it add their port chain ("-0:1", "-0:1.8").
const std::string kUsb1 = "/sys/devices/pci0000:00/0000:00:05.0-usbv2";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// One table as qelvar-cli prints it with --json: the Status of every row and
// the hub port behind every port number handed out.
struct Table {
  std::map<int, std::string> status;
  std::vector<std::pair<std::string, int>> hubPorts;  // port number n at index n
};

Table ParseTable(const std::string& json) {
  Table t;
  static const std::regex row(R"re(\{"port":(\d+),"status":"([^"]*)")re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), row); it != std::sregex_iterator();
       ++it) {
    t.status[std::stoi((*it)[1]) - 1] = (*it)[2];  // the JSON counts ports from 1
  }
  static const std::regex hub(R"re(\{"port":(\d+),"hub":"([^"]*)","index":(\d+)\})re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), hub); it != std::sregex_iterator();
       ++it) {
    t.hubPorts.emplace_back((*it)[2], std::stoi((*it)[3]));
  }
  return t;
}

std::string Field(const std::string& line, const std::string& key) {
  std::smatch m;
  std::regex re("\"" + key + "\":(\"([^\"]*)\"|(-?\\d+))");
  if (!std::regex_search(line, m, re)) return "<missing>";
  return m[2].matched ? m[2].str() : m[3].str();
}

class Testbed : public ::testing::Test {
 protected:
  void SetUp() override {
    if (fs::exists(kOut / "skipped")) {
      std::string why = ReadFile(kOut / "skipped");
      const char* ci = std::getenv("QELVAR_CI");
      if (ci != nullptr && std::string(ci) == "1")
        FAIL() << "the test bed was skipped in CI: " << why;
      GTEST_SKIP() << "the QEMU test bed did not run: " << why;
    }
    ASSERT_TRUE(fs::exists(kOut / "boot2-scan.json"))
        << "no output of the QEMU test bed in " << kOut << ": see the hil_testbed test's log";
  }
};

// Hub port of each port number, in the order the station hands them out.
const std::vector<std::pair<std::string, int>> kExpectedHubPorts = {
    {kUsb1 + "-0:1", 1},    // external hub, port 2
    {kUsb1 + "-0:1", 4},    // external hub, port 5: removable medium
    {kUsb1 + "-0:1", 6},    // external hub, port 7
    {kUsb1 + "-0:1.8", 2},  // nested hub, port 3
    {kUsb1, 1},             // root port 2
    {kUsb1, 2},             // root port 3: the uas disk
};

TEST_F(Testbed, UsbDisksTakePortNumbersInHubPortOrder) {
  Table t = ParseTable(ReadFile(kOut / "boot1-scan.json"));
  EXPECT_EQ(t.hubPorts, kExpectedHubPorts);
  ASSERT_EQ(t.status.size(), 16u);
  // QEMU's usb-storage refuses every ATA PASS-THROUGH: the scan's probe
  // finds a bridge with no route, listed but never started.
  for (int port : {0, 2, 3, 4, 5}) {
    EXPECT_EQ(t.status[port], "Unsupported bridge") << "port " << port;
  }
  // The removable disk consumed port 1 and is not listed; no more disks.
  for (int port = 6; port < 16; ++port) EXPECT_EQ(t.status[port], "") << "port " << port;
  EXPECT_EQ(t.status[1], "");
}

TEST_F(Testbed, TwoBootsGiveTheSameHubPortsAndRows) {
  Table first = ParseTable(ReadFile(kOut / "boot1-scan.json"));
  Table second = ParseTable(ReadFile(kOut / "boot2-scan.json"));
  ASSERT_FALSE(first.hubPorts.empty());
  EXPECT_EQ(second.hubPorts, first.hubPorts);
  EXPECT_EQ(second.status, first.status);
}

TEST_F(Testbed, SuperSpeedDisksCountOnTheUsb2SideOfTheirRootPort) {
  // The kernel put the root-port disks on the SuperSpeed bus (usb2) ...
  std::string block = ReadFile(kOut / "boot1-block.txt");
  EXPECT_NE(block.find("/0000:00:05.0/usb2/2-2/2-2:1.0/"), std::string::npos) << block;
  EXPECT_NE(block.find("/0000:00:05.0/usb2/2-3/2-3:1.0/"), std::string::npos) << block;
  // ... and the station counts them on usb1's ports 2 and 3.
  Table t = ParseTable(ReadFile(kOut / "boot1-scan.json"));
  ASSERT_EQ(t.hubPorts.size(), 6u);
  EXPECT_EQ(t.hubPorts[4], (std::pair<std::string, int>{kUsb1, 1}));
  EXPECT_EQ(t.hubPorts[5], (std::pair<std::string, int>{kUsb1, 2}));
}

TEST_F(Testbed, DrivesRejectAtaPassThroughWhichTheSatPathDelivers) {
  // The SATA disk is the one under the AHCI controller's ata1.
  std::string block = ReadFile(kOut / "boot1-block.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(block, m, std::regex(R"re((sd[a-z]+) -> [^\n]*/ata1/)re")))
      << block;
  const std::string sata = "/dev/" + m[1].str();

  std::vector<std::string> lines = Lines(kOut / "boot1-diag.jsonl");
  // The probe of each of the five fixed USB disks: IDENTIFY in both forms of
  // ATA PASS-THROUGH, then INQUIRY's vital product data pages; nothing for
  // the removable disk nor the SATA disk.
  ASSERT_EQ(lines.size(), 5u * 4) << ReadFile(kOut / "boot1-diag.jsonl");
  std::set<std::string> probed;
  int passThroughs = 0;
  for (const std::string& line : lines) {
    EXPECT_NE(Field(line, "path"), sata) << line;
    EXPECT_EQ(Field(line, "route"), "probe") << line;
    probed.insert(Field(line, "path"));
    const std::string cdb = Field(line, "cdb");
    if (cdb.rfind("12 01 ", 0) == 0) {  // INQUIRY, EVPD: answered
      EXPECT_EQ(Field(line, "status"), "0") << line;
      continue;
    }
    ++passThroughs;
    EXPECT_TRUE(cdb == "a1 08 0b 00 01 00 00 00 e0 ec 00 00" ||
                cdb == "85 08 0e 00 00 00 01 00 00 00 00 00 00 e0 ec 00")
        << line;
    EXPECT_EQ(Field(line, "result"), "1") << line;
    EXPECT_EQ(Field(line, "status"), "2") << line;  // CHECK CONDITION
    EXPECT_EQ(Field(line, "transferred"), "0") << line;
    // Fixed-format sense, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
    std::string sense = Field(line, "sense");
    EXPECT_EQ(sense.substr(0, 8), "70 00 05") << line;
    EXPECT_EQ(sense.substr(36, 5), "20 00") << line;
  }
  EXPECT_EQ(probed.size(), 5u);
  EXPECT_EQ(passThroughs, 10);
}

TEST_F(Testbed, IdentifyOverTheAtaRouteReadsTheSataDisksModelAndSerial) {
  for (const char* boot : {"boot1", "boot2"}) {
    SCOPED_TRACE(boot);
    // sd names change between boots: the SATA disk is the one under ata1.
    std::string block = ReadFile(kOut / (std::string(boot) + "-block.txt"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(block, m, std::regex(R"re((sd[a-z]+) -> [^\n]*/ata1/)re")))
        << block;
    const std::string sata = "/dev/" + m[1].str();
    std::string markers = ReadFile(kOut / (std::string(boot) + "-markers.txt"));
    EXPECT_NE(markers.find("@@HIL ata-identify-rc 0"), std::string::npos) << markers;
    std::vector<std::string> lines = Lines(kOut / (std::string(boot) + "-ata-identify.json"));
    ASSERT_EQ(lines.size(), 2u) << ReadFile(kOut /
                                            (std::string(boot) + "-ata-identify-stderr.txt"));

    const std::string& identify = lines[0];
    EXPECT_EQ(Field(identify, "command"), "identify");
    EXPECT_EQ(Field(identify, "path"), sata) << identify;
    EXPECT_EQ(Field(identify, "result"), "1") << identify;
    // What QEMU's ide-hd puts in its IDENTIFY data.
    EXPECT_EQ(Field(identify, "model"), "QEMU HARDDISK") << identify;
    EXPECT_EQ(Field(identify, "serial"), "HIL0007") << identify;
    // The 28-bit task file went out as previous (zero) then current. A PIO
    // data-in asks for no registers: libata answers GOOD, without sense.
    EXPECT_EQ(Field(identify, "taskfile"), "00 00 00 00 00 00 00 00 00 01 00 00 00 e0 ec 00")
        << identify;
    EXPECT_EQ(Field(identify, "status"), "0") << identify;
    EXPECT_EQ(Field(identify, "sense"), "") << identify;
    EXPECT_EQ(Field(identify, "resid"), "0") << identify;

    // A non-data command gets the drive's registers back in descriptor sense
    // (ATA PASS-THROUGH INFORMATION AVAILABLE): status DRDY, no ERR, and the
    // power mode in the count register (FFh: active or idle).
    const std::string& power = lines[1];
    EXPECT_EQ(Field(power, "command"), "check-power-mode");
    EXPECT_EQ(Field(power, "result"), "1") << power;
    EXPECT_EQ(Field(power, "sense").substr(0, 11), "72 01 00 1d") << power;
    std::string registers = Field(power, "registers");
    ASSERT_EQ(registers.size(), 23u) << power;
    EXPECT_EQ(registers.substr(3, 2), "ff") << power;
    const int status = std::stoi(registers.substr(18, 2), nullptr, 16);
    EXPECT_EQ(status & 0x41, 0x40) << power;
  }
}

TEST_F(Testbed, HotPlugFillsAndEmptiesTheNextPort) {
  std::vector<std::string> lines = Lines(kOut / "boot1-watch.jsonl");
  ASSERT_GE(lines.size(), 3u) << ReadFile(kOut / "hotplug.txt");
  Table before = ParseTable(lines.front());
  Table after = ParseTable(lines.back());
  EXPECT_EQ(before.hubPorts, kExpectedHubPorts);
  EXPECT_EQ(before.status[6], "");

  // Some table in between lists the plugged disk on port 6, hub port 4.
  bool listed = false;
  for (const std::string& line : lines) {
    Table t = ParseTable(line);
    if (t.status[6] != "Unsupported bridge") continue;
    listed = true;
    ASSERT_EQ(t.hubPorts.size(), 7u);
    EXPECT_EQ(t.hubPorts[6], (std::pair<std::string, int>{kUsb1 + "-0:1", 3}));
  }
  EXPECT_TRUE(listed) << ReadFile(kOut / "boot1-watch.jsonl");

  // Pulled: the row is empty, the hub port keeps its number, the other
  // ports never changed.
  EXPECT_EQ(after.status[6], "");
  ASSERT_EQ(after.hubPorts.size(), 7u);
  for (int port : {0, 1, 2, 3, 4, 5}) {
    EXPECT_EQ(after.status[port], before.status[port]) << "port " << port;
  }
  // udevd ran in this boot: no fallback note.
  EXPECT_EQ(ReadFile(kOut / "boot1-watch-stderr.txt"), "");
}

TEST_F(Testbed, WatchWithoutUdevdFallsBackToKernelEvents) {
  std::string markers = ReadFile(kOut / "boot2-markers.txt");
  EXPECT_NE(markers.find("@@HIL kernel-watch-rc 0"), std::string::npos) << markers;
  std::string err = ReadFile(kOut / "boot2-kernel-watch-stderr.txt");
  EXPECT_NE(err.find("udevd is not running: watching the kernel's device events instead"),
            std::string::npos)
      << err;
  std::vector<std::string> lines = Lines(kOut / "boot2-kernel-watch.jsonl");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(ParseTable(lines[0]).hubPorts, kExpectedHubPorts);
}

}  // namespace
}  // namespace qelvar
