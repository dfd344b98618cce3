#include "app/cli_options.h"

#include <cstdlib>

#include "engine/barcode_list.h"
#include "settings/mp_settings.h"

namespace qelvar::app {
namespace {

bool IsCommand(const std::string& word) {
  return word == "scan" || word == "run" || word == "run-port" || word == "watch" ||
         word == "bridges";
}

bool ParseNumber(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return end && *end == '\0';
}

}  // namespace

const char* ProgramVersion() {
  return QELVAR_VERSION;
}

bool AsksForHelpOrVersion(const std::vector<std::string>& args, bool* version) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      *version = false;
      return true;
    }
    if (a == "--version") {
      *version = true;
      return true;
    }
  }
  return false;
}

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args,
                                          std::string* error) {
  CliOptions o;
  auto fail = [&](std::string why) -> std::optional<CliOptions> {
    *error = std::move(why);
    return std::nullopt;
  };
  if (bool version = false; AsksForHelpOrVersion(args, &version)) {
    o.help = !version;
    o.version = version;
    return o;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) return nullptr;
      (void)what;
      return &args[++i];
    };
    if (a == "--dir") {
      const std::string* v = value("--dir");
      if (!v) return fail("--dir needs the station folder");
      o.dir = *v;
    } else if (a == "--sim") {
      o.sim = true;
      // The station file is optional: the next word is one unless it is an
      // option or the command.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 && !IsCommand(args[i + 1])) {
        o.simFile = args[++i];
      }
    } else if (a == "--time-scale") {
      const std::string* v = value("--time-scale");
      if (!v || !ParseNumber(*v, &o.timeScale) || !(o.timeScale > 0)) {
        return fail("--time-scale needs a positive number, e.g. --time-scale 0.01");
      }
      o.scaled = true;
    } else if (a == "--virtual-time") {
      o.virtualTime = true;
    } else if (a == "--trace") {
      const std::string* v = value("--trace");
      if (!v) return fail("--trace needs a file");
      o.traceFile = *v;
    } else if (a == "--dump") {
      const std::string* v = value("--dump");
      if (!v) return fail("--dump needs a folder");
      o.dumpDir = *v;
    } else if (a == "--diagnostics") {
      const std::string* v = value("--diagnostics");
      if (!v) return fail("--diagnostics needs a file");
      o.diagnosticsFile = *v;
    } else if (a == "--debug-log") {
      const std::string* v = value("--debug-log");
      if (!v) return fail("--debug-log needs a file");
      o.debugLogFile = *v;
    } else if (a == "--record-win32") {
      const std::string* v = value("--record-win32");
      if (!v) return fail("--record-win32 needs a file");
      o.recordWin32File = *v;
    } else if (a == "--barcodes") {
      const std::string* v = value("--barcodes");
      if (!v) return fail("--barcodes needs a file, or - for standard input");
      o.barcodesFile = *v;
    } else if (a == "--ledger") {
      const std::string* v = value("--ledger");
      if (!v) return fail("--ledger needs the ledger URL, e.g. postgresql://host/qelvar");
      o.ledgerUrl = *v;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--write-table") {
      o.writeTable = true;
    } else if (a == "--for") {
      const std::string* v = value("--for");
      if (!v || !ParseNumber(*v, &o.forSeconds) || o.forSeconds <= 0) {
        return fail("--for needs a positive number of seconds");
      }
    } else if (IsCommand(a)) {
      if (!o.command.empty()) return fail("only one command at a time");
      o.command = a;
      if (a == "run-port") {
        // The number the Port column shows: an operator types what the row says.
        double port = -1;
        if (i + 1 >= args.size() || !ParseNumber(args[i + 1], &port) || port < 1 || port > 16 ||
            port != static_cast<int>(port)) {
          return fail("run-port needs a port number from 1 to 16, as the Port column shows it");
        }
        o.port = static_cast<int>(port) - 1;
        ++i;
      }
    } else {
      return fail("unknown argument '" + a + "'");
    }
  }
  if (o.command.empty()) return fail("no command given");
  if (o.scaled && o.virtualTime) return fail("--time-scale and --virtual-time exclude each other");
  if ((o.scaled || o.virtualTime) && !o.sim) {
    return fail(
        "--time-scale and --virtual-time shorten pauses the controller needs: use them only with "
        "--sim");
  }
  if ((!o.traceFile.empty() || !o.dumpDir.empty()) && !o.sim) {
    return fail("--trace and --dump record the simulated station: use them with --sim");
  }
  if (o.forSeconds > 0 && o.command != "watch") return fail("--for belongs to watch");
  if (o.writeTable && o.command != "bridges") return fail("--write-table belongs to bridges");
  if (!o.barcodesFile.empty() && o.command != "run") return fail("--barcodes belongs to run");
  if (!o.recordWin32File.empty() && (o.command != "scan" || o.sim)) {
    return fail(
        "--record-win32 records the system's answers to one scan: use it with scan, "
        "without --sim");
  }
  return o;
}

std::optional<std::vector<std::string>> ParseBarcodeList(std::string_view text,
                                                         std::string* error) {
  std::vector<std::string> codes;
  constexpr size_t kMaxChars = settings::kBarcodeCapacity - 1;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string code(text.substr(at, end - at));
    at = end + 1;
    if (!code.empty() && code.back() == '\r') code.pop_back();
    if (codes.size() >= static_cast<size_t>(engine::kMaxBarcodes)) {
      *error = std::string(engine::kBarcodeFullText) + ": a barcode list holds at most " +
               std::to_string(engine::kMaxBarcodes) + " codes, one per port";
      return std::nullopt;
    }
    if (code.size() > kMaxChars) {
      *error = "the code on line " + std::to_string(codes.size() + 1) + " has more than " +
               std::to_string(kMaxChars) + " characters";
      return std::nullopt;
    }
    for (char& c : code) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    codes.push_back(std::move(code));
  }
  if (codes.empty()) {
    *error = "the barcode list holds no code";
    return std::nullopt;
  }
  return codes;
}

std::optional<WindowOptions> ParseWindowOptions(const std::vector<std::string>& args,
                                                std::string* error) {
  WindowOptions w;
  std::vector<std::string> station;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--run") {
      w.run = true;
    } else if (a == "--screenshot") {
      if (i + 1 >= args.size()) {
        *error = "--screenshot needs the PNG file to write";
        return std::nullopt;
      }
      w.screenshot = args[++i];
    } else if (IsCommand(a) || a == "--json" || a == "--for" || a == "--barcodes" ||
               a == "--record-win32" || a == "--write-table") {
      *error = "unknown argument '" + a + "' (the window has no commands: press its buttons)";
      return std::nullopt;
    } else {
      station.push_back(a);
    }
  }
  station.emplace_back("scan");  // the station options are checked as qelvar-cli checks them
  std::optional<CliOptions> parsed = ParseCliOptions(station, error);
  if (!parsed) return std::nullopt;
  w.station = *parsed;
  w.station.command.clear();
  return w;
}

}  // namespace qelvar::app
