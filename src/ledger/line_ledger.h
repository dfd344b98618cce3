// A station's view of the shared ledger: records go to the server, and to a
// spool in the station folder while the server cannot be reached; the spool
// is pushed later, idempotently by record ID.
#pragma once

#include <memory>
#include <string>

#include "ledger/postgres_ledger.h"
#include "ledger/sqlite_ledger.h"

namespace qelvar::ledger {

class LineLedger final : public Ledger {
 public:
  LineLedger(std::unique_ptr<PostgresLedger> server, std::string spoolPath);

  // To the server; to the spool when the server cannot take it. False only
  // when neither could.
  [[nodiscard]] bool Append(const Record& record, std::string* error) override;
  [[nodiscard]] bool History(const HistoryQuery& query, std::vector<Record>* records,
                             std::string* error) override;
  [[nodiscard]] bool Yield(const YieldQuery& query, YieldReport* report,
                           std::string* error) override;
  [[nodiscard]] bool TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialAdvance& advance,
                                 std::vector<std::string>* serials, std::string* error) override;
  // Pushes the spool oldest first; a record leaves the spool only once the
  // server has it.
  [[nodiscard]] bool Sync(size_t* pushed, std::string* error) override;
  [[nodiscard]] int SchemaVersion() const override { return server_->SchemaVersion(); }
  [[nodiscard]] bool Shared() const override { return true; }

  [[nodiscard]] PostgresLedger& server() { return *server_; }
  // Records waiting in the spool.
  [[nodiscard]] size_t Spooled();

 private:
  SqliteLedger* Spool(std::string* error);

  std::unique_ptr<PostgresLedger> server_;
  const std::string spoolPath_;
  std::mutex spoolMutex_;
  std::unique_ptr<SqliteLedger> spool_;
};

}  // namespace qelvar::ledger
