// The ledger side of the programs: attaching the line ledger to a station's
// run control, and the qelvar-cli commands history, yield and ledger.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/ledger_link.h"
#include "engine/run_control.h"
#include "settings/station_paths.h"

namespace qelvar::app {

inline constexpr const char* kLedgerUsage =
    "       qelvar-cli [--dir STATION_DIR] [--ledger URL] history [--serial S] [--since DATE]\n"
    "                  [--until DATE] [--limit N] [--station NAME] [--failed] [--duplicates]\n"
    "                  [--aborted] [--json | --jsonl | --csv]\n"
    "       qelvar-cli [--dir STATION_DIR] [--ledger URL] yield [--since DATE]\n"
    "                  [--by part|station|day] [--json] [--html FILE]\n"
    "       qelvar-cli [--dir STATION_DIR] [--ledger URL] ledger sync|spool|migrate|check|recover\n"
    "       qelvar-cli --ledger URL ledger series add NAME SEED\n";

// Overwrites, in place, the password of every argument that holds one
// (--ledger URL) with ***, so that the process list shows it no longer once
// the program has read its arguments. Call after copying them.
void HidePasswordsInArguments(int argc, char** argv);

// True when the command line names one of the ledger commands.
[[nodiscard]] bool IsLedgerCommand(const std::vector<std::string>& args);
// Runs a ledger command; the program's exit code.
[[nodiscard]] int RunLedgerCommand(const std::vector<std::string>& args);

// Opens the station's ledger ([Ledger] of its settings, `urlOverride` from
// --ledger) and attaches it to `control`. When it cannot be opened, a line
// on standard error, and the link attached refuses every Start saying why.
[[nodiscard]] std::unique_ptr<engine::LedgerLink> AttachLedger(engine::RunControl& control,
                                                               const settings::StationPaths& paths,
                                                               const std::string& urlOverride,
                                                               const char* program);

// How long the end of a run waits for the ledger to take its records.
inline constexpr int64_t kUnstoredWaitMs = 60'000;

// The lines naming each finished port whose record is not stored; empty
// when there is none.
[[nodiscard]] std::string UnstoredRecordsText(const std::vector<engine::UnstoredRecord>& unstored);

// At the end of a run, once its records were waited for: lists on standard
// error each finished port whose record is not stored. True when there was
// any.
bool SayUnstoredRecords(engine::LedgerLink& link, const char* program);

}  // namespace qelvar::app
