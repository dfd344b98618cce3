#include "app/cli_ledger.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "ledger/line_ledger.h"
#include "ledger/record_format.h"
#include "ledger/redact.h"
#include "ledger/sqlite_ledger.h"
#include "platform/files.h"

namespace qelvar::app {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitLedger = 1;
constexpr int kExitUsage = 2;

bool IsLedgerWord(const std::string& word) {
  return word == "history" || word == "yield" || word == "ledger";
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "qelvar-cli: %s\nusage:\n%s", why.c_str(), kLedgerUsage);
  return kExitUsage;
}

int Failed(const std::string& why) {
  std::fprintf(stderr, "qelvar-cli: %s\n", why.c_str());
  return kExitLedger;
}

// Text from a record or a server shown on a terminal: control characters
// and bytes that are not printable ASCII escaped.
std::string Shown(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

// One spooled record: its state, when it ended, its port, serial and ID,
// and the server's reason for a rejected one.
std::string SpoolLine(const ledger::SqliteLedger::SpoolEntry& entry) {
  const ledger::Record& r = entry.record;
  std::string line = (entry.rejected.empty() ? "waiting  " : "rejected ") +
                     ledger::IsoTimeOf(r.endedAtMs) + "  port " + std::to_string(r.port) +
                     "  serial " + Shown(r.serial) + "  " + r.id;
  if (!entry.rejected.empty()) line += ": " + Shown(entry.rejected);
  return line;
}

struct LedgerArgs {
  std::string dir;
  std::string url;
  std::string command;  // history | yield | ledger
  std::string action;   // ledger: sync | spool | migrate | series | check | recover
  std::string seriesName;
  std::string seriesSeed;
  ledger::HistoryQuery history;
  ledger::YieldQuery yield;
  bool json = false;
  bool jsonl = false;
  bool csv = false;
  std::string html;
};

// The station's own file: its ledger, or the spool of a shared one.
std::string LocalFile(const settings::StationPaths& paths, const engine::LedgerConfig& config) {
  return paths.gExeDir + "/" +
         (ledger::IsPostgresUrl(config.url) ? ledger::kSpoolFileName : ledger::kSqliteFileName);
}

int CheckOrRecover(const std::string& action, const settings::StationPaths& paths,
                   const engine::LedgerConfig& config) {
  const std::string file = LocalFile(paths, config);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    if (action == "check") {
      std::printf("%s: ok (not made yet)\n", file.c_str());
      return kExitOk;
    }
    return Failed("there is no ledger file " + file + " to recover");
  }
  std::string error;
  if (action == "check") {
    std::unique_ptr<ledger::SqliteLedger> store = ledger::SqliteLedger::Open(file, &error);
    if (!store) return Failed(error);
    const std::vector<std::string> damage = store->QuickCheck();
    if (damage.empty()) {
      std::printf("%s: ok\n", file.c_str());
      return kExitOk;
    }
    std::printf("%s is damaged:\n", file.c_str());
    for (const std::string& line : damage) std::printf("  %s\n", line.c_str());
    std::printf("close the station and run 'qelvar-cli ledger recover'\n");
    return kExitLedger;
  }
  ledger::SqliteLedger::Recovered report;
  if (!ledger::SqliteLedger::Recover(file, &report, &error)) return Failed(error);
  std::printf("recovered %zu record%s into a fresh %s", report.copied,
              report.copied == 1 ? "" : "s", file.c_str());
  if (report.unreadable > 0) std::printf("; %zu unreadable", report.unreadable);
  if (report.damagedRange) std::printf("; a damaged part of the file could not be read");
  std::printf("\nthe old file is kept as %s\n", report.asidePath.c_str());
  return kExitOk;
}

bool PositiveCount(const std::string& text, size_t* count) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *count = static_cast<size_t>(std::stoull(text));
  return *count > 0;
}

// The records as they are read, written out in blocks: the listing takes
// the same memory at any size. A listing cut short (the ledger failed
// midway, or stdout cannot be written) ends with exit 1 and says so.
int WriteHistory(ledger::Ledger& opened, const ledger::HistoryQuery& query,
                 ledger::RecordsFormat format) {
  constexpr size_t kBlock = 64 * 1024;
  ledger::RecordsWriter writer(format);
  std::string out;
  out.reserve(2 * kBlock);
  bool written = true;
  auto flush = [&] {
    if (written && !out.empty() && std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) {
      written = false;
    }
    out.clear();
    return written;
  };
  writer.Begin(&out);
  std::string error;
  const bool read = opened.HistoryEach(
      query,
      [&](const ledger::Record& record) {
        writer.Add(record, &out);
        return out.size() < kBlock || flush();
      },
      &error);
  if (read) writer.End(&out);
  if (!flush() || std::fflush(stdout) != 0) {
    return Failed(std::string("cannot write the history: ") + std::strerror(errno));
  }
  if (!read) return Failed(error);
  return kExitOk;
}

}  // namespace

void HidePasswordsInArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const size_t length = std::strlen(argv[i]);
    const std::string shown = ledger::RedactPassword(argv[i]);
    if (shown == argv[i]) continue;
    // Within the argument's own bytes: what does not fit is cut.
    const size_t n = std::min(length, shown.size());
    std::memcpy(argv[i], shown.data(), n);
    std::memset(argv[i] + n, 0, length - n);
  }
}

bool IsLedgerCommand(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--dir" || args[i] == "--ledger") {
      ++i;
      continue;
    }
    if (args[i].rfind("--", 0) == 0) continue;
    return IsLedgerWord(args[i]);
  }
  return false;
}

namespace {

// The command line of the ledger commands into `a`; an exit status when it
// is not one they take.
std::optional<int> ParseLedgerArgs(const std::vector<std::string>& args, LedgerArgs* a) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& w = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (w == "--dir") {
      if (!value(&a->dir)) return Usage("--dir needs the station folder");
    } else if (w == "--ledger") {
      if (!value(&a->url)) return Usage("--ledger needs the ledger URL or service=NAME");
    } else if (a->command.empty() && IsLedgerWord(w)) {
      a->command = w;
      if (w == "ledger") {
        if (!value(&a->action) ||
            (a->action != "sync" && a->action != "migrate" && a->action != "spool" &&
             a->action != "series" && a->action != "check" && a->action != "recover")) {
          return Usage("ledger needs sync, spool, migrate, check, recover or series add NAME SEED");
        }
        std::string add;
        if (a->action == "series" &&
            (!value(&add) || add != "add" || !value(&a->seriesName) || !value(&a->seriesSeed))) {
          return Usage("ledger series needs add NAME SEED");
        }
      }
    } else if (w == "--serial" && a->command == "history") {
      if (!value(&a->history.serial)) return Usage("--serial needs a serial number");
    } else if (w == "--station" && a->command == "history") {
      if (!value(&a->history.station)) return Usage("--station needs a station name");
    } else if (w == "--failed" && a->command == "history") {
      a->history.failedOnly = true;
    } else if (w == "--duplicates" && a->command == "history") {
      a->history.duplicates = true;
    } else if (w == "--aborted" && a->command == "history") {
      a->history.aborted = true;
    } else if (w == "--csv" && a->command == "history") {
      a->csv = true;
    } else if (w == "--jsonl" && a->command == "history") {
      a->jsonl = true;
    } else if (w == "--until" && a->command == "history") {
      int64_t ms = 0;
      if (!value(&text) || !ledger::ParseUtcTime(text, &ms)) {
        return Usage("--until needs a UTC date, e.g. 2026-12-02 or 2026-12-01T18:00");
      }
      a->history.untilMs = ms;
    } else if (w == "--limit" && a->command == "history") {
      if (!value(&text) || !PositiveCount(text, &a->history.limit)) {
        return Usage("--limit needs a number of records, 1 or more");
      }
    } else if (w == "--json" && (a->command == "history" || a->command == "yield")) {
      a->json = true;
    } else if (w == "--since" && (a->command == "history" || a->command == "yield")) {
      int64_t ms = 0;
      if (!value(&text) || !ledger::ParseUtcTime(text, &ms)) {
        return Usage("--since needs a UTC date, e.g. 2026-12-01 or 2026-12-01T08:00");
      }
      a->history.sinceMs = ms;
      a->yield.sinceMs = ms;
    } else if (w == "--by" && a->command == "yield") {
      if (!value(&text)) return Usage("--by needs part, station or day");
      if (text == "part") {
        a->yield.by = ledger::YieldBy::kPart;
      } else if (text == "station") {
        a->yield.by = ledger::YieldBy::kStation;
      } else if (text == "day") {
        a->yield.by = ledger::YieldBy::kDay;
      } else {
        return Usage("--by needs part, station or day");
      }
    } else if (w == "--html" && a->command == "yield") {
      if (!value(&a->html)) return Usage("--html needs the file to write");
    } else {
      return Usage("unknown argument '" + w + "'");
    }
  }
  if (a->command.empty()) return Usage("no command given");
  if (int(a->json) + int(a->jsonl) + int(a->csv) > 1) {
    return Usage("--json, --jsonl and --csv exclude each other");
  }
  return std::nullopt;
}

// "ledger migrate": the schema, and on a shared ledger the stations' role.
int LedgerMigrate(ledger::Ledger& opened, ledger::LineLedger* line) {
  std::string error;
  if (line && !line->server().Administer(&error)) return Failed(error);
  std::printf("ledger schema version %d\n", opened.SchemaVersion());
  if (line) std::printf("stations' role %s ready\n", ledger::kStationRole);
  return kExitOk;
}

// "ledger series add NAME SEED": a serial series on the shared ledger.
int LedgerAddSeries(const LedgerArgs& a, ledger::LineLedger* line) {
  std::string error;
  if (!line) return Failed("serial series live in a shared ledger only (--ledger URL)");
  if (a.seriesSeed.empty() || a.seriesSeed.size() > 20) {
    return Usage("the seed of a series is a serial number of 1 to 20 characters");
  }
  if (!line->server().AddSeries(a.seriesName, a.seriesSeed, &error)) return Failed(error);
  std::printf("serial series %s starts at %s\n", Shown(a.seriesName).c_str(),
              Shown(a.seriesSeed).c_str());
  return kExitOk;
}

// "ledger spool": what waits in the local spool, and what the server refused.
int LedgerSpool(ledger::LineLedger* line) {
  std::string error;
  std::vector<ledger::SqliteLedger::SpoolEntry> entries;
  if (line && !line->SpoolEntries(&entries, &error)) return Failed(error);
  size_t rejected = 0;
  for (const auto& entry : entries) {
    rejected += entry.rejected.empty() ? 0 : 1;
    std::printf("%s\n", SpoolLine(entry).c_str());
  }
  std::printf("%zu waiting; %zu rejected\n", entries.size() - rejected, rejected);
  return kExitOk;
}

// "ledger sync": the spool to the server, then this station's runs left
// started marked aborted.
int LedgerSync(ledger::Ledger& opened, ledger::LineLedger* line,
               const engine::LedgerConfig& config) {
  std::string error;
  size_t pushed = 0;
  size_t aborted = 0;
  // The spool first: a port's end waiting there completes its started
  // record on the server, which is then not aborted.
  bool done = opened.Sync(&pushed, &error);
  // What a killed or crashed run of this station left started. A run going
  // on meanwhile completes its records all the same.
  if (done && !opened.MarkAborted(config.station, {}, &aborted, &error)) done = false;
  if (aborted > 0) {
    std::printf("marked %zu record%s aborted\n", aborted, aborted == 1 ? "" : "s");
  }
  const size_t rejected = line ? line->Rejected() : 0;
  const size_t waiting = (line ? line->Spooled() : 0) - rejected;
  std::printf("pushed %zu record%s; %zu waiting", pushed, pushed == 1 ? "" : "s", waiting);
  if (rejected > 0) std::printf("; %zu rejected", rejected);
  std::printf("\n");
  if (!done) return Failed(error);
  if (rejected == 0) return kExitOk;
  // Named, so someone can correct or remove them; they stay in the spool.
  std::vector<ledger::SqliteLedger::SpoolEntry> entries;
  if (!line->SpoolEntries(&entries, &error)) return Failed(error);
  for (const auto& entry : entries) {
    if (!entry.rejected.empty()) std::fprintf(stderr, "%s\n", SpoolLine(entry).c_str());
  }
  return Failed(std::to_string(rejected) +
                " record(s) rejected by the shared ledger stay in the spool (" +
                ledger::kSpoolFileName + ")");
}

// "yield": the report as text or JSON, and as a page when --html names one.
int YieldCommand(ledger::Ledger& opened, const LedgerArgs& a) {
  std::string error;
  ledger::YieldReport report;
  if (!opened.Yield(a.yield, &report, &error)) return Failed(error);
  if (!a.html.empty() && !platform::ReplaceFile(a.html, ledger::YieldHtml(report, a.yield.by))) {
    return Failed("cannot write " + a.html);
  }
  const std::string out =
      a.json ? ledger::YieldJson(report, a.yield.by) : ledger::YieldText(report, a.yield.by);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;
}

}  // namespace

int RunLedgerCommand(const std::vector<std::string>& args) {
  LedgerArgs a;
  if (std::optional<int> refused = ParseLedgerArgs(args, &a)) return *refused;

  settings::StationPaths paths = settings::MakeStationPaths(a.dir);
  engine::LedgerConfig config = engine::ReadLedgerConfig(paths, a.url);
  if (a.command == "ledger" && (a.action == "check" || a.action == "recover")) {
    return CheckOrRecover(a.action, paths, config);
  }
  std::string error;
  std::unique_ptr<ledger::Ledger> opened =
      ledger::OpenLedger(config.url, paths.gExeDir, &error, config.timeoutSeconds);
  if (!opened) return Failed(error);

  if (a.command == "ledger") {
    auto* line = dynamic_cast<ledger::LineLedger*>(opened.get());
    if (a.action == "migrate") return LedgerMigrate(*opened, line);
    if (a.action == "series") return LedgerAddSeries(a, line);
    if (a.action == "spool") return LedgerSpool(line);
    return LedgerSync(*opened, line, config);
  }
  if (a.command == "history") {
    return WriteHistory(*opened, a.history,
                        a.json    ? ledger::RecordsFormat::kJson
                        : a.jsonl ? ledger::RecordsFormat::kJsonLines
                        : a.csv   ? ledger::RecordsFormat::kCsv
                                  : ledger::RecordsFormat::kTable);
  }
  return YieldCommand(*opened, a);
}

std::string UnstoredRecordsText(const std::vector<engine::UnstoredRecord>& unstored) {
  if (unstored.empty()) return {};
  std::string text =
      std::to_string(unstored.size()) +
      (unstored.size() == 1 ? " result of this run is" : " results of this run are") +
      " not stored in the ledger (the ports' own results stand):";
  for (const engine::UnstoredRecord& r : unstored) {
    text += "\n  port " + std::to_string(r.port) + ", serial " +
            (r.serial.empty() ? std::string("(none)") : r.serial) + ": " + r.why;
  }
  return text;
}

bool SayUnstoredRecords(engine::LedgerLink& link, const char* program) {
  const std::string text = UnstoredRecordsText(link.UnstoredRecords());
  if (text.empty()) return false;
  std::fprintf(stderr, "%s: %s\n", program, text.c_str());
  return true;
}

std::unique_ptr<engine::LedgerLink> AttachLedger(engine::RunControl& control,
                                                 const settings::StationPaths& paths,
                                                 const std::string& urlOverride,
                                                 const char* program) {
  engine::LedgerConfig config = engine::ReadLedgerConfig(paths, urlOverride);
  std::string error;
  std::string name = program;
  auto link = engine::LedgerLink::Open(
      config, paths,
      [name](const std::string& why) {
        std::fprintf(stderr, "%s: ledger: %s\n", name.c_str(), why.c_str());
      },
      &error);
  if (!link) {
    // Refuses every Start, naming the ledger and the fix: a run whose
    // results go nowhere is not started.
    std::fprintf(stderr, "%s: the ledger cannot be opened: %s\n", program, error.c_str());
    link = engine::LedgerLink::Unopened(config, paths, error);
  }
  control.SetLedger(link.get(), link.get());
  return link;
}

}  // namespace qelvar::app
