#include "ledger/line_ledger.h"

#include <sys/stat.h>

namespace qelvar::ledger {

LineLedger::LineLedger(std::unique_ptr<PostgresLedger> server, std::string spoolPath)
    : server_(std::move(server)), spoolPath_(std::move(spoolPath)) {}

SqliteLedger* LineLedger::Spool(std::string* error) {
  std::lock_guard lock(spoolMutex_);
  if (!spool_) spool_ = SqliteLedger::Open(spoolPath_, error);
  return spool_.get();
}

bool LineLedger::Append(const Record& record, std::string* error) {
  std::string why;
  if (server_->Append(record, &why)) return true;
  SqliteLedger* spool = Spool(error);
  if (!spool) {
    *error = why + "; and the spool: " + *error;
    return false;
  }
  if (!spool->Append(record, error)) {
    *error = why + "; and the spool: " + *error;
    return false;
  }
  return true;
}

bool LineLedger::History(const HistoryQuery& query, std::vector<Record>* records,
                         std::string* error) {
  return server_->History(query, records, error);
}

bool LineLedger::Yield(const YieldQuery& query, YieldReport* report, std::string* error) {
  return server_->Yield(query, report, error);
}

bool LineLedger::TakeSerials(std::string_view series, std::string_view seed, int count,
                             std::string_view station, const SerialAdvance& advance,
                             std::vector<std::string>* serials, std::string* error) {
  return server_->TakeSerials(series, seed, count, station, advance, serials, error);
}

size_t LineLedger::Spooled() {
  struct stat st {};
  std::string error;
  {
    std::lock_guard lock(spoolMutex_);
    if (!spool_ && ::stat(spoolPath_.c_str(), &st) != 0) return 0;
  }
  SqliteLedger* spool = Spool(&error);
  return spool ? spool->Count() : 0;
}

bool LineLedger::Sync(size_t* pushed, std::string* error) {
  *pushed = 0;
  struct stat st {};
  {
    std::lock_guard lock(spoolMutex_);
    // No spool file: nothing was ever held back here.
    if (!spool_ && ::stat(spoolPath_.c_str(), &st) != 0) return true;
  }
  SqliteLedger* spool = Spool(error);
  if (!spool) return false;
  constexpr size_t kBatch = 256;
  for (;;) {
    std::vector<Record> batch;
    if (!spool->Oldest(kBatch, &batch, error)) return false;
    if (batch.empty()) return true;
    for (const Record& record : batch) {
      // A push the server took but whose removal from the spool was lost
      // (a crash in between) is pushed again: the server keeps one copy.
      if (!server_->Append(record, error)) return false;
      if (!spool->Remove(record.id, error)) return false;
      ++*pushed;
    }
  }
}

bool IsPostgresUrl(std::string_view url) {
  return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Ledger> OpenLedger(const std::string& url, const std::string& stationDir,
                                   std::string* error) {
  const std::string dir = stationDir.empty() ? "." : stationDir;
  if (url.empty()) return SqliteLedger::Open(dir + "/" + kSqliteFileName, error);
  if (!IsPostgresUrl(url)) {
    *error =
        "the ledger URL must start with postgresql:// (or be empty for the station's own "
        "ledger.sqlite): " +
        url;
    return nullptr;
  }
  auto server = std::make_unique<PostgresLedger>(url);
  std::string why;
  (void)server->Connect(&why);  // an absent server is not an error here: records spool
  return std::make_unique<LineLedger>(std::move(server), dir + "/" + kSpoolFileName);
}

}  // namespace qelvar::ledger
