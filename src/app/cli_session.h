// The station as qelvar-cli's commands find it: assembled, its page filled
// from the settings file and the catalogue, its ports scanned once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/cli_page.h"
#include "app/completion_queue.h"
#include "app/diagnostics_file.h"
#include "app/station_assembly.h"
#include "app/stderr_messages.h"
#include "discovery/port_list.h"
#include "engine/run_control.h"
#include "settings/mp_settings.h"
#include "settings/station_paths.h"

#ifdef QELVAR_WITH_LEDGER
#include "engine/ledger_link.h"
#endif

namespace qelvar::app {

inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnstored = 3;      // a result of the run is not in the ledger
inline constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as a shell reports it

// The members go in the order they are set up and go away in the reverse.
struct CliSession {
  explicit CliSession(const CliOptions& o) : options(o) {}

  const CliOptions& options;
  settings::StationPaths paths;
  std::unique_ptr<StationAssembly> assembly;
  // After the assembly: written before the transport goes away, and after
  // every worker has ended.
  std::unique_ptr<DiagnosticsFile> diagnostics;
  StderrMessages messages;
  settings::MpSettings pageOptions;
  discovery::PortListModel model;
  std::unique_ptr<LiveListSink> list;
  CompletionQueue completions;
  std::unique_ptr<CliPage> runPage;
#ifdef QELVAR_WITH_LEDGER
  // Before the run control: its workers hand their records to it.
  std::unique_ptr<engine::LedgerLink> ledgerLink;
#endif
  std::unique_ptr<engine::RunControl> control;

  [[nodiscard]] engine::Station& station() { return assembly->station(); }
  [[nodiscard]] bool running() const {
    return options.command == "run" || options.command == "run-port";
  }
};

// Opens the station for the command of `o` and scans its ports. Nothing,
// with what went wrong said on standard error and `*status` set to the exit
// status, when the command cannot go on.
[[nodiscard]] std::unique_ptr<CliSession> OpenCliSession(const CliOptions& o, int* status);

// The record from the settings file, with the warnings the window gives at
// start (a missing catalogue, a missing settings file, missing firmware).
void LoadStationOptions(const settings::StationPaths& paths, settings::MessageSink& messages,
                        settings::MpSettings& options);

// The ports' table (or JSON) and the run's counts on standard output.
void PrintResult(CliSession& s);

}  // namespace qelvar::app
