// qelvar-cli as a line script runs it: exit status, output, the settings file.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qelvar::app {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
};

class CliProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("qelvar-cli-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir,
             fs::copy_options::recursive);
  }
  void TearDown() override { fs::remove_all(dir); }

  Result Run(const std::string& args) {
#ifdef _WIN32
    // The command interpreter takes a leading "/" for a switch: name the
    // program with its drive and backslashes.
    std::string program = fs::absolute(QELVAR_CLI).make_preferred().string();
#else
    std::string program = QELVAR_CLI;
#endif
    std::string command = program + " --dir " + dir.string() + " " + args + " 2>&1";
    Result r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
    int raw = ::pclose(pipe);
#ifdef _WIN32
    r.status = raw;  // the program's exit code
#else
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return r;
  }

  std::string SettingsFile() {
    std::ifstream in(dir / "speedQelvar.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir;
};

TEST_F(CliProgram, FullRunPassesEveryPortAndSavesTheNextSerialNumber) {
  Result r = Run("--sim --virtual-time --json run");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"sum\":16,\"pass\":16,\"fail\":0}"), std::string::npos) << r.out;
  EXPECT_NE(SettingsFile().find("SN=QV5100000A10\r\n"), std::string::npos)
      << "the serial number after the sixteenth drive";
  // The next run continues from there.
  r = Run("--sim --virtual-time --json run");
  EXPECT_NE(r.out.find("\"serial\":\"QV5100000A10        \""), std::string::npos) << r.out;
}

TEST_F(CliProgram, AFailedPortMakesTheExitStatusOne) {
  std::ofstream(dir / "faults.ini") << "[Station]\nHubs=1\n[Drive0]\n[Drive1]\nFail=RebootDrive\n";
  Result r = Run("--sim " + (dir / "faults.ini").string() + " --virtual-time run");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("REBOOT FAIL"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sum: 2  Pass: 1  Fail: 1"), std::string::npos) << r.out;
}

TEST_F(CliProgram, SinglePortRunTouchesOnlyThatPort) {
  // A blank drive that powers up in ROM mode, as after a failed run: the
  // single-port start sends no drive into ROM mode itself.
  std::ofstream(dir / "blank.ini")
      << "[Station]\nHubs=1\n[Drive0]\n[Drive1]\n[Drive2]\n[Drive3]\nMode=Rom\n"
         "[Drive4]\n";
  Result r = Run("--sim " + (dir / "blank.ini").string() + " --virtual-time --json run-port 3");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"sum\":1,\"pass\":1,\"fail\":0}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"port\":4,\"status\":\"Ready\""), std::string::npos) << r.out;
}

TEST_F(CliProgram, NoDriveAndBadUsageExitWithTwo) {
  std::ofstream(dir / "empty.ini") << "[Station]\nHubs=1\n";
  Result r = Run("--sim " + (dir / "empty.ini").string() + " --virtual-time run");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("no drive"), std::string::npos) << r.out;
  EXPECT_EQ(Run("--time-scale 0.1 run").status, 2);
  EXPECT_EQ(Run("--sim " + (dir / "missing.ini").string() + " scan").status, 2);
}

TEST_F(CliProgram, DiagnosticsFileHoldsOneLinePerExchange) {
  fs::path file = dir / "exchanges.jsonl";
  Result r = Run("--sim --json --diagnostics " + file.string() + " scan");
  ASSERT_EQ(r.status, 0) << r.out;
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // The built-in station answers IDENTIFY on all 16 ports.
  ASSERT_EQ(lines.size(), 16u);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("\"cdb\":\"a1 08 0b 00 01 00 00 00 e0 ec 00 00\""), std::string::npos)
        << line;
    EXPECT_NE(line.find("\"result\":1,"), std::string::npos) << line;
  }
}

TEST_F(CliProgram, ScanListsTheSimulatedDrivesInHubPortOrder) {
  Result r = Run("--sim scan");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("1     Ready   QELVAR SIM SSD 128G"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("16    Ready"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qelvar::app
