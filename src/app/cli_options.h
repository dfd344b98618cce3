// The command line of qelvar-cli.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelvar::app {

struct CliOptions {
  std::string dir;         // --dir: the station folder; empty: the default one (DefaultStationDir)
  bool sim = false;        // --sim
  std::string simFile;     // --sim FILE; empty: the built-in station
  double timeScale = 1.0;  // --time-scale X
  bool scaled = false;
  bool virtualTime = false;  // --virtual-time
  std::string traceFile;     // --trace FILE (simulated station)
  std::string dumpDir;       // --dump DIR (simulated station)
  bool json = false;         // --json
  std::string command;       // scan | run | run-port | watch | bridges
  bool writeTable = false;   // bridges --write-table
  // run-port N: N counts from 1 as the Port column does; this is N - 1.
  int port = -1;
  double forSeconds = 0;  // watch --for SECONDS; 0: until interrupted
  // --diagnostics FILE: every exchange with a drive, one JSON line each.
  std::string diagnosticsFile;
  // --debug-log FILE: the scan's trace and the format's lines; off when empty.
  std::string debugLogFile;
  // run --barcodes FILE: one code per line in port order; "-" reads stdin.
  std::string barcodesFile;
  bool help = false;     // --help / -h: print the usage, nothing else
  bool version = false;  // --version: print the version, nothing else
  // --ledger URL: the line ledger (postgresql://...) instead of [Ledger] Url=.
  std::string ledgerUrl;
  // --record-win32 FILE (scan on Windows): every Win32 call of the scan.
  std::string recordWin32File;
};

// The station's version, as the build's project() gives it.
[[nodiscard]] const char* ProgramVersion();

inline constexpr const char* kCliUsage =
    "usage: qelvar-cli [--dir STATION_DIR] [--sim [STATION_FILE]] [--time-scale X | "
    "--virtual-time]\n"
    "                  [--trace FILE] [--dump DIR] [--json] [--diagnostics FILE]\n"
    "                  [--debug-log FILE] [--ledger URL] [--record-win32 FILE]\n"
    "                  (scan | run [--barcodes FILE|-] | run-port N | watch [--for SECONDS]\n"
    "                   | bridges [--write-table])\n"
    "       qelvar-cli --help | --version\n"
    "\n"
    "  scan          list the 16 ports\n"
    "  run           the Start button: every port with a drive\n"
    "  run-port N    the single-port start on port N (1-16, as the Port column counts)\n"
    "  watch         rescan at every plugged or pulled drive\n"
    "  bridges       each port's bridge: VID:PID, product, speed, route, sense, largest\n"
    "                transfer, and whether bridges.ini or the probe decided\n"
    "  --write-table add the probe's findings for bridges not in bridges.ini to it\n"
    "  --barcodes F  serial numbers from a barcode list, one per line in port order\n"
    "                (at most 16, '-' reads standard input)\n"
    "  --debug-log F the scan's trace and the format's lines, written to F\n"
    "  --ledger URL  the line's ledger (postgresql://...) instead of [Ledger] Url=\n"
    "Exit status: 0 every started port passed, 1 a port failed, 2 usage or setup error,\n"
    "130 quit at once by a second Ctrl-C.\n";

// Parses argv; on a usage error returns nothing and sets *error to what to fix.
// --help and --version end the parse at once: nothing else is checked.
std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args, std::string* error);

// The codes of a barcode list, one line each in port order, under the
// barcode dialog's rules: letters upper-cased as the dialog's edit does, an
// empty line an empty code, at most 16 codes. A code longer than the 20
// characters a serial number holds is refused rather than cut. On a fault
// returns nothing and sets *error.
std::optional<std::vector<std::string>> ParseBarcodeList(std::string_view text, std::string* error);

// The command line of the window: the station options of qelvar-cli (without
// a command, --json, --for or --barcodes), plus --run and --screenshot FILE.
struct WindowOptions {
  CliOptions station;      // command empty
  bool run = false;        // --run: press Start once the window is up
  std::string screenshot;  // --screenshot FILE: save the window as PNG and exit
};

inline constexpr const char* kWindowUsage =
    "usage: qelvar [--dir STATION_DIR] [--sim [STATION_FILE]] [--time-scale X | --virtual-time]\n"
    "              [--trace FILE] [--dump DIR] [--debug-log FILE] [--ledger URL] [--run]\n"
    "              [--screenshot FILE.png]\n"
    "       qelvar --help | --version\n";

// True when the words hold --help (or -h) or --version: the window answers
// those before it needs a display.
[[nodiscard]] bool AsksForHelpOrVersion(const std::vector<std::string>& args, bool* version);

std::optional<WindowOptions> ParseWindowOptions(const std::vector<std::string>& args,
                                                std::string* error);

}  // namespace qelvar::app
