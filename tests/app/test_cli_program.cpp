// qelvar-cli as a line script runs it: exit status, output, the settings file.
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace qelvar::app {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
};

#ifndef _WIN32
// A program running beside the test, its standard output and error on one
// pipe (or on a pseudo-terminal), so the test can signal it mid-run.
class Child {
 public:
  Child(const std::string& command, bool terminal = false) {
    if (terminal) {
      pid_ = ::forkpty(&fd_, nullptr, nullptr, nullptr);
      if (pid_ == 0) {
        ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
        ::_exit(127);
      }
      return;
    }
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads output until `pattern` shows or `timeout` passes.
  bool ReadUntil(const std::regex& pattern, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::regex_search(out, pattern)) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) return false;
    }
    return true;
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  // Reads to the end and reaps: the exit status, or -signal.
  int Wait(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && ReadSome(100)) {
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1000;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reaped_ = true;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  }

  std::string out;

 private:
  // False at the end of the output.
  bool ReadSome(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return true;
    char buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;  // a pty reads EIO once the program has ended
    out.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool reaped_ = false;
};
#endif

// A station of `drives` drives on one hub, each section given `extra` lines.
std::string Drives(int drives, const std::string& firstDrive = "") {
  std::string text = "[Station]\nHubs=1\nHubPorts=" + std::to_string(drives) + "\n";
  for (int d = 0; d < drives; ++d) {
    text += "[Drive" + std::to_string(d) + "]\n";
    if (d == 0) text += firstDrive;
  }
  return text;
}

class CliProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir,
             fs::copy_options::recursive);
  }

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

  std::string Cli(const std::string& args) {
    return std::string(QELVAR_CLI) + " --dir " + dir.string() + " " + args;
  }
  fs::path Write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return dir / name;
  }
  void SetKey(const std::string& key, const std::string& value) {
    std::string text = SettingsFile();
    size_t at = text.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    size_t end = text.find("\r\n", at + 1);
    text.replace(at + 1, end - at - 1, key + "=" + value);
    Write("speedQelvar.ini", text);
  }

  std::string SettingsFile() {
    std::ifstream in(dir / "speedQelvar.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  qelvar::testing::TempFolder folder{"cli"};
  fs::path dir = folder.path();
};

TEST_F(CliProgram, FullRunPassesEveryPortAndSavesTheNextSerialNumber) {
  Result r = Run("--sim --virtual-time --json run");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"sum\":16,\"pass\":16,\"fail\":0}"), std::string::npos) << r.out;
  EXPECT_NE(SettingsFile().find("SN=QV5100000A10\r\n"), std::string::npos)
      << "the serial number after the sixteenth drive";
  // The next run continues from there.
  r = Run("--sim --virtual-time --json run");
  EXPECT_NE(r.out.find("\"serial\":\"QV5100000A10\""), std::string::npos) << r.out;
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
  // Port numbers count from 1 as the table's Port column shows them: the
  // fourth drive is port 4, in the command and in the JSON.
  Result r = Run("--sim " + (dir / "blank.ini").string() + " --virtual-time --json run-port 4");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"sum\":1,\"pass\":1,\"fail\":0}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"port\":4,\"status\":\"Pass\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"port\":5,\"status\":\"Ready\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"port\":3,\"status\":\"Ready\""), std::string::npos) << r.out;
  r = Run("--sim " + (dir / "blank.ini").string() + " --virtual-time run-port 6");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("port 6 has no drive"), std::string::npos) << r.out;
}

TEST_F(CliProgram, APortThatFailsAtOnceMakesEveryRunExitOne) {
  // The first drive refuses its burner download: its worker ends while Start
  // is still starting the other seven.
  fs::path station = Write("fail-at-once.ini", Drives(8, "Fail=DownloadBurner\n"));
  for (int attempt = 0; attempt < 5; ++attempt) {
    Result r = Run("--sim " + station.string() + " --virtual-time --json run");
    EXPECT_EQ(r.status, 1) << "attempt " << attempt << ": " << r.out;
    EXPECT_NE(r.out.find("\"sum\":8,\"pass\":7,\"fail\":1}"), std::string::npos) << r.out;
  }
  fs::path blank = Write("blank.ini", Drives(2, "Fail=DownloadBurner\nMode=Rom\n"));
  for (int attempt = 0; attempt < 3; ++attempt) {
    Result r = Run("--sim " + blank.string() + " --virtual-time --json run-port 1");
    EXPECT_EQ(r.status, 1) << "attempt " << attempt << ": " << r.out;
  }
}

TEST_F(CliProgram, AMissingStationFileIsASetupErrorBeforeAnyDriveIsTouched) {
  fs::path trace = dir / "trace.jsonl";
  auto expectRefused = [&](const std::string& dirArg, const std::string& names) {
    Result r = Run("--sim --virtual-time --trace " + trace.string() + " " + dirArg + " run");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find(names), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Pass"), std::string::npos) << r.out;
    std::error_code ec;
    EXPECT_EQ(fs::file_size(trace, ec) > 0 && !ec, false) << "a command reached a drive";
  };
  // A later --dir overrides the fixture's.
  expectRefused("--dir " + (dir / "nonexistent").string(), (dir / "nonexistent").string());
  fs::path copy = dir / "copy";
  fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", copy, fs::copy_options::recursive);
  fs::remove(copy / "flash.ini");
  // The program names a file in the folder it was given with a "/".
  expectRefused("--dir " + copy.string(), copy.string() + "/flash.ini");
  fs::remove(copy / "speedQelvar.ini");
  expectRefused("--dir " + copy.string(), copy.string() + "/speedQelvar.ini");
  // A scan may look at the station all the same.
  Result r = Run("--sim --dir " + (dir / "nonexistent").string() + " scan");
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(CliProgram, ABrokenStationIsRefusedWithEveryProblemAndExitTwo) {
  // The program names a file in the folder it was given with a "/".
  const std::string settings = dir.string() + "/speedQelvar.ini";
  auto ReadText = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    std::string args;
    std::string said;
  };
  const Case cases[] = {
      {"random bytes",
       [&] { std::ofstream(settings, std::ios::binary) << std::string("\x8f\x01[\xfe\x00zz", 7); },
       "", settings + " is not a settings file"},
      {"missing burner", [&] { fs::remove(dir / "Firmware" / "burner.bin"); }, "",
       "Download Burner: the image " + dir.string() + "/Firmware/burner.bin"},
      {"one code for every drive",
       [&] {
         std::ofstream codes(dir / "codes.txt");
         for (int k = 0; k < 16; ++k) codes << "SAME\n";
       },
       " --barcodes " + (dir / "codes.txt").string(), "the same as port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir,
             fs::copy_options::recursive);
    c.breakIt();
    const std::string before = ReadText(settings);
    Result r = Run("--sim --virtual-time run" + c.args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Pass: 0  Fail: 0"), std::string::npos) << r.out;
    if (c.args.empty()) {
      EXPECT_EQ(ReadText(settings), before) << "no serial was handed out";
    }
  }
}

TEST_F(CliProgram, HelpAndVersion) {
  for (const char* help : {"--help", "-h", "run --help"}) {
    Result r = Run(help);
    EXPECT_EQ(r.status, 0) << help << r.out;
    EXPECT_EQ(r.out.rfind("usage: qelvar-cli", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("run-port N"), std::string::npos) << r.out;
  }
  Result r = Run("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("qelvar-cli ") + QELVAR_VERSION_EXPECTED + "\n");
#ifdef QELVAR_WINDOW
  // The window answers both without a display.
  auto window = [](const std::string& args) {
    Result w;
    FILE* pipe = ::popen(
        ("env -u DISPLAY -u WAYLAND_DISPLAY " + std::string(QELVAR_WINDOW) + " " + args + " 2>&1")
            .c_str(),
        "r");
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) w.out.append(buffer, n);
    int raw = ::pclose(pipe);
    w.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return w;
  };
  Result w = window("--help");
  EXPECT_EQ(w.status, 0) << w.out;
  EXPECT_EQ(w.out.rfind("usage: qelvar", 0), 0u) << w.out;
  EXPECT_NE(w.out.find("--debug-log"), std::string::npos) << w.out;
  w = window("--version");
  EXPECT_EQ(w.status, 0) << w.out;
  EXPECT_EQ(w.out, std::string("qelvar ") + QELVAR_VERSION_EXPECTED + "\n");
#endif
}

TEST_F(CliProgram, BarcodeListGivesTheSerialNumbers) {
  fs::path station = Write("two.ini", Drives(2));
  fs::path codes = Write("codes.txt", "line7-a\r\nline7-b\r\n");
  Result r =
      Run("--sim " + station.string() + " --virtual-time --json run --barcodes " + codes.string());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"serial\":\"LINE7-A\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"serial\":\"LINE7-B\""), std::string::npos) << r.out;
  EXPECT_NE(SettingsFile().find("[BarCode]\r\nPort1=LINE7-A\r\nPort2=LINE7-B\r\n"),
            std::string::npos)
      << SettingsFile();
  EXPECT_NE(SettingsFile().find("SN=QV5100000A00\r\n"), std::string::npos)
      << "the SN edit's number was not used";

  // From standard input; one code short: the start stops before any worker.
  r = Run("--sim " + station.string() + " --virtual-time --json run --barcodes - < " +
          Write("one.txt", "only\n").string());
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("Port1 device has no bar code, please rescan all bar code again"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Pass"), std::string::npos) << r.out;

  std::string seventeen;
  for (int k = 0; k < 17; ++k) seventeen += "C" + std::to_string(k) + "\n";
  r = Run("--sim " + station.string() + " --virtual-time run --barcodes " +
          Write("many.txt", seventeen).string());
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("Add Bar code Fail"), std::string::npos) << r.out;
}

TEST_F(CliProgram, DebugLogHoldsTheScanTraceAndTheFormatLines) {
  SetKey("FormatEn", "1");
  fs::path log = dir / "debug.log";
  fs::path station = Write("two.ini", Drives(2));
  Result r = Run("--sim " + station.string() + " --virtual-time --json --debug-log " +
                 log.string() + " run");
  EXPECT_EQ(r.status, 0) << r.out;
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find(" [scan] pas08DevicePath[0] = "), std::string::npos) << text.str();
  EXPECT_NE(text.str().find(" [format] Formatted "), std::string::npos) << text.str();
  in.close();  // Windows removes no file that is open
  // Off by default.
  fs::remove(log);
  r = Run("--sim " + station.string() + " --virtual-time --json scan");
  EXPECT_FALSE(fs::exists(log));
}

// The tests below signal the program mid-run and read it through a
// pseudo-terminal: POSIX only.
#ifndef _WIN32
// A run on a scaled clock: each of the two drives takes a few seconds.
constexpr const char* kScaledRun = " --time-scale 0.05 run";
// Both workers have reported their first step.
const std::regex kBothRunning(
    "Port  1  Scanning +5 %[^]*Port  2  Scanning +5 %|"
    "Port  2  Scanning +5 %[^]*Port  1  Scanning +5 %");

TEST_F(CliProgram, NextSerialNumberSurvivesAKillDuringTheRun) {
  fs::path station = Write("two.ini", Drives(2));
  Child child(Cli("--sim " + station.string() + kScaledRun));
  // Both ports' workers have started.
  ASSERT_TRUE(child.ReadUntil(kBothRunning, std::chrono::seconds(60))) << child.out;
  child.Signal(SIGKILL);
  EXPECT_EQ(child.Wait(std::chrono::seconds(30)), -SIGKILL);
  EXPECT_EQ(child.out.find("Pass"), std::string::npos) << "killed in the middle: " << child.out;
  EXPECT_NE(SettingsFile().find("SN=QV5100000A02\r\n"), std::string::npos) << SettingsFile();
}

TEST_F(CliProgram, FirstCtrlCLetsTheRunningPortsFinish) {
  fs::path station = Write("two.ini", Drives(2));
  Child child(Cli("--sim " + station.string() + kScaledRun));
  ASSERT_TRUE(child.ReadUntil(kBothRunning, std::chrono::seconds(60))) << child.out;
  child.Signal(SIGINT);
  ASSERT_TRUE(child.ReadUntil(std::regex("Waiting for 2 port\\(s\\) to finish\\.\\.\\. \\(press "
                                         "Ctrl-C again to quit at once\\)"),
                              std::chrono::seconds(30)))
      << child.out;
  EXPECT_EQ(child.Wait(std::chrono::seconds(120)), 0) << child.out;
  EXPECT_NE(child.out.find("Sum: 2  Pass: 2  Fail: 0"), std::string::npos) << child.out;
  // Each piped line names the serial the port was given, the final one last.
  EXPECT_NE(child.out.find("Port  2  Pass                     100 %    QV5100000A01\n"),
            std::string::npos)
      << child.out;
}

TEST_F(CliProgram, CtrlCDuringTheStartNamesTheDrivesInRomModeAndExits130) {
  fs::path station = Write("two.ini", Drives(2));
  Child child(Cli("--sim " + station.string() + kScaledRun));
  ASSERT_TRUE(child.ReadUntil(std::regex("Waiting 8 s for the drives to come back"),
                              std::chrono::seconds(60)))
      << child.out;
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(std::chrono::seconds(60)), 130) << child.out;
  EXPECT_NE(child.out.find("port(s) 1, 2 are already in ROM mode"), std::string::npos) << child.out;
  EXPECT_NE(child.out.find("port(s) 1, 2 were left in ROM mode"), std::string::npos) << child.out;
  EXPECT_EQ(child.out.find("QV5100000A0"), std::string::npos) << "no serial was handed out";
}

TEST_F(CliProgram, SecondCtrlCQuitsAtOnceNamingThePortsLeftMidFlow) {
  fs::path station = Write("two.ini", Drives(2));
  Child child(Cli("--sim " + station.string() + kScaledRun));
  ASSERT_TRUE(child.ReadUntil(kBothRunning, std::chrono::seconds(60))) << child.out;
  child.Signal(SIGTERM);
  ASSERT_TRUE(child.ReadUntil(std::regex("Waiting for"), std::chrono::seconds(30))) << child.out;
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 130) << child.out;
  EXPECT_NE(child.out.find("port(s) 1, 2 were left in the middle"), std::string::npos) << child.out;
  EXPECT_EQ(child.out.find("Sum:"), std::string::npos) << child.out;
}

TEST_F(CliProgram, OnATerminalTheTableIsRedrawnInPlaceAboutOnceASecond) {
  fs::path station = Write("two.ini", Drives(2));
  const auto began = std::chrono::steady_clock::now();
  Child child(Cli("--sim " + station.string() + kScaledRun), /*terminal=*/true);
  EXPECT_EQ(child.Wait(std::chrono::seconds(120)), 0) << child.out;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  size_t frames = 0;
  for (size_t at = child.out.find("\x1b[17A"); at != std::string::npos;
       at = child.out.find("\x1b[17A", at + 1)) {
    ++frames;
  }
  EXPECT_GE(frames, 1u) << child.out;
  EXPECT_LE(static_cast<double>(frames), seconds + 3) << "about once a second";
  // No plain line per change: every row line is a redrawn one.
  EXPECT_EQ(std::regex_search(child.out, std::regex("(^|\n)Port  1  ")), false) << child.out;
  EXPECT_NE(child.out.find("Sum: 2  Pass: 2  Fail: 0"), std::string::npos) << child.out;
}

#endif

TEST_F(CliProgram, NoDriveAndBadUsageExitWithTwo) {
  std::ofstream(dir / "empty.ini") << "[Station]\nHubs=1\n";
  Result r = Run("--sim " + (dir / "empty.ini").string() + " --virtual-time run");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("no drive"), std::string::npos) << r.out;
  EXPECT_EQ(Run("--time-scale 0.1 run").status, 2);
  EXPECT_EQ(Run("--sim " + (dir / "missing.ini").string() + " scan").status, 2);
}

#ifdef _WIN32
TEST_F(CliProgram, AScanOfTheSystemIsRecordedCallByCall) {
  // Under Wine the system has no USB: the recording holds the failed opens
  // of the legacy controller names and the empty device sets.
  const fs::path file = dir / "scan.win32";
  Result r = Run("--record-win32 " + file.string() + " scan");
  ASSERT_EQ(r.status, 0) << r.out;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().rfind("qelvar-win32-recording 1\n", 0), 0u) << text.str();
  EXPECT_NE(text.str().find("SetupDiGetClassDevsA class={53f56307-b6bf-11d0-94f2-00a0c91efb8b}"),
            std::string::npos);
}
#endif

TEST_F(CliProgram, DiagnosticsFileHoldsOneLinePerExchange) {
  fs::path file = dir / "exchanges.jsonl";
  Result r = Run("--sim --json --diagnostics " + file.string() + " scan");
  ASSERT_EQ(r.status, 0) << r.out;
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // The built-in station's bridges carry both forms and state no limit: the
  // probe sends each port IDENTIFY (12) and (16), CHECK POWER MODE and one
  // INQUIRY, and every line names the bridge.
  ASSERT_EQ(lines.size(), 16u * 4);
  size_t identify12 = 0;
  for (const std::string& line : lines) {
    identify12 += line.find("\"cdb\":\"a1 08 0b 00 01 00 00 00 e0 ec 00 00\"") != std::string::npos;
    EXPECT_NE(line.find("\"result\":1,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"bridge\":\"1209:0001\",\"route\":\"probe\""), std::string::npos) << line;
  }
  EXPECT_EQ(identify12, 16u);
}

// Bridges that cannot carry the flow are named at the start and never
// started; the run's status counts only the ports that were.
TEST_F(CliProgram, UnsupportedBridgesAreNamedAndLeftOutOfTheRunsStatus) {
  const std::string station = (dir / "sim-bridges.ini").string();
  Result r = Run("--sim " + station + " --virtual-time --json run");
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* text :
       {"port 5: Unsupported bridge 1209:0102, not started: the bridge carries only ATA "
        "PASS-THROUGH (12)",
        "port 11: Unsupported bridge 1209:0105, not started: the bridge moves at most 16384",
        "port 16: Unsupported bridge 1209:0107, not started: the bridge carries no ATA",
        "{\"port\":15,\"status\":\"Unsupported bridge\"",
        "\"bridge\":{\"vid\":\"1209\",\"pid\":\"0101\",\"route\":\"16\"",
        "\"sum\":10,\"pass\":10,\"fail\":0",
        // The table lengthens one bridge's time-outs; the others show none.
        "\"pid\":\"0101\",\"route\":\"16\",\"sense\":\"descriptor\",\"maxTransfer\":0,"
        "\"timeoutIn\":5,\"timeoutOut\":60,\"supported\":true",
        "\"pid\":\"0100\",\"route\":\"12+16\",\"sense\":\"descriptor\",\"maxTransfer\":0,"
        "\"supported\":true"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }

  // The two models already in the table stay as they are; the other six are
  // added once.
  r = Run("--sim " + station + " bridges --write-table");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("6 bridge(s) added"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3     1209:0101  Simulated SATA Bridge    480 Mb/s  16     descriptor "
                       "not stated   table"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("not stated   table  time-outs 5 s in, 60 s out\n"), std::string::npos)
      << r.out;
  r = Run("--sim " + station + " bridges");
  EXPECT_EQ(r.out.find(" probe"), std::string::npos) << "the table now decides for all\n" << r.out;
  r = Run("--sim " + station + " bridges --write-table");
  EXPECT_NE(r.out.find("0 bridge(s) added"), std::string::npos) << r.out;
}

TEST_F(CliProgram, ScanListsTheSimulatedDrivesInHubPortOrder) {
  Result r = Run("--sim scan");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("1     Ready   QELVAR SIM SSD 128G"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("16    Ready"), std::string::npos) << r.out;
}

// With Format checked, a port number without a drive fails the partition
// step at the open; its diagnostic line goes to standard error, so standard
// output stays one JSON document a script can parse.
TEST_F(CliProgram, JsonRunWithFormatKeepsThePartitionLinesOffStdout) {
  std::string settings = SettingsFile();
  size_t at = settings.find("FormatEn=0");
  ASSERT_NE(at, std::string::npos);
  settings.replace(at, 10, "FormatEn=1");
  std::ofstream(dir / "speedQelvar.ini", std::ios::binary | std::ios::trunc) << settings;
  // The second bridge's drive does not answer IDENTIFY: its port number
  // holds no drive for the format.
  std::ofstream(dir / "few.ini") << "[Station]\nHubs=1\n[Drive0]\n[Drive1]\nIdentify=0\n";
  fs::path errors = dir / "stderr.txt";
  std::string command = std::string(QELVAR_CLI) + " --dir " + dir.string() + " --sim " +
                        (dir / "few.ini").string() + " --virtual-time --json run 2>" +
                        errors.string();
  Result r;
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  (void)::pclose(pipe);
  std::ifstream in(errors);
  std::stringstream err;
  err << in.rdbuf();
  EXPECT_NE(err.str().find("CreateFile() Error:2"), std::string::npos) << err.str();
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.rfind("{\"ports\":[", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
  EXPECT_EQ(r.out.find("Error:"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qelvar::app
