// qelvar-cli: the station without a window, for automation and line scripts.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifdef QELVAR_WITH_LEDGER
#include "app/cli_ledger.h"
#endif
#include "app/cli_commands.h"
#include "app/cli_options.h"
#include "app/cli_session.h"

namespace qelvar::app {
namespace {

// What the program says without opening the station: a usage error, the
// help, the version, an option this build lacks. Nothing when the command
// goes on.
std::optional<int> AnswerWithoutStation(const std::optional<CliOptions>& parsed,
                                        const std::string& error) {
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
#ifndef QELVAR_WITH_LEDGER
  if (!o.ledgerUrl.empty()) {
    std::fprintf(stderr,
                 "qelvar-cli: --ledger: this build has no ledger (SQLite and PostgreSQL "
                 "are not part of it)\n");
    return kExitUsage;
  }
#endif
  return std::nullopt;
}

int Main(const std::vector<std::string>& args) {
#ifdef QELVAR_WITH_LEDGER
  if (IsLedgerCommand(args)) return RunLedgerCommand(args);
#endif
  std::string error;
  const std::optional<CliOptions> parsed = ParseCliOptions(args, &error);
  if (std::optional<int> answered = AnswerWithoutStation(parsed, error)) return *answered;
  const CliOptions& o = *parsed;

  int status = kExitPassed;
  std::unique_ptr<CliSession> session = OpenCliSession(o, &status);
  if (!session) return status;
  if (o.command == "bridges") return BridgesCommand(*session);
  if (o.command == "scan") return ScanCommand(*session);
  if (o.command == "watch") return WatchCommand(*session);
  return RunCommand(*session);
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
