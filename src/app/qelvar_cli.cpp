// qelvar-cli: the station without a window, for automation and line scripts.
#ifdef _WIN32
#include "platform/windows/win32_api.h"
// windows.h names ReplaceFileA so; the station's own ReplaceFile is meant.
#undef ReplaceFile
#else
#include <pthread.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef QELVAR_WITH_LEDGER
#include "app/cli_ledger.h"
#endif
#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/station_access.h"
#include "app/station_assembly.h"
#include "engine/barcode_list.h"
#include "engine/run_control.h"
#include "format/format_drives.h"
#include "platform/files.h"
#include "platform/sim/sim_station.h"
#include "settings/flash_catalogue.h"
#include "settings/profile.h"
#include "settings/settings_file.h"

namespace qelvar::app {
namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnstored = 3;      // a result of the run is not in the ledger
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports it

// Completion messages of the workers, handled on the main thread.
class CompletionQueue final : public engine::RunEvents {
 public:
  void PostWorkerDone() override {
    {
      std::lock_guard lock(mutex_);
      ++pending_;
    }
    ready_.notify_one();
  }
  // Waits up to `timeout` for a message; true when one was taken.
  bool Take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [&] { return pending_ > 0; })) return false;
    --pending_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  int pending_ = 0;
};

// Message boxes become lines on standard error.
class StderrMessages final : public settings::MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, settings::MessageIcon) override {
    if (caption.empty()) caption = "qelvar";  // the application's own title
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
};

// The page of a station without a window: its "controls" are the loaded
// record (the run control keeps the next serial number there itself).
class CliPage final : public engine::RunPage {
 public:
  CliPage(const settings::SettingsStore& options, settings::MessageSink& messages,
          LiveListSink& list)
      : options_(options), messages_(messages), list_(list) {}
  void SetStartProgress(std::string_view text) override { list_.SetFooter(text); }
  void EnableRunButtons(bool) override {}
  void SetTimeText(std::string_view) override {}
  void SetSnEditText(std::string_view) override {}
  bool FormatChecked() override { return options_.Current()->FormatEn != 0; }
  settings::MessageSink& Messages() override { return messages_; }

 private:
  const settings::SettingsStore& options_;
  settings::MessageSink& messages_;
  LiveListSink& list_;
};

// Every exchange with a drive, kept in memory and written in one piece when
// the program ends, so an interrupted run never leaves half a file. Each line
// names the bridge the scan found in front of the disk, known only once its
// probe is over, so the lines are formatted at the end.
class DiagnosticsFile {
 public:
  DiagnosticsFile(std::string path, const discovery::PortState& ports)
      : path_(std::move(path)), ports_(ports) {}
  ~DiagnosticsFile() {
    std::string text;
    for (const transport::ExchangeRecord& r : records_) {
      text += FormatExchangeJson(r, BridgeOfPath(ports_, r.path));
    }
    if (!platform::ReplaceFile(path_, text)) {
      std::fprintf(stderr, "qelvar-cli: cannot write the diagnostics file %s\n", path_.c_str());
    }
  }
  DiagnosticsFile(const DiagnosticsFile&) = delete;
  DiagnosticsFile& operator=(const DiagnosticsFile&) = delete;

  // Called from every thread that talks to a drive.
  void Add(const transport::ExchangeRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }

 private:
  std::string path_;
  const discovery::PortState& ports_;
  std::mutex mutex_;
  std::vector<transport::ExchangeRecord> records_;
};

volatile std::sig_atomic_t gInterrupted = 0;

// What the first interrupt says: the run goes on to its end.
void SayWaiting(size_t running) {
  std::fprintf(stderr,
               "Waiting for %zu port(s) to finish... (press Ctrl-C again to quit at once)\n",
               running);
  std::fflush(stderr);
}

// An interrupt during the Start: the drives it has sent into ROM mode so far
// (0-based ports, named 1-based).
void SayAlreadyInRomMode(const std::vector<int>& ports) {
  if (ports.empty()) return;
  std::string names;
  for (int p : ports) names += (names.empty() ? "" : ", ") + std::to_string(p + 1);
  std::fprintf(stderr, "qelvar-cli: port(s) %s are already in ROM mode\n", names.c_str());
  std::fflush(stderr);
}

// What a second interrupt says before the program quits at once: the ports
// left in the middle of their flow, which must be run again.
void SayQuitAtOnce(const std::vector<int>& running) {
  std::string ports;
  for (int p : running) ports += (ports.empty() ? "" : ", ") + std::to_string(p);
  if (ports.empty()) {
    std::fprintf(stderr, "qelvar-cli: quit at once; no port was in the middle of its flow\n");
  } else {
    std::fprintf(stderr,
                 "qelvar-cli: warning: quit at once; port(s) %s were left in the middle of "
                 "their flow: run them again\n",
                 ports.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

// Keeps the records not yet written (in the ledger's spool, which waits on
// no server); the number kept.
using RecordKeeper = std::function<size_t()>;

void SayKept(size_t kept) {
  if (kept == 0) return;
  std::fprintf(stderr,
               "qelvar-cli: %zu record(s) not yet written were kept in the station folder; "
               "qelvar-cli ledger sync pushes them to the shared ledger\n",
               kept);
  std::fflush(stderr);
}

// After a stop during the Start: the drives it sent into ROM mode and never
// started (0-based), named 1-based as the table shows them.
void SayLeftInRomMode(const std::vector<int>& ports) {
  if (ports.empty()) {
    std::fprintf(stderr, "qelvar-cli: stopped before every drive was started\n");
    return;
  }
  std::string names;
  for (int p : ports) names += (names.empty() ? "" : ", ") + std::to_string(p + 1);
  std::fprintf(stderr,
               "qelvar-cli: stopped during the Start; port(s) %s were left in ROM mode without "
               "being started: run them again\n",
               names.c_str());
}

#ifndef _WIN32
// Ctrl-C and SIGTERM during run and run-port. The first starts nothing new
// and lets the running ports finish their flow (a download cut in the middle
// leaves a drive that needs a rerun); the program then ends as usual. A second
// Ctrl-C quits at once. The signals are blocked in every thread and taken
// here, on a thread of their own, so the handling may print and look at the
// ports while the main thread sits in the Start sequence's pauses. Once the
// run is over and its records are being written (Ending), a signal keeps
// them in the spool at once, so a server that does not answer never holds
// the program up; a second one then quits at once.
class InterruptHandler {
 public:
  // Blocks SIGINT and SIGTERM in this thread and every thread started after.
  static void BlockSignals() {
    sigset_t set = Set();
    (void)::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

  InterruptHandler(engine::RunControl& control, engine::Station& station, RecordKeeper keep)
      : control_(control), station_(station), keep_(std::move(keep)), thread_([this] { Loop(); }) {}
  ~InterruptHandler() {
    stop_.store(true);
    thread_.join();
  }
  InterruptHandler(const InterruptHandler&) = delete;
  InterruptHandler& operator=(const InterruptHandler&) = delete;

  [[nodiscard]] bool Interrupted() const { return signals_.load() > 0; }
  void Ending() { ending_.store(true); }

 private:
  static sigset_t Set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
  }

  // The started ports that have no result yet, 1-based as the table shows
  // them (a port being started counts before its status says "running").
  std::vector<int> RunningPorts() const {
    std::vector<int> ports;
    for (int p : control_.StartedPorts()) {
      const uint8_t status = station_.ports.gPortStatus[static_cast<size_t>(p)].load();
      if (status != discovery::kPassed && status != discovery::kFailed) ports.push_back(p + 1);
    }
    return ports;
  }

  void Loop() {
    const sigset_t set = Set();
    const timespec poll{0, 100 * 1000 * 1000};
    while (!stop_.load()) {
      const int signal = ::sigtimedwait(&set, nullptr, &poll);
      if (signal < 0) continue;  // EAGAIN (the poll ended) or EINTR
      if (signals_.fetch_add(1) == 0) {
        if (ending_.load()) {
          if (keep_) SayKept(keep_());  // the program then ends as usual
          continue;
        }
        control_.RequestNoNewStarts();
        SayWaiting(RunningPorts().size());
        if (control_.StartInProgress()) SayAlreadyInRomMode(control_.PortsLeftInRomMode());
        continue;
      }
      if (signal != SIGINT && signal != SIGTERM) continue;
      if (keep_) SayKept(keep_());
      SayQuitAtOnce(RunningPorts());
      // At once: the workers still hold the drives, so no destructor may run.
      std::_Exit(signal == SIGINT ? kExitInterrupted : 128 + SIGTERM);
    }
  }

  engine::RunControl& control_;
  engine::Station& station_;
  const RecordKeeper keep_;
  std::atomic<int> signals_{0};
  std::atomic<bool> ending_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
#else
// Ctrl-C, Ctrl-Break and closing the console window during run and run-port,
// as on Linux: the first starts nothing new and lets the running ports finish
// their flow; a second Ctrl-C or Ctrl-Break quits at once. Windows calls the
// console handler on a thread of its own, so the handling may print and look
// at the ports while the main thread sits in the Start sequence's pauses. A
// closed window ends the process when the handler returns (Windows allows it
// a few seconds), so the handler waits that long for the running ports.
class InterruptHandler {
 public:
  // Nothing to block: Windows delivers the console events on a thread of
  // their own once the handler is registered.
  static void BlockSignals() {}

  InterruptHandler(engine::RunControl& control, engine::Station& station, RecordKeeper keep)
      : control_(control), station_(station), keep_(std::move(keep)) {
    std::lock_guard lock(Mutex());
    Active() = this;
    finished_.store(false);
    (void)::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  }
  ~InterruptHandler() {
    (void)::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    std::lock_guard lock(Mutex());
    Active() = nullptr;
    finished_.store(true);
  }
  InterruptHandler(const InterruptHandler&) = delete;
  InterruptHandler& operator=(const InterruptHandler&) = delete;

  [[nodiscard]] bool Interrupted() const { return signals_.load() > 0; }
  void Ending() { ending_.store(true); }

 private:
  // How long a closed window waits for the ports: Windows ends the process
  // after about five seconds in any case.
  static constexpr std::chrono::milliseconds kCloseWait{4500};

  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static InterruptHandler*& Active() {
    static InterruptHandler* active = nullptr;
    return active;
  }
  static inline std::atomic<bool> finished_{true};

  std::vector<int> RunningPorts() const {
    std::vector<int> ports;
    for (int p : control_.StartedPorts()) {
      const uint8_t status = station_.ports.gPortStatus[static_cast<size_t>(p)].load();
      if (status != discovery::kPassed && status != discovery::kFailed) ports.push_back(p + 1);
    }
    return ports;
  }

  static BOOL WINAPI OnConsoleEvent(DWORD event) {
    const bool close = event == CTRL_CLOSE_EVENT;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && !close) return FALSE;
    {
      std::lock_guard lock(Mutex());
      InterruptHandler* self = Active();
      if (self == nullptr) return FALSE;  // the run is over: the default handling
      self->OnInterrupt(close);
    }
    if (close) {
      // Returning lets Windows end the process: give the ports what time it allows.
      const auto until = std::chrono::steady_clock::now() + kCloseWait;
      while (!finished_.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    return TRUE;
  }

  void OnInterrupt(bool close) {
    if (signals_.fetch_add(1) == 0) {
      if (ending_.load() || close) {
        if (keep_) SayKept(keep_());
        if (ending_.load()) return;
      }
      control_.RequestNoNewStarts();
      SayWaiting(RunningPorts().size());
      if (control_.StartInProgress()) SayAlreadyInRomMode(control_.PortsLeftInRomMode());
      return;
    }
    if (keep_) SayKept(keep_());
    if (close) return;  // the wait in the handler is all a closed window gets
    SayQuitAtOnce(RunningPorts());
    // At once: the workers still hold the drives, so no destructor may run.
    std::_Exit(kExitInterrupted);
  }

  engine::RunControl& control_;
  engine::Station& station_;
  const RecordKeeper keep_;
  std::atomic<int> signals_{0};
  std::atomic<bool> ending_{false};
};
#endif

// A run needs the station's files: without them every option reads as off
// and a run would "pass" drives it never programmed. Empty when all is there,
// else what is missing.
std::string MissingStationFile(const settings::StationPaths& paths) {
  std::error_code ec;
  if (!std::filesystem::is_directory(paths.gExeDir, ec)) {
    return "the station folder " + paths.gExeDir +
           " does not exist: give --dir a station folder (examples/station is one)";
  }
  if (!std::filesystem::is_regular_file(paths.gSettingsPath, ec)) {
    return "the settings file " + paths.gSettingsPath + " does not exist: a run needs its options";
  }
  if (!std::filesystem::is_regular_file(paths.gFlashIniPath, ec)) {
    return "the flash catalogue " + paths.gFlashIniPath +
           " does not exist: a run needs its firmware files";
  }
  return {};
}

// The barcode list of --barcodes: a file, or standard input for "-".
std::optional<std::vector<std::string>> ReadBarcodes(const std::string& file, std::string* error) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = "cannot read the barcode list " + file;
      return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  std::string why;
  auto codes = ParseBarcodeList(text, &why);
  if (!codes)
    *error = "the barcode list " + (file == "-" ? "on standard input" : file) + ": " + why;
  return codes;
}

int Main(const std::vector<std::string>& args) {
#ifdef QELVAR_WITH_LEDGER
  if (IsLedgerCommand(args)) return RunLedgerCommand(args);
#endif
  std::string error;
  std::optional<CliOptions> parsed = ParseCliOptions(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "qelvar-cli: %s\n%s", error.c_str(), kCliUsage);
    return kExitUsage;
  }
  const CliOptions& o = *parsed;
  if (o.help) {
    std::fputs(kCliUsage, stdout);
#ifdef QELVAR_WITH_LEDGER
    std::printf("\nThe records of finished drives:\n%s", kLedgerUsage);
#endif
    return kExitPassed;
  }
  if (o.version) {
    std::printf("qelvar-cli %s\n", ProgramVersion());
    return kExitPassed;
  }
  const bool running = o.command == "run" || o.command == "run-port";
#ifndef QELVAR_WITH_LEDGER
  if (!o.ledgerUrl.empty()) {
    std::fprintf(stderr,
                 "qelvar-cli: --ledger: this build has no ledger (SQLite and PostgreSQL "
                 "are not part of it)\n");
    return kExitUsage;
  }
#endif

  settings::StationPaths paths = settings::MakeStationPaths(o.dir);
  if (running) {
    // Before anything is sent to a drive.
    const std::string missing = MissingStationFile(paths);
    if (!missing.empty()) {
      std::fprintf(stderr, "qelvar-cli: %s\n", missing.c_str());
      return kExitUsage;
    }
  }
  // What keeps this user from the drives or the station folder, said before
  // a command sends anything to a drive.
  const StationAccess access =
      o.command.empty() ? StationAccess{} : CheckStationAccess(paths.gExeDir, !o.sim, running);
  for (const std::string& text : access.warnings)
    std::fprintf(stderr, "qelvar-cli: %s\n", text.c_str());
  for (const std::string& text : access.errors)
    std::fprintf(stderr, "qelvar-cli: %s\n", text.c_str());
  if (!access.errors.empty()) return kExitUsage;

  std::optional<std::vector<std::string>> barcodes;
  if (!o.barcodesFile.empty()) {
    barcodes = ReadBarcodes(o.barcodesFile, &error);
    if (!barcodes) {
      std::fprintf(stderr, "qelvar-cli: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  // Before any thread starts, so that only the handler's thread takes them.
  if (running) InterruptHandler::BlockSignals();

  AssemblyOptions assemblyOptions{o.sim,     o.simFile,      o.virtualTime,
                                  o.scaled,  o.timeScale,    o.traceFile,
                                  o.dumpDir, o.debugLogFile, o.recordWin32File};
  std::unique_ptr<StationAssembly> assembly = StationAssembly::Create(assemblyOptions, &error);
  if (!assembly) {
    std::fprintf(stderr, "qelvar-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  engine::Station& station = assembly->station();
  // Declared after the assembly: written before the transport goes away, and
  // after every worker has ended.
  std::unique_ptr<DiagnosticsFile> diagnostics;
  if (!o.diagnosticsFile.empty()) {
    diagnostics = std::make_unique<DiagnosticsFile>(o.diagnosticsFile, station.ports);
    assembly->links().transport.SetRecorder(
        [file = diagnostics.get()](const transport::ExchangeRecord& r) { file->Add(r); });
  }

  // The record from the settings file, with the warnings the window gives
  // at start.
  StderrMessages messages;
  settings::MpSettings options;
  settings::CheckFlashCatalogue(paths, messages);
  (void)settings::LoadSettings(paths, messages, options);
  station.options.Publish(options);
  if (barcodes) {
    // As the barcode dialog takes them: code k for port k, then Finish.
    station.options.Update([&](settings::MpSettings& s) {
      for (const std::string& code : *barcodes) (void)engine::AddBarcode(station, s, code);
    });
    std::string why;
    if (!engine::FinishBarcodes(station, *station.options.Current(), paths.gSettingsPath, &why)) {
      std::fprintf(stderr, "qelvar-cli: could not record the barcode list in %s: %s\n",
                   paths.gSettingsPath.c_str(), why.c_str());
    }
  }

  discovery::PortListModel model;
  const bool terminal = !o.json && ::isatty(STDOUT_FILENO);
  LiveListSink list(model, stdout, terminal);
  list.SetRdtColumns(options.ScanRDT == 0);
  CompletionQueue completions;
  CliPage runPage(station.options, messages, list);
  // Declared before the run control: its workers hand their records to it.
#ifdef QELVAR_WITH_LEDGER
  std::unique_ptr<engine::LedgerLink> ledgerLink;
#endif
  engine::RunControl control(station, assembly->links(), list, completions, runPage, paths);
  // A piped line names the serial a port is given once its worker runs (the
  // cell shows the drive's own until the port passes).
  list.SetSerialSource([&station, &control](int row) -> std::string {
    if (station.ports.gPortStatus[static_cast<size_t>(row)].load() == discovery::kReady) return {};
    return control.GivenSerial(row);
  });
  assembly->AttachFormatter(control, messages);
  assembly->AttachDebugLog(control);
#ifdef QELVAR_WITH_LEDGER
  if (running) {
    ledgerLink = AttachLedger(control, paths, o.ledgerUrl, "qelvar-cli");
  }
#endif

  control.Scan();
  // Ports whose bridge cannot carry the flow are never started: say which
  // and why, once, before anything else.
  if (o.command == "run" || o.command == "run-port") {
    for (int p = 0; p < discovery::kPortCount; ++p) {
      const discovery::BridgeInfo& b = station.ports.gDeviceInfo[static_cast<size_t>(p)].bridge;
      if (!b.probed || b.supported) continue;
      std::fprintf(stderr, "qelvar-cli: port %d: Unsupported bridge %04x:%04x, not started: %s\n",
                   p + 1, b.vid, b.pid, b.reason);
    }
  }
  auto anyDrive = [&] {
    for (const auto& info : station.ports.gDeviceInfo) {
      if (info.HasDrive()) return true;
    }
    return false;
  };

  auto printResult = [&] {
    int pass = station.run.passCount.load();
    int fail = station.run.failCount.load();
    if (o.json) {
      std::fputs(FormatPortJson(model, pass + fail, pass, fail, &station.ports).c_str(), stdout);
    } else {
      std::fputs(FormatPortTable(model).c_str(), stdout);
      std::printf("Sum: %d  Pass: %d  Fail: %d\n", pass + fail, pass, fail);
    }
  };

  if (o.command == "bridges") {
    std::fputs(FormatBridgeList(station.ports, o.json).c_str(), stdout);
    if (o.writeTable) {
      const std::string path = paths.gExeDir + "/" + std::string(discovery::kBridgeTableFile);
      std::string table;
      (void)settings::ReadWholeFile(path, table);
      int added = 0;
      std::string text = BridgeTableWithFindings(table, station.ports, &added);
      if (added > 0 && !platform::ReplaceFile(path, text)) {
        std::fprintf(stderr, "qelvar-cli: cannot write the bridge table %s\n", path.c_str());
        return kExitUsage;
      }
      std::fprintf(stderr, "qelvar-cli: %d bridge(s) added to %s\n", added, path.c_str());
    }
    return kExitPassed;
  }

  if (o.command == "scan") {
    printResult();
    if (std::string why; !assembly->SaveWin32Recording(&why)) {
      std::fprintf(stderr, "qelvar-cli: cannot write the Win32 recording %s: %s\n",
                   o.recordWin32File.c_str(), why.c_str());
      return kExitUsage;
    }
    return kExitPassed;
  }

  if (o.command == "watch") {
    std::string note;
    std::unique_ptr<platform::DeviceMonitor> monitor = assembly->CreateMonitor(&note);
    if (!note.empty()) std::fprintf(stderr, "qelvar-cli: %s\n", note.c_str());
    CompletionQueue changes;
    std::string why;
    if (!monitor->Start(
            [&](platform::DeviceChange, const std::string&) { changes.PostWorkerDone(); }, &why)) {
      std::fprintf(stderr, "qelvar-cli: cannot watch for device changes: %s\n", why.c_str());
      return kExitUsage;
    }
    std::signal(SIGINT, [](int) { gInterrupted = 1; });
    std::signal(SIGTERM, [](int) { gInterrupted = 1; });
    printResult();
    std::fflush(stdout);
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(static_cast<int64_t>(o.forSeconds * 1000));
    while (!gInterrupted && (o.forSeconds <= 0 || std::chrono::steady_clock::now() < until)) {
      if (!changes.Take(std::chrono::milliseconds(100))) continue;
      while (changes.Take(std::chrono::milliseconds(0))) {
      }
      control.Scan();
      printResult();
      std::fflush(stdout);
    }
    monitor->Stop();
    return kExitPassed;
  }

  if (!anyDrive()) {
    std::fprintf(stderr, "qelvar-cli: no drive on any port: plug the drives in and try again\n");
    return kExitUsage;
  }

  RecordKeeper keepRecords;
#ifdef QELVAR_WITH_LEDGER
  if (ledgerLink) keepRecords = [link = ledgerLink.get()] { return link->KeepAll(); };
#endif
  InterruptHandler interrupts(control, station, keepRecords);
  const int32_t failedBefore = station.run.failCount.load();
  list.SetLive(!o.json);
  if (o.command == "run") {
    engine::StartOutcome outcome =
        control.OnStart(engine::StartControlsOf(*station.options.Current()));
    if (outcome != engine::StartOutcome::kStarted) {
      list.SetLive(false);
      if (outcome == engine::StartOutcome::kNoDrive) {
        std::fprintf(stderr,
                     "qelvar-cli: no drive answered after ROM entry; nothing was started\n");
      }
      printResult();
      if (outcome == engine::StartOutcome::kStopped) {
        SayLeftInRomMode(control.PortsLeftInRomMode());
        return kExitInterrupted;
      }
      return kExitUsage;
    }
  } else {  // run-port
    engine::SinglePortOutcome outcome = control.StartSinglePort(o.port);
    if (outcome != engine::SinglePortOutcome::kStarted) {
      list.SetLive(false);
      if (outcome == engine::SinglePortOutcome::kNoDrive) {
        std::fprintf(stderr, "qelvar-cli: port %d has no drive\n", o.port + 1);
      }
      return outcome == engine::SinglePortOutcome::kStopped ? kExitInterrupted : kExitUsage;
    }
  }

  // Until the run ends: handle completions (a terminal's rows redraw themselves).
  // A single-port start ends no run (the other ports' done flags are clear
  // after a scan): it is over when its worker has reported.
  bool ended = false;
  while (o.command == "run" ? !ended : control.AnyWorkerRunning()) {
    if (completions.Take(std::chrono::milliseconds(100))) ended = control.OnWorkerDone();
  }
  // From here a Ctrl-C keeps the records still to be written at once.
  interrupts.Ending();
  list.SetLive(false);
  if (assembly->sim()) assembly->sim()->Flush();
  // The formats started at the end of the run run on as their own processes:
  // a line script must not go on before they have ended.
  if (format::WaitForFormats(assembly->volumes(), assembly->clock(), messages, 10 * 60 * 1000,
                             assembly->FormatLog()) > 0) {
    std::fprintf(stderr, "qelvar-cli: some formats were still running after 10 minutes\n");
  }

  // The serial number for the next drive was saved at Start, as soon as the
  // ports had theirs.

  printResult();
  if (!o.json && o.command == "run") {
    // The moment the last port ended, on the run's own clock: on virtual
    // time each port keeps its own, and the main thread's is only its share.
    std::printf("Time: %s\n", engine::ElapsedText(control.LastPortEndedMs() / 1000).c_str());
  }
#ifdef QELVAR_WITH_LEDGER
  // The run's records, while Ctrl-C and SIGTERM still keep them at once
  // (and a second one quits at once); then what is still not stored is named.
  bool unstored = false;
  if (ledgerLink) {
    std::fflush(stdout);
    if (!ledgerLink->Flush(ledgerLink->FlushBoundMs())) {
      SayKept(ledgerLink->KeepAll());
      (void)ledgerLink->Flush(ledgerLink->FlushBoundMs());
    }
    unstored = SayUnstoredRecords(*ledgerLink, "qelvar-cli");
  }
#else
  const bool unstored = false;
#endif
  // A stop during the Start leaves drives it found unstarted (those it sent
  // into ROM mode need a run): never a success.
  if (interrupts.Interrupted()) {
    const std::vector<int> started = control.StartedPorts();
    bool unstarted = false;
    for (int p = 0; p < discovery::kPortCount; ++p) {
      if (station.ports.gDeviceInfo[static_cast<size_t>(p)].HasDrive() &&
          std::find(started.begin(), started.end(), p) == started.end()) {
        unstarted = true;
      }
    }
    if (unstarted) {
      SayLeftInRomMode(control.PortsLeftInRomMode());
      return kExitInterrupted;
    }
  }
  // The ports the run control started, whatever their rows showed when
  // Start returned: a port may fail before that.
  // A result that is not stored outweighs the ports' own: it needs a hand.
  if (unstored) return kExitUnstored;
  if (station.run.failCount.load() != failedBefore) return kExitFailed;
  for (int p : control.StartedPorts()) {
    if (station.ports.gPortStatus[static_cast<size_t>(p)].load() != discovery::kPassed) {
      return kExitFailed;
    }
  }
  return kExitPassed;
}

}  // namespace
}  // namespace qelvar::app

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#ifdef QELVAR_WITH_LEDGER
  qelvar::app::HidePasswordsInArguments(argc, argv);
#endif
  return qelvar::app::Main(args);
}
