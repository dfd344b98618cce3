// A station's view of the shared ledger: records go to the server, and to a
// spool in the station folder while the server cannot be reached; the spool
// is pushed later, idempotently by record ID. A record the server refuses for
// what it holds stays in the spool, set aside with the server's reason, and
// never holds up the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ledger/postgres_ledger.h"
#include "ledger/sqlite_ledger.h"

namespace qelvar::ledger {

class LineLedger final : public Ledger {
 public:
  LineLedger(std::unique_ptr<PostgresLedger> server, std::string spoolPath);

  // To the server; to the spool when the server cannot take it. False only
  // when neither could. After the server failed to answer, records go
  // straight to the spool for a while (and a push of the spool is not
  // tried), so a run's end never waits on a frozen server once per record.
  [[nodiscard]] bool Append(const Record& record, std::string* error) override;
  // To the spool only.
  [[nodiscard]] bool Keep(const Record& record, std::string* error) override;
  void GiveUp() override { server_->GiveUp(); }
  [[nodiscard]] bool HistoryEach(const HistoryQuery& query, const RecordSink& each,
                                 std::string* error) override;
  [[nodiscard]] bool Yield(const YieldQuery& query, YieldReport* report,
                           std::string* error) override;
  [[nodiscard]] bool TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialAdvance& advance,
                                 std::vector<std::string>* serials, std::string* error) override;
  // Pushes the spool oldest first; a record leaves the spool only once the
  // server has it. One the server rejects is marked so and passed over.
  // True when nothing is left to push (rejected records may remain).
  [[nodiscard]] bool Sync(size_t* pushed, std::string* error) override;
  // In the spool (records held back there are pushed marked), then on the
  // server; false when the server could not be asked.
  [[nodiscard]] bool MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error) override;
  [[nodiscard]] int SchemaVersion() const override { return server_->SchemaVersion(); }
  [[nodiscard]] bool Shared() const override { return true; }

  [[nodiscard]] PostgresLedger& server() { return *server_; }
  // Records in the spool: all of them, and those the server rejected.
  [[nodiscard]] size_t Spooled();
  [[nodiscard]] size_t Rejected();
  // Every record in the spool with its state; none when there is no spool.
  [[nodiscard]] bool SpoolEntries(std::vector<SqliteLedger::SpoolEntry>* entries,
                                  std::string* error);

  // How long records skip a server that failed to answer.
  static constexpr int64_t kServerRestMs = 30'000;

 private:
  SqliteLedger* Spool(std::string* error);
  // The spool, when its file exists; null without error when it does not.
  SqliteLedger* ExistingSpool(std::string* error);
  void Rest(ServerFailure failure);
  bool ToSpool(const Record& record, const std::string& rejected, const std::string& why,
               std::string* error);

  std::unique_ptr<PostgresLedger> server_;
  const std::string spoolPath_;
  std::mutex spoolMutex_;
  std::unique_ptr<SqliteLedger> spool_;
  std::atomic<int64_t> restUntilMs_{0};  // steady clock
};

}  // namespace qelvar::ledger
