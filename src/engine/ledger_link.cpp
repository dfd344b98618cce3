#include "engine/ledger_link.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "digest/sha256.h"
#include "engine/serial_number.h"
#include "ledger/sqlite_ledger.h"
#include "platform/files.h"
#include "settings/flash_tables.h"
#include "settings/profile.h"
#include "settings/settings_file.h"

namespace qelvar::engine {
namespace {

constexpr size_t kSerialChars = 20;

std::string FileSha256(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  return digest::Sha256Hex(bytes);
}

int32_t Total(const CeCounts& counts) {
  int64_t sum = 0;
  for (const auto& channel : counts) {
    for (int32_t n : channel) sum += n;
  }
  return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

void AdvanceSerial(std::string& serial, uint64_t steps) {
  char text[kSerialChars + 1] = {};
  serial.copy(text, kSerialChars);
  (void)AdvanceSerialText(text, kSerialChars, steps);  // wraps like the station's counter
  serial.assign(text, strnlen(text, kSerialChars));
}

}  // namespace

LedgerConfig ReadLedgerConfig(const settings::StationPaths& paths, const std::string& urlOverride) {
  settings::Profile profile = settings::Profile::Read(paths.gSettingsPath);
  LedgerConfig config;
  config.station = profile.GetString("Ledger", "Station", "", 255);
  if (config.station.empty()) config.station = platform::HostName();
  config.url = urlOverride.empty() ? profile.GetString("Ledger", "Url", "", 1023) : urlOverride;
  config.series = profile.GetString("Ledger", "Series", "default", 255);
  if (config.series.empty()) config.series = "default";
  config.timeoutSeconds = std::clamp(profile.GetInt("Ledger", "TimeoutS", 10), 1, 600);
  return config;
}

// A new record with what a port's start and its end both know (PortStart
// and PortResult name these fields alike).
template <class Port>
ledger::Record PortRecord(const Port& p, const std::string& station) {
  ledger::Record record;
  record.id = ledger::NewUuid();
  record.runId = p.runId;
  record.station = station;
  record.port = p.port;
  record.hubInstance = p.hubInstance;
  record.hubPort = p.hubPort;
  record.startedAtMs = p.startedAtMs;
  record.model = p.model;
  // The drive's serial field is padded with spaces to 20 characters; the
  // ledger keeps the serial itself, so a lookup by serial finds it.
  record.serial = p.serial.substr(0, p.serial.find_last_not_of(' ') + 1);
  record.fwVersion = p.fwVersion;
  return record;
}

ledger::Record MakeRecord(const PortResult& r, const std::string& station,
                          const std::string& settingsSha256, const std::string& mpVersion) {
  ledger::Record record = PortRecord(r, station);
  record.endedAtMs = r.endedAtMs;
  record.capacityMb = r.capacityMb;
  record.bin = r.bin;
  record.rdtResult = r.failCode != kFailNone ? "" : r.rdtPass ? "RDT Pass" : "RDT FAIL";
  record.failCode = r.failCode;
  record.status = r.statusText;
  record.fctBad = Total(r.nand.fctBad);
  record.dftBad = Total(r.nand.dftBad);
  record.rdtBad = Total(r.nand.rdtFail);
  record.runBad = r.runBad;
  const auto& id = r.nand.flashId[0];
  if (id[0] != 0) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 6; ++i) {
      record.flashId += kDigits[id[i] >> 4];
      record.flashId += kDigits[id[i] & 15];
    }
    for (size_t i = 0; i < settings::kFlashIdTable.size(); ++i) {
      if (std::equal(settings::kFlashIdTable[i].begin(), settings::kFlashIdTable[i].end(),
                     id.begin())) {
        record.flashPart = std::string(settings::kFlashNameTable[i]);
      }
    }
  }
  if (r.images && r.burnerSent) record.burnerSha256 = digest::Sha256Hex(r.images->gBurnerImage);
  if (r.images && r.spiSent) {
    record.spiSha256 = digest::Sha256Hex(std::span<const uint8_t>(
        r.images->gSpiImage.data(),
        std::min<size_t>(r.images->SpiLength, r.images->gSpiImage.size())));
  }
  if (!r.rdtParamSent.empty()) record.rdtParamSha256 = digest::Sha256Hex(r.rdtParamSent);
  if (!r.sysFwSent.empty()) record.sysFwSha256 = digest::Sha256Hex(r.sysFwSent);
  record.settingsSha256 = settingsSha256;
  record.mpVersion = mpVersion;
  record.programVersion = ledger::ProgramVersion();
  return record;
}

// Forwards to the ledger, and tells the link which records it took.
class LedgerLink::Tracked final : public ledger::Ledger {
 public:
  Tracked(LedgerLink& link, ledger::Ledger& inner) : link_(link), inner_(inner) {}

  bool Append(const ledger::Record& record, std::string* error) override {
    const bool stored = inner_.Append(record, error);
    // A started record is not the port's result: it shares the result's ID.
    if (record.status != ledger::kStartedStatus) {
      link_.Stored(record.id, stored, stored ? std::string() : *error);
    }
    return stored;
  }
  bool Keep(const ledger::Record& record, std::string* error) override {
    const bool kept = inner_.Keep(record, error);
    if (record.status != ledger::kStartedStatus) {
      link_.Stored(record.id, kept, kept ? std::string() : *error);
    }
    return kept;
  }
  void GiveUp() override { inner_.GiveUp(); }
  bool HistoryEach(const ledger::HistoryQuery& query, const ledger::RecordSink& each,
                   std::string* error) override {
    return inner_.HistoryEach(query, each, error);
  }
  bool Yield(const ledger::YieldQuery& query, ledger::YieldReport* report,
             std::string* error) override {
    return inner_.Yield(query, report, error);
  }
  bool TakeSerials(std::string_view series, std::string_view seed, int count,
                   std::string_view station, const ledger::SerialAdvance& advance,
                   std::vector<std::string>* serials, std::string* error) override {
    return inner_.TakeSerials(series, seed, count, station, advance, serials, error);
  }
  bool Sync(size_t* pushed, std::string* error) override { return inner_.Sync(pushed, error); }
  bool MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                   size_t* marked, std::string* error) override {
    return inner_.MarkAborted(station, liveRuns, marked, error);
  }
  int SchemaVersion() const override { return inner_.SchemaVersion(); }
  bool Shared() const override { return inner_.Shared(); }

 private:
  LedgerLink& link_;
  ledger::Ledger& inner_;
};

LedgerLink::LedgerLink(std::unique_ptr<ledger::Ledger> ledger, LedgerConfig config,
                       settings::StationPaths paths, ErrorSink errors)
    : ledger_(std::move(ledger)),
      config_(std::move(config)),
      paths_(std::move(paths)),
      freeSpace_(platform::FreeBytes) {
  if (ledger_) {
    tracked_ = std::make_unique<Tracked>(*this, *ledger_);
    writer_ = std::make_unique<ledger::RecordWriter>(*tracked_, std::move(errors));
  }
}

std::unique_ptr<LedgerLink> LedgerLink::Unopened(LedgerConfig config, settings::StationPaths paths,
                                                 std::string why) {
  auto link = std::make_unique<LedgerLink>(nullptr, std::move(config), std::move(paths), nullptr);
  link->openError_ = std::move(why);
  return link;
}

std::unique_ptr<LedgerLink> LedgerLink::Open(const LedgerConfig& config,
                                             const settings::StationPaths& paths, ErrorSink errors,
                                             std::string* error) {
  std::unique_ptr<ledger::Ledger> opened =
      ledger::OpenLedger(config.url, paths.gExeDir, error, config.timeoutSeconds);
  if (!opened) return nullptr;
  return std::make_unique<LedgerLink>(std::move(opened), config, paths, std::move(errors));
}

LedgerLink::~LedgerLink() {
  writer_.reset();
}

void LedgerLink::Stored(const std::string& id, bool stored, const std::string& why) {
  std::lock_guard lock(mutex_);
  auto it = unstored_.find(id);
  if (it == unstored_.end()) return;  // not a port's record of this link
  if (stored) {
    unstored_.erase(it);
  } else {
    it->second.record.why = why;
  }
}

std::vector<UnstoredRecord> LedgerLink::UnstoredRecords() const {
  std::vector<Pending> pending;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, p] : unstored_) pending.push_back(p);
  }
  std::sort(pending.begin(), pending.end(),
            [](const Pending& a, const Pending& b) { return a.order < b.order; });
  std::vector<UnstoredRecord> records;
  records.reserve(pending.size());
  for (Pending& p : pending) records.push_back(std::move(p.record));
  return records;
}

std::vector<std::string> LedgerLink::StartProblems() {
  std::vector<std::string> problems;
  const std::string file = paths_.gExeDir + "/" + ledger::kSqliteFileName;
  if (!ledger_) {
    if (config_.url.empty() && openError_.find("ledger recover") != std::string::npos) {
      problems.push_back(openError_);  // names the file, the damage and its fix
    } else if (config_.url.empty()) {
      problems.push_back("the ledger " + file + " cannot be opened (" + openError_ +
                         "): make the file and the station folder writable for this user, or "
                         "this run's results are not recorded");
    } else {
      problems.push_back("the ledger cannot be opened (" + openError_ +
                         "): correct [Ledger] Url= in the settings or --ledger, or this run's "
                         "results are not recorded");
    }
    return problems;
  }
  if (freeSpace_) {
    const std::optional<uint64_t> free = freeSpace_(paths_.gExeDir);
    if (free && *free < kMinFreeBytes) {
      problems.push_back("the disk of the station folder " + paths_.gExeDir + " has only " +
                         std::to_string(*free / 1024) + " KiB free, and " +
                         std::to_string(kMinFreeBytes >> 20) +
                         " MiB are needed to record a run: free space on it");
    }
  }
  if (auto* store = dynamic_cast<ledger::SqliteLedger*>(ledger_.get())) {
    std::vector<std::string> damage = store->QuickCheck();
    std::string why;
    if (!damage.empty()) {
      std::string first = damage[0];
      if (damage.size() > 1) first += "; and " + std::to_string(damage.size() - 1) + " more";
      problems.push_back("the ledger " + file + " is damaged (" + first +
                         "): close the station and run 'qelvar-cli ledger recover', which "
                         "copies its readable records into a fresh file");
    } else if (!store->ProbeWrite(&why)) {
      problems.push_back("the ledger " + file + " cannot be written (" + why +
                         "): make the file and the station folder writable for this user");
    }
  }
  return problems;
}

std::string LedgerLink::BeginRun() {
  std::string id = ledger::NewUuid();
  RunFacts facts{FileSha256(paths_.gSettingsPath), settings::ReadMpVersion(paths_)};
  std::vector<std::string> live;
  {
    std::lock_guard lock(mutex_);
    runs_[id] = std::move(facts);
    for (const auto& [run, unused] : runs_) live.push_back(run);
  }
  if (writer_) {
    // On the writer's thread, before this run's records.
    (void)writer_->Submit([this, live = std::move(live)]() -> std::optional<ledger::Record> {
      size_t marked = 0;
      std::string error;
      (void)ledger_->MarkAborted(config_.station, live, &marked, &error);
      return std::nullopt;
    });
  }
  return id;
}

void LedgerLink::PortStarted(const PortStart& start) {
  if (!writer_) return;
  ledger::Record record = PortRecord(start, config_.station);
  record.endedAtMs = start.startedAtMs;
  record.failCode = ledger::kUnfinishedFailCode;
  record.status = ledger::kStartedStatus;
  record.programVersion = ledger::ProgramVersion();
  {
    std::lock_guard lock(mutex_);
    auto it = runs_.find(start.runId);
    if (it != runs_.end()) {
      record.settingsSha256 = it->second.settingsSha256;
      record.mpVersion = it->second.mpVersion;
    }
    started_[start.runId + "/" + std::to_string(start.port)] = record.id;
  }
  (void)writer_->Submit(
      [record = std::move(record)]() -> std::optional<ledger::Record> { return record; });
}

std::string LedgerLink::EarlierPassed(std::string_view barcode) {
  if (!ledger_ || barcode.empty()) return {};
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  // A server that cannot answer is not asked again for every port of the
  // Start: the serials of a barcode run are the operator's, and its records
  // still find their way to the ledger.
  if (now < noLookupUntilMs_.load()) return {};
  ledger::HistoryQuery query;
  query.serial = std::string(barcode);
  std::vector<ledger::Record> records;
  std::string error;
  if (!ledger_->History(query, &records, &error)) {
    noLookupUntilMs_.store(now + 30'000);
    return {};
  }
  for (const ledger::Record& r : records) {  // newest first
    if (r.failCode != kFailNone || r.status == ledger::kStartedStatus ||
        r.status == ledger::kAbortedStatus) {
      continue;
    }
    return "serial " + r.serial + " passed on station " + r.station + " port " +
           std::to_string(r.port + 1) + " at " + ledger::IsoTimeOf(r.endedAtMs) + ", record " +
           r.id;
  }
  return {};
}

void LedgerLink::PortFinished(PortResult&& result) {
  RunFacts facts;
  std::string id;
  {
    std::lock_guard lock(mutex_);
    auto it = runs_.find(result.runId);
    if (it != runs_.end()) facts = it->second;
    // The port's started record, if it has one, is completed by this one.
    auto started = started_.find(result.runId + "/" + std::to_string(result.port));
    if (started != started_.end()) {
      id = started->second;
      started_.erase(started);
    } else {
      id = ledger::NewUuid();
    }
    UnstoredRecord unstored{result.port + 1,
                            result.serial.substr(0, result.serial.find_last_not_of(' ') + 1),
                            ledger_ ? "not written yet" : "no ledger is open"};
    unstored_[id] = Pending{finished_++, std::move(unstored)};
  }
  if (!writer_) return;
  // The port's result stands whatever happens to its record.
  const bool queued =
      writer_->Submit([result = std::move(result), facts = std::move(facts),
                       station = config_.station, id]() -> std::optional<ledger::Record> {
        ledger::Record record = MakeRecord(result, station, facts.settingsSha256, facts.mpVersion);
        record.id = id;
        return record;
      });
  if (!queued) Stored(id, false, "the queue of records to write was full");
}

void LedgerLink::RunEnded() {
  if (ledger_ && ledger_->Shared()) writer_->SubmitSync();
}

bool LedgerLink::Take(int count, std::string_view seed, std::vector<std::string>* serials,
                      std::string* why) {
  std::string error = openError_;
  if (ledger_ &&
      ledger_->TakeSerials(config_.series, seed.substr(0, std::min(seed.size(), kSerialChars)),
                           count, config_.station, AdvanceSerial, serials, &error)) {
    return true;
  }
  *why = "Start refused: no serial numbers could be taken from the shared ledger (" + error +
         "). Carrying on without it could give two drives the same serial number.";
  return false;
}

}  // namespace qelvar::engine
