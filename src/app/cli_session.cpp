#include "app/cli_session.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#ifdef QELVAR_WITH_LEDGER
#include "app/cli_ledger.h"
#endif
#include "app/interrupt_handler.h"
#include "app/station_access.h"
#include "engine/barcode_list.h"
#include "platform/terminal.h"
#include "settings/flash_catalogue.h"
#include "settings/settings_file.h"

namespace qelvar::app {
namespace {

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

// What keeps this user from the drives or the station folder, said before
// a command sends anything to a drive. False when it stops the command.
bool SayStationAccess(const CliSession& s) {
  const CliOptions& o = s.options;
  const StationAccess access =
      o.command.empty() ? StationAccess{} : CheckStationAccess(s.paths.gExeDir, !o.sim, s.running());
  for (const std::string& text : access.warnings)
    std::fprintf(stderr, "qelvar-cli: %s\n", text.c_str());
  for (const std::string& text : access.errors)
    std::fprintf(stderr, "qelvar-cli: %s\n", text.c_str());
  return access.errors.empty();
}

// As the barcode dialog takes them: code k for port k, then Finish.
void TakeBarcodes(CliSession& s, const std::vector<std::string>& barcodes) {
  engine::Station& station = s.station();
  station.options.Update([&](settings::MpSettings& options) {
    for (const std::string& code : barcodes) (void)engine::AddBarcode(station, options, code);
  });
  std::string why;
  if (!engine::FinishBarcodes(station, *station.options.Current(), s.paths.gSettingsPath, &why)) {
    std::fprintf(stderr, "qelvar-cli: could not record the barcode list in %s: %s\n",
                 s.paths.gSettingsPath.c_str(), why.c_str());
  }
}

// The page, the list and the run control over the assembled station.
void BuildRunControl(CliSession& s) {
  const CliOptions& o = s.options;
  engine::Station& station = s.station();
  const bool terminal = !o.json && platform::IsTerminal(stdout);
  s.list = std::make_unique<LiveListSink>(s.model, stdout, terminal);
  s.list->SetRdtColumns(s.pageOptions.ScanRDT == 0);
  s.runPage = std::make_unique<CliPage>(station.options, s.messages, *s.list);
  s.control = std::make_unique<engine::RunControl>(station, s.assembly->links(), *s.list,
                                                   s.completions, *s.runPage, s.paths);
  engine::RunControl& control = *s.control;
  // A piped line names the serial a port is given once its worker runs (the
  // cell shows the drive's own until the port passes).
  s.list->SetSerialSource([&station, &control](int row) -> std::string {
    if (station.ports.gPortStatus[static_cast<size_t>(row)].load() == discovery::kReady) return {};
    return control.GivenSerial(row);
  });
  s.assembly->AttachFormatter(control, s.messages);
  s.assembly->AttachDebugLog(control);
#ifdef QELVAR_WITH_LEDGER
  if (s.running()) {
    s.ledgerLink = AttachLedger(control, s.paths, o.ledgerUrl, "qelvar-cli");
  }
#endif
}

}  // namespace

void LoadStationOptions(const settings::StationPaths& paths, settings::MessageSink& messages,
                        settings::MpSettings& options) {
  settings::CheckFlashCatalogue(paths, messages);
  (void)settings::LoadSettings(paths, messages, options);
}

std::unique_ptr<CliSession> OpenCliSession(const CliOptions& o, int* status) {
  *status = kExitUsage;
  auto s = std::make_unique<CliSession>(o);
  s->paths = settings::MakeStationPaths(o.dir);
  if (s->running()) {
    // Before anything is sent to a drive.
    const std::string missing = MissingStationFile(s->paths);
    if (!missing.empty()) {
      std::fprintf(stderr, "qelvar-cli: %s\n", missing.c_str());
      return nullptr;
    }
  }
  if (!SayStationAccess(*s)) return nullptr;

  std::string error;
  std::optional<std::vector<std::string>> barcodes;
  if (!o.barcodesFile.empty()) {
    barcodes = ReadBarcodes(o.barcodesFile, &error);
    if (!barcodes) {
      std::fprintf(stderr, "qelvar-cli: %s\n", error.c_str());
      return nullptr;
    }
  }
  // Before any thread starts, so that only the handler's thread takes them.
  if (s->running()) InterruptHandler::BlockSignals();

  AssemblyOptions assemblyOptions{o.sim,     o.simFile,      o.virtualTime,
                                  o.scaled,  o.timeScale,    o.traceFile,
                                  o.dumpDir, o.debugLogFile, o.recordWin32File};
  s->assembly = StationAssembly::Create(assemblyOptions, &error);
  if (!s->assembly) {
    std::fprintf(stderr, "qelvar-cli: %s\n", error.c_str());
    return nullptr;
  }
  if (!o.diagnosticsFile.empty()) {
    s->diagnostics = std::make_unique<DiagnosticsFile>(o.diagnosticsFile, s->station().ports);
    s->assembly->links().transport.SetRecorder(
        [file = s->diagnostics.get()](const transport::ExchangeRecord& r) { file->Add(r); });
  }

  LoadStationOptions(s->paths, s->messages, s->pageOptions);
  s->station().options.Publish(s->pageOptions);
  if (barcodes) TakeBarcodes(*s, *barcodes);

  BuildRunControl(*s);
  s->control->Scan();
  *status = kExitPassed;
  return s;
}

void PrintResult(CliSession& s) {
  engine::Station& station = s.station();
  int pass = station.run.passCount.load();
  int fail = station.run.failCount.load();
  if (s.options.json) {
    std::fputs(FormatPortJson(s.model, pass + fail, pass, fail, &station.ports).c_str(), stdout);
  } else {
    std::fputs(FormatPortTable(s.model).c_str(), stdout);
    std::printf("Sum: %d  Pass: %d  Fail: %d\n", pass + fail, pass, fail);
  }
}

}  // namespace qelvar::app
