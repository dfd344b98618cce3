// What the station did on a real kernel with simulated drives behind
// qelvar-simbridge (station-on-kernel.sh left it in QELVAR_SOK_OUT): the
// guest's usb-storage, SCSI midlayer, sd and SG_IO between qelvar-cli and the
// drives.
//
// "healthy": the built-in station (16 drives on two 8-port hubs), Format on.
// "pulled": the built-in station, drive QELVAR_SOK_PULL pulled during its
// system firmware download.
// "mixed": the mixed-faults station with drives that leave the bus when they
// reboot or enter ROM mode (QELVAR_SOK_MIXED).
// "bridges": two drives behind each kind of bridge (sim-bridges.ini).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qelvar {
namespace {

namespace fs = std::filesystem;

const fs::path kOut = QELVAR_SOK_OUT;
constexpr int kPulled = QELVAR_SOK_PULL;

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

struct Row {
  std::string status, capacity, serial;
};

// The rows of qelvar-cli's JSON table, by 0-based port (the JSON counts
// ports from 1, as the Port column does).
std::map<int, Row> Rows(const std::string& json) {
  std::map<int, Row> rows;
  static const std::regex row(
      R"re(\{"port":(\d+),"status":"([^"]*)","model":"[^"]*","capacity":"([^"]*)","serial":"([^"]*)")re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), row); it != std::sregex_iterator();
       ++it) {
    rows[std::stoi((*it)[1]) - 1] = Row{(*it)[2], (*it)[3], (*it)[4]};
  }
  return rows;
}

// The hub (instance ID) and 0-based hub port behind each 0-based station port.
std::map<int, std::pair<std::string, int>> HubPorts(const std::string& json) {
  std::map<int, std::pair<std::string, int>> ports;
  static const std::regex hub(R"re(\{"port":(\d+),"hub":"([^"]*)","index":(\d+)\})re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), hub); it != std::sregex_iterator();
       ++it) {
    ports[std::stoi((*it)[1]) - 1] = {(*it)[2], std::stoi((*it)[3])};
  }
  return ports;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
  return s;
}

class StationOnKernel : public ::testing::Test {
 protected:
  static void Need(const fs::path& dir) {
    if (fs::exists(dir / "skipped")) {
      const char* ci = std::getenv("QELVAR_CI");
      std::string why = ReadFile(dir / "skipped");
      if (ci != nullptr && std::string(ci) == "1") FAIL() << "skipped in CI: " << why;
      GTEST_SKIP() << "the scenario did not run: " << why;
    }
    ASSERT_TRUE(fs::exists(dir / "exit"))
        << "no result in " << dir << ": see the station_on_kernel tests' logs";
  }
};

class Healthy : public StationOnKernel {
 protected:
  void SetUp() override { Need(kOut / "healthy"); }
  const fs::path dir_ = kOut / "healthy";
};

class Pulled : public StationOnKernel {
 protected:
  void SetUp() override { Need(kOut / "pulled"); }
  const fs::path dir_ = kOut / "pulled";
};

class Mixed : public StationOnKernel {
 protected:
  void SetUp() override { Need(kOut / "mixed"); }
  const fs::path dir_ = kOut / "mixed";
};

class Bridges : public StationOnKernel {
 protected:
  void SetUp() override { Need(kOut / "bridges"); }
  const fs::path dir_ = kOut / "bridges";
};

TEST_F(Healthy, EverySixteenDrivesPassOnTheirHubPortsStationPort) {
  EXPECT_EQ(Trim(ReadFile(dir_ / "exit")), "0");
  std::map<int, Row> run = Rows(ReadFile(dir_ / "run.json"));
  ASSERT_EQ(run.size(), 16u);
  for (auto& [port, row] : run) EXPECT_EQ(row.status, "Pass") << "port " << port;

  // The scan saw drive N (serial QSIM + N) on station port N: hub 0's ports
  // 1-8 are station ports 0-7, hub 1's are 8-15.
  std::string scan = ReadFile(dir_ / "scan.json");
  std::map<int, Row> rows = Rows(scan);
  std::map<int, std::pair<std::string, int>> hubs = HubPorts(scan);
  ASSERT_EQ(rows.size(), 16u);
  for (int port = 0; port < 16; ++port) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "QSIM%016d", port);
    EXPECT_EQ(Trim(rows[port].serial), serial) << "port " << port;
    EXPECT_EQ(rows[port].status, "Ready") << "port " << port;
    // Hub instance IDs name the controller, the USB 2 side and the port chain.
    std::string hub = "-usbv2-0:" + std::to_string(port / 8 + 1);
    ASSERT_TRUE(hubs.count(port)) << "port " << port;
    EXPECT_TRUE(hubs[port].first.ends_with(hub)) << hubs[port].first;
    EXPECT_EQ(hubs[port].second, port % 8);
  }
}

TEST_F(Healthy, EveryCommandInTheBridgesTraceWasAccepted) {
  std::vector<std::string> trace = Lines(dir_ / "trace.jsonl");
  ASSERT_GT(trace.size(), 16u * 100);
  std::map<std::string, int> perDrive;
  for (const std::string& line : trace) {
    EXPECT_NE(line.find("\"accepted\":true"), std::string::npos) << line;
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"re("drive":"(Drive\d+)")re"))) perDrive[m[1]]++;
  }
  EXPECT_EQ(perDrive.size(), 16u);
  // The kernel saw them as usb-storage disks of our bridges.
  std::string dmesg = ReadFile(dir_ / "dmesg.txt");
  EXPECT_NE(dmesg.find("idVendor=1209, idProduct=0001"), std::string::npos);
  EXPECT_NE(dmesg.find("usb-storage 1-2.8:1.0: USB Mass Storage device detected"),
            std::string::npos);
}

TEST_F(Healthy, FormatLabelsEveryDrive) {
  std::vector<std::string> lines = Lines(dir_ / "format.txt");
  ASSERT_EQ(lines.size(), 16u);
  for (int n = 0; n < 16; ++n) {
    // Drive N sat on station port N, whose volume letter is "A" + N.
    std::string want = "drive " + std::to_string(n) + " mbr=55aa type=07 start=2048 label=UDISK-" +
                       static_cast<char>('A' + n);
    EXPECT_EQ(lines[static_cast<size_t>(n)], want);
  }
}

TEST_F(Healthy, TimingIsMeasured) {
  std::string timing = ReadFile(dir_ / "timing.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(timing, m, std::regex(R"(ratio ([0-9.]+))"))) << timing;
  // Never faster than the design's pauses: they are real pauses on the kernel.
  EXPECT_GE(std::stod(m[1]), 1.0);
  ASSERT_TRUE(std::regex_search(timing, m, std::regex(R"(pause_error_us_min (-?\d+))")));
  EXPECT_GE(std::stol(m[1]), 0) << "a pause arrived cut short";
}

// The same station in-process (--sim) on virtual time, as the reference.
std::map<int, Row> SimRun(const fs::path& work, const std::string& stationFile) {
  fs::remove_all(work);
  fs::create_directories(work);
  fs::copy(QELVAR_STATION, work / "station", fs::copy_options::recursive);
  std::string cmd = std::string("cd '") + work.string() + "' && '" + QELVAR_CLI +
                    "' --dir station --sim '" + stationFile +
                    "' --virtual-time --json run > sim.json 2> sim.err";
  EXPECT_NE(std::system(cmd.c_str()), -1);
  return Rows(ReadFile(work / "sim.json"));
}

// A number from a "key value" line of one of the scenario's text files.
double Figure(const std::string& text, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("(^|\n)" + key + " (-?[0-9.]+)"))) return -1;
  return std::stod(m[2]);
}

TEST_F(Pulled, ThePulledPortAloneFailsAndTheRunEnds) {
  // The run ended (nothing hung) and said that a port failed.
  EXPECT_EQ(Trim(ReadFile(dir_ / "exit")), "1");
  std::map<int, Row> run = Rows(ReadFile(dir_ / "run.json"));
  ASSERT_EQ(run.size(), 16u);
  for (auto& [port, row] : run) {
    EXPECT_EQ(row.status, port == kPulled ? "DOWNLOAD SYSFW FAIL" : "Pass") << "port " << port;
  }
  // The port gave up at once: every command to a disk that is gone fails at
  // once, far inside the 20 s the download's commands are given.
  std::string pull = ReadFile(dir_ / "pull.txt");
  EXPECT_NE(pull.find("device_del redir" + std::to_string(kPulled)), std::string::npos) << pull;
  double after = Figure(pull, "port_failed_after_pull_s");
  ASSERT_GE(after, 0) << pull;
  EXPECT_LT(after, 20) << pull;
  // And the others did not wait for it: the run took no longer than the
  // same station's design time allows on this machine.
  std::string timing = ReadFile(dir_ / "timing.txt");
  double design = Figure(timing, "design_s"), wall = Figure(timing, "run_wall_s");
  ASSERT_GT(design, 0) << timing;
  EXPECT_LT(wall, 2 * design) << timing;
}

TEST_F(Pulled, ThePulledDriveWasGoneForTheKernelAndForTheStation) {
  // Its bridge sat on hub kPulled / 8 (root port + 1), port kPulled % 8 + 1.
  std::string usb = "1-" + std::to_string(kPulled / 8 + 1) + "." + std::to_string(kPulled % 8 + 1);
  std::string dmesg = ReadFile(dir_ / "dmesg.txt");
  EXPECT_NE(dmesg.find("usb " + usb + ": USB disconnect"), std::string::npos);
  // Its disk: the SCSI host usb-storage made for it, and the sd name there.
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(dmesg, m, std::regex("scsi host(\\d+): usb-storage " + usb + ":1\\.0")));
  std::string host = m[1];
  ASSERT_TRUE(
      std::regex_search(dmesg, m, std::regex("sd " + host + ":0:0:0: \\[(sd[a-z]+)\\] Attached")));
  std::string path = "\"path\":\"/dev/" + m[1].str() + "\"";
  // The station's own record: it was downloading when the bridge went away;
  // from then on every exchange with that disk failed, because the disk was
  // gone (no device node, ENOENT; or no device behind it, ENXIO, ENODEV), the
  // request in flight died with it (host status DID_ERROR), or the kernel
  // refused the next ones on the node it had not yet removed (DID_NO_CONNECT),
  // and the port gave up.
  std::vector<std::string> mine;
  for (const std::string& line : Lines(dir_ / "diagnostics.jsonl")) {
    if (line.find(path) != std::string::npos) mine.push_back(line);
  }
  auto lastGood = std::find_if(mine.rbegin(), mine.rend(), [](const std::string& l) {
    return l.find("\"result\":1") != std::string::npos;
  });
  ASSERT_NE(lastGood, mine.rend());
  EXPECT_NE(lastGood->find("\"cdb\":\"a1 0a 03 03"), std::string::npos) << *lastGood;
  ASSERT_NE(lastGood, mine.rbegin()) << "nothing failed after the pull";
  for (auto it = mine.rbegin(); it != lastGood; ++it) {
    bool gone = it->find("\"error\":2,") != std::string::npos ||
                it->find("\"error\":6,") != std::string::npos ||
                it->find("\"error\":19,") != std::string::npos ||
                it->find("\"host_status\":1,") != std::string::npos ||
                it->find("\"host_status\":7,") != std::string::npos;
    EXPECT_TRUE(gone) << *it;
  }
  // No command reached the pulled drive's bridge after the pull.
  std::vector<std::string> trace = Lines(dir_ / "trace.jsonl");
  std::string drive = "\"drive\":\"Drive" + std::to_string(kPulled) + "\"";
  auto last = std::find_if(trace.rbegin(), trace.rend(), [&](const std::string& l) {
    return l.find(drive) != std::string::npos;
  });
  ASSERT_NE(last, trace.rend());
  EXPECT_NE(last->find("\"cdb\":\"a10a0303"), std::string::npos) << *last;
}

TEST_F(Mixed, EveryPortEndsAsInProcessWithTheSameCapacity) {
  EXPECT_EQ(Trim(ReadFile(dir_ / "exit")), "1");
  std::map<int, Row> kernel = Rows(ReadFile(dir_ / "run.json"));
  std::map<int, Row> sim = SimRun(kOut / "mixed-sim", QELVAR_SOK_MIXED);
  ASSERT_EQ(sim.size(), 16u);
  ASSERT_EQ(kernel.size(), sim.size());
  int failures = 0, passes = 0;
  for (auto& [port, row] : sim) {
    EXPECT_EQ(kernel[port].status, row.status) << "port " << port;
    // A port that found another drive after a reboot would show its capacity.
    EXPECT_EQ(kernel[port].capacity, row.capacity) << "port " << port;
    if (row.status == "Pass") ++passes;
    if (row.status != "Pass" && !row.status.empty()) ++failures;
  }
  EXPECT_GE(failures, 8);  // the station's faults did show
  EXPECT_GE(passes, 4);    // and the drives that re-enumerated passed
}

TEST_F(Mixed, DrivesLeftTheBusAndCameBackAsNewDevices) {
  std::string log = ReadFile(dir_ / "bridge.log");
  std::string dmesg = ReadFile(dir_ / "dmesg.txt");
  // Drive: how often it leaves (ROM entry, reboot). Drive 7's reboot fails
  // before the drive reboots: it never leaves.
  const std::map<int, int> leaves = {{0, 1}, {1, 1}, {6, 1}, {7, 0}, {10, 2}, {12, 2}, {13, 2}};
  auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  for (auto [drive, times] : leaves) {
    std::string name = "Drive" + std::to_string(drive) + " ";
    EXPECT_EQ(count(log, "simbridge: " + name + "leaves the bus"), times) << name;
    EXPECT_EQ(count(log, "simbridge: " + name + "back on the bus"), times) << name;
    // The kernel saw it go and enumerated it anew each time.
    std::string usb =
        "usb 1-" + std::to_string(drive / 8 + 1) + "." + std::to_string(drive % 8 + 1);
    EXPECT_EQ(count(dmesg, usb + ": USB disconnect"), times) << usb;
    EXPECT_EQ(count(dmesg, usb + ": new full-speed USB device"), times + 1) << usb;
  }
  // The bridge counted them: nine departures, all back.
  std::string summary = ReadFile(dir_ / "bridge.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(summary, m, std::regex(R"(\ntotal .* reenumerations (\d+))")))
      << summary;
  EXPECT_EQ(m[1], "9");
}

// Every drive behind a bridge that can carry the flow passes, as in-process;
// the others are shown at scan and never started, and the run says 0.
TEST_F(Bridges, EveryUsableBridgesDrivesPassAsInProcessAndTheOthersNeverStart) {
  EXPECT_EQ(Trim(ReadFile(dir_ / "exit")), "0");
  std::map<int, Row> kernel = Rows(ReadFile(dir_ / "run.json"));
  std::map<int, Row> sim =
      SimRun(kOut / "bridges-sim", std::string(QELVAR_STATION) + "/sim-bridges.ini");
  ASSERT_EQ(sim.size(), 16u);
  ASSERT_EQ(kernel.size(), sim.size());
  int passes = 0, unsupported = 0;
  for (auto& [port, row] : sim) {
    EXPECT_EQ(kernel[port].status, row.status) << "port " << port;
    EXPECT_EQ(kernel[port].capacity, row.capacity) << "port " << port;
    passes += row.status == "Pass";
    unsupported += row.status == "Unsupported bridge";
    if (row.status == "Unsupported bridge") {
      EXPECT_EQ(kernel[port].serial, "") << port;
    }
  }
  EXPECT_EQ(passes, 10);
  EXPECT_EQ(unsupported, 6);
  // A bridge's own refusals never reach the drive: what did was accepted,
  // and nothing at all reached the drives behind no-pass-through bridges.
  std::map<std::string, int> perDrive;
  for (const std::string& line : Lines(dir_ / "trace.jsonl")) {
    EXPECT_NE(line.find("\"accepted\":true"), std::string::npos) << line;
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"re("drive":"(Drive\d+)")re"))) perDrive[m[1]]++;
  }
  EXPECT_EQ(perDrive.count("Drive14"), 0u);
  EXPECT_EQ(perDrive.count("Drive15"), 0u);
  // The kernel carried every refusal as a CHECK CONDITION with its sense, not
  // as a transport error: no command of the run failed at the host.
  for (const std::string& line : Lines(dir_ / "diagnostics.jsonl")) {
    EXPECT_NE(line.find("\"host_status\":0,"), std::string::npos) << line;
  }
  EXPECT_EQ(ReadFile(dir_ / "dmesg.txt").find("reset full-speed USB device"), std::string::npos);
}

}  // namespace
}  // namespace qelvar
