// qelvar-cli: the station without a window, for automation and line scripts.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/cli_ledger.h"
#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/station_assembly.h"
#include "engine/run_control.h"
#include "format/format_drives.h"
#include "platform/files.h"
#include "platform/sim/sim_station.h"
#include "settings/control_memory.h"
#include "settings/flash_catalogue.h"
#include "settings/profile.h"
#include "settings/settings_file.h"

namespace qelvar::app {
namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

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

class CliPage final : public engine::RunPage {
 public:
  CliPage(settings::ControlMemory& view, settings::MessageSink& messages)
      : view_(view), messages_(messages) {}
  void EnableRunButtons(bool) override {}
  void SetTimeText(std::string_view) override {}
  void SetSnEditText(std::string_view text) override {
    view_.SetEditText(settings::ctl::kSN, text);
  }
  bool FormatChecked() override { return view_.IsChecked(settings::ctl::kFormatEn); }
  settings::MessageSink& Messages() override { return messages_; }

 private:
  settings::ControlMemory& view_;
  settings::MessageSink& messages_;
};

// Every exchange with a drive, kept in memory and written in one piece when
// the program ends, so an interrupted run never leaves half a file.
class DiagnosticsFile {
 public:
  explicit DiagnosticsFile(std::string path) : path_(std::move(path)) {}
  ~DiagnosticsFile() {
    if (!platform::ReplaceFile(path_, text_)) {
      std::fprintf(stderr, "qelvar-cli: cannot write the diagnostics file %s\n", path_.c_str());
    }
  }
  DiagnosticsFile(const DiagnosticsFile&) = delete;
  DiagnosticsFile& operator=(const DiagnosticsFile&) = delete;

  // Called from every thread that talks to a drive.
  void Add(const transport::ExchangeRecord& record) {
    std::string line = FormatExchangeJson(record);
    std::lock_guard lock(mutex_);
    text_ += line;
  }

 private:
  std::string path_;
  std::mutex mutex_;
  std::string text_;
};

volatile std::sig_atomic_t gInterrupted = 0;

int Main(const std::vector<std::string>& args) {
  if (IsLedgerCommand(args)) return RunLedgerCommand(args);
  std::string error;
  std::optional<CliOptions> parsed = ParseCliOptions(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "qelvar-cli: %s\n%s", error.c_str(), kCliUsage);
    return kExitUsage;
  }
  const CliOptions& o = *parsed;

  AssemblyOptions assemblyOptions{o.sim,       o.simFile,   o.virtualTime, o.scaled,
                                  o.timeScale, o.traceFile, o.dumpDir};
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
    diagnostics = std::make_unique<DiagnosticsFile>(o.diagnosticsFile);
    assembly->links().transport.SetRecorder(
        [file = diagnostics.get()](const transport::ExchangeRecord& r) { file->Add(r); });
  }

  // The page: the settings file and the catalogue fill the controls, as the
  // window's page does at start.
  settings::StationPaths paths = settings::MakeStationPaths(o.dir);
  settings::ControlMemory view;
  StderrMessages messages;
  for (const char* item :
       {"Whole Nand Space", "Whole Nand Space Without WPB0", "Whole Nand Space Without Keep"}) {
    view.AddComboItem(settings::ctl::kNandEraseSelect, item);
  }
  view.SetComboSelection(settings::ctl::kNandEraseSelect, 2);
  for (const char* item : {"Default", "Bin12", "Bin23"})
    view.AddComboItem(settings::ctl::kSetBin, item);
  settings::MpSettings options;
  settings::PageContext page{paths, options, view, messages};
  settings::LoadFlashCatalogue(page);
  settings::LoadSettings(page);
  view.SetComboSelection(settings::ctl::kSetBin, options.SetBin);
  station.options.Publish(options);

  discovery::PortListModel model;
  const bool terminal = !o.json && ::isatty(STDOUT_FILENO);
  LiveListSink list(model, stdout, terminal);
  list.SetRdtColumns(options.ScanRDT == 0);
  CompletionQueue completions;
  CliPage runPage(view, messages);
  // Declared before the run control: its workers hand their records to it.
  std::unique_ptr<engine::LedgerLink> ledgerLink;
  engine::RunControl control(station, assembly->links(), list, completions, runPage, paths);
  assembly->AttachFormatter(control, messages);
  if (o.command == "run" || o.command == "run-port") {
    ledgerLink = AttachLedger(control, paths, o.ledgerUrl, "qelvar-cli");
  }

  control.Scan();
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

  if (o.command == "scan") {
    printResult();
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

  std::vector<int> started;
  const std::string snBefore = view.EditText(settings::ctl::kSN);
  list.SetLive(!o.json);
  if (o.command == "run") {
    engine::StartControls controls;
    controls.modelName = view.EditText(settings::ctl::kModelName);
    controls.keepSn = view.IsChecked(settings::ctl::kKeepSN);
    controls.spiDisable = view.IsChecked(settings::ctl::kSpiDisable);
    controls.skipRunBad = view.IsChecked(settings::ctl::kSkipRunBad);
    controls.fwVersion = view.EditText(settings::ctl::kFWVersion);
    controls.snEdit = view.EditText(settings::ctl::kSN);
    engine::StartOutcome outcome = control.OnStart(controls);
    if (outcome != engine::StartOutcome::kStarted) {
      list.SetLive(false);
      if (outcome == engine::StartOutcome::kNoDrive) {
        std::fprintf(stderr,
                     "qelvar-cli: no drive answered after ROM entry; nothing was started\n");
      }
      printResult();
      return kExitUsage;
    }
  } else {  // run-port
    engine::SinglePortOutcome outcome = control.StartSinglePort(o.port);
    if (outcome != engine::SinglePortOutcome::kStarted) {
      list.SetLive(false);
      if (outcome == engine::SinglePortOutcome::kNoDrive) {
        std::fprintf(stderr, "qelvar-cli: port %d has no drive\n", o.port);
      }
      return kExitUsage;
    }
  }
  for (int p = 0; p < discovery::kPortCount; ++p) {
    if (station.ports.gPortStatus[static_cast<size_t>(p)].load() == discovery::kRunning) {
      started.push_back(p);
    }
  }

  // Until the run ends: handle completions, redraw the rows on a terminal.
  // A single-port start ends no run (the other ports' done flags are clear
  // after a scan): it is over when its worker has reported.
  bool ended = false;
  while (o.command == "run" ? !ended : control.AnyWorkerRunning()) {
    if (completions.Take(std::chrono::milliseconds(100))) ended = control.OnWorkerDone();
    list.Redraw();
  }
  list.SetLive(false);
  if (assembly->sim()) assembly->sim()->Flush();
  // The formats started at the end of the run run on as their own processes:
  // a line script must not go on before they have ended.
  if (format::WaitForFormats(assembly->volumes(), assembly->clock(), messages, 10 * 60 * 1000) > 0) {
    std::fprintf(stderr, "qelvar-cli: some formats were still running after 10 minutes\n");
  }

  // The serial number for the next drive, so the next run never repeats one.
  if (view.EditText(settings::ctl::kSN) != snBefore) {
    if (!settings::WriteProfileString(paths.gSettingsPath, "Identify", "SN",
                                      view.EditText(settings::ctl::kSN))) {
      std::fprintf(stderr, "qelvar-cli: could not save the next serial number to %s\n",
                   paths.gSettingsPath.c_str());
    }
  }

  printResult();
  if (!o.json && o.command == "run") {
    std::printf(
        "Time: %s\n",
        engine::ElapsedText(assembly->clock().CalendarSeconds() - control.StartTime()).c_str());
  }
  for (int p : started) {
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
  return qelvar::app::Main(args);
}
