// The command line of qelvar-cli.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qelvar::app {

struct CliOptions {
  std::string dir;         // --dir: the station folder; empty: the program's folder
  bool sim = false;        // --sim
  std::string simFile;     // --sim FILE; empty: the built-in station
  double timeScale = 1.0;  // --time-scale X
  bool scaled = false;
  bool virtualTime = false;  // --virtual-time
  std::string traceFile;     // --trace FILE (simulated station)
  std::string dumpDir;       // --dump DIR (simulated station)
  bool json = false;         // --json
  std::string command;       // scan | run | run-port | watch
  int port = -1;             // run-port N
  double forSeconds = 0;     // watch --for SECONDS; 0: until interrupted
  // --diagnostics FILE: every exchange with a drive, one JSON line each.
  std::string diagnosticsFile;
  // --ledger URL: the line ledger (postgresql://...) instead of [Ledger] Url=.
  std::string ledgerUrl;
};

inline constexpr const char* kCliUsage =
    "usage: qelvar-cli [--dir STATION_DIR] [--sim [STATION_FILE]] [--time-scale X | "
    "--virtual-time]\n"
    "                  [--trace FILE] [--dump DIR] [--json] [--diagnostics FILE]\n"
    "                  (scan | run | run-port N | watch [--for SECONDS])\n";

// Parses argv; on a usage error returns nothing and sets *error to what to fix.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string* error);

// The command line of the window: the station options of qelvar-cli (without
// a command, --json or --for), plus --run and --screenshot FILE.
struct WindowOptions {
  CliOptions station;      // command empty
  bool run = false;        // --run: press Start once the window is up
  std::string screenshot;  // --screenshot FILE: save the window as PNG and exit
};

inline constexpr const char* kWindowUsage =
    "usage: qelvar [--dir STATION_DIR] [--sim [STATION_FILE]] [--time-scale X | --virtual-time]\n"
    "              [--trace FILE] [--dump DIR] [--run] [--screenshot FILE.png]\n";

std::optional<WindowOptions> ParseWindowOptions(const std::vector<std::string>& args,
                                                std::string* error);

}  // namespace qelvar::app
