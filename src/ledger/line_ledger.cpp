#include "ledger/line_ledger.h"

#include <cctype>
#include <chrono>
#include <filesystem>

#include "ledger/redact.h"

namespace qelvar::ledger {
namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

LineLedger::LineLedger(std::unique_ptr<PostgresLedger> server, std::string spoolPath)
    : server_(std::move(server)), spoolPath_(std::move(spoolPath)) {}

SqliteLedger* LineLedger::Spool(std::string* error) {
  std::lock_guard lock(spoolMutex_);
  if (!spool_) spool_ = SqliteLedger::Open(spoolPath_, error);
  return spool_.get();
}

SqliteLedger* LineLedger::ExistingSpool(std::string* error) {
  {
    std::lock_guard lock(spoolMutex_);
    // No spool file: nothing was ever held back here.
    std::error_code ec;
    if (!spool_ && !std::filesystem::exists(spoolPath_, ec)) return nullptr;
  }
  return Spool(error);
}

bool LineLedger::ToSpool(const Record& record, const std::string& rejected, const std::string& why,
                         std::string* error) {
  SqliteLedger* spool = Spool(error);
  if (!spool || !spool->Append(record, error) ||
      (!rejected.empty() && !spool->MarkRejected(record.id, rejected, error))) {
    *error = (why.empty() ? "" : why + "; and the spool: ") + *error;
    return false;
  }
  return true;
}

bool LineLedger::Append(const Record& record, std::string* error) {
  std::string why;
  ServerFailure failure = ServerFailure::kNone;
  if (SteadyMs() >= restUntilMs_.load()) {
    if (server_->Push(record, &why, &failure)) return true;
    Rest(failure);
  } else {
    why = "the shared ledger did not answer a moment ago";
  }
  return ToSpool(record, failure == ServerFailure::kRejected ? why : std::string(), why, error);
}

void LineLedger::Rest(ServerFailure failure) {
  // Only a server that does not answer costs a wait; one that refuses the
  // connection is asked again at once.
  if (failure == ServerFailure::kTimedOut) restUntilMs_.store(SteadyMs() + kServerRestMs);
}

bool LineLedger::Keep(const Record& record, std::string* error) {
  return ToSpool(record, {}, {}, error);
}

bool LineLedger::HistoryEach(const HistoryQuery& query, const RecordSink& each,
                             std::string* error) {
  return server_->HistoryEach(query, each, error);
}

bool LineLedger::Yield(const YieldQuery& query, YieldReport* report, std::string* error) {
  return server_->Yield(query, report, error);
}

bool LineLedger::TakeSerials(std::string_view series, std::string_view seed, int count,
                             std::string_view station, const SerialAdvance& advance,
                             std::vector<std::string>* serials, std::string* error) {
  return server_->TakeSerials(series, seed, count, station, advance, serials, error);
}

bool LineLedger::MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                             size_t* marked, std::string* error) {
  *marked = 0;
  error->clear();
  SqliteLedger* spool = ExistingSpool(error);
  if (spool && !spool->MarkAborted(station, liveRuns, marked, error)) return false;
  if (!error->empty()) return false;
  if (SteadyMs() < restUntilMs_.load()) {
    *error = "the shared ledger did not answer a moment ago";
    return false;
  }
  size_t onServer = 0;
  ServerFailure failure = ServerFailure::kNone;
  if (!server_->MarkAborted(station, liveRuns, &onServer, error, &failure)) {
    Rest(failure);
    return false;
  }
  *marked += onServer;
  return true;
}

size_t LineLedger::Spooled() {
  std::string error;
  SqliteLedger* spool = ExistingSpool(&error);
  return spool ? spool->Count() : 0;
}

size_t LineLedger::Rejected() {
  std::string error;
  SqliteLedger* spool = ExistingSpool(&error);
  return spool ? spool->CountRejected() : 0;
}

bool LineLedger::SpoolEntries(std::vector<SqliteLedger::SpoolEntry>* entries, std::string* error) {
  entries->clear();
  error->clear();
  SqliteLedger* spool = ExistingSpool(error);
  return spool ? spool->Entries(entries, error) : error->empty();
}

bool LineLedger::Sync(size_t* pushed, std::string* error) {
  *pushed = 0;
  error->clear();
  SqliteLedger* spool = ExistingSpool(error);
  if (!spool) return error->empty();
  if (SteadyMs() < restUntilMs_.load()) {
    *error = "the shared ledger did not answer a moment ago";
    return false;
  }
  constexpr size_t kBatch = 256;
  for (;;) {
    std::vector<Record> batch;
    if (!spool->Oldest(kBatch, &batch, error)) return false;
    if (batch.empty()) break;
    for (const Record& record : batch) {
      // A push the server took but whose removal from the spool was lost
      // (a crash in between) is pushed again: the server keeps one copy.
      ServerFailure failure = ServerFailure::kNone;
      if (!server_->Push(record, error, &failure)) {
        if (failure != ServerFailure::kRejected) {
          Rest(failure);
          return false;
        }
        if (!spool->MarkRejected(record.id, *error, error)) return false;
        continue;
      }
      if (!spool->Remove(record.id, error)) return false;
      ++*pushed;
    }
  }
  restUntilMs_.store(0);  // the server answers again
  return true;
}

bool IsPostgresUrl(std::string_view url) {
  if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) return true;
  // keyword=value settings: a word of letters and '_' first, then '='.
  size_t i = 0;
  while (i < url.size() && (std::islower(static_cast<unsigned char>(url[i])) || url[i] == '_')) {
    ++i;
  }
  while (i < url.size() && url[i] == ' ') ++i;
  return i > 0 && i < url.size() && url[i] == '=';
}

std::unique_ptr<Ledger> OpenLedger(const std::string& url, const std::string& stationDir,
                                   std::string* error, int timeoutSeconds) {
  const std::string dir = stationDir.empty() ? "." : stationDir;
  if (url.empty()) return SqliteLedger::Open(dir + "/" + kSqliteFileName, error);
  if (!IsPostgresUrl(url)) {
    *error =
        "the ledger URL must start with postgresql:// or name libpq settings such as "
        "service=NAME (or be empty for the station's own ledger.sqlite): " +
        RedactPassword(url);
    return nullptr;
  }
  // Connected when first used: an absent or frozen server costs no wait
  // here, and its records spool.
  auto server = std::make_unique<PostgresLedger>(url, kSchemaVersion, timeoutSeconds);
  return std::make_unique<LineLedger>(std::move(server), dir + "/" + kSpoolFileName);
}

}  // namespace qelvar::ledger
