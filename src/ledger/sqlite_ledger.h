// The station's own ledger: one SQLite file in the station folder, in WAL
// mode, so a record is either wholly in the file or not at all, even when the
// program is killed mid-write. Also the spool of a shared ledger.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ledger/ledger.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qelvar::ledger {

class SqliteLedger final : public Ledger {
 public:
  // Opens (creating) `path` and migrates it up to `upTo`. Null with *error
  // when the file cannot be opened or migrated.
  static std::unique_ptr<SqliteLedger> Open(const std::string& path, std::string* error,
                                            int upTo = kSchemaVersion);
  ~SqliteLedger() override;
  SqliteLedger(const SqliteLedger&) = delete;
  SqliteLedger& operator=(const SqliteLedger&) = delete;

  [[nodiscard]] bool Append(const Record& record, std::string* error) override;
  [[nodiscard]] bool HistoryEach(const HistoryQuery& query, const RecordSink& each,
                                 std::string* error) override;
  [[nodiscard]] bool Yield(const YieldQuery& query, YieldReport* report,
                           std::string* error) override;
  // A station's own ledger has no series: serials stay in its settings.
  [[nodiscard]] bool TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialAdvance& advance,
                                 std::vector<std::string>* serials, std::string* error) override;
  [[nodiscard]] bool Sync(size_t* pushed, std::string* error) override;
  [[nodiscard]] bool MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error) override;
  [[nodiscard]] int SchemaVersion() const override;
  [[nodiscard]] bool Shared() const override { return false; }

  // Spool use: the oldest `limit` records still to push (none the shared
  // ledger rejected), and removal of a pushed one.
  [[nodiscard]] bool Oldest(size_t limit, std::vector<Record>* records, std::string* error);
  [[nodiscard]] bool Remove(const std::string& id, std::string* error);
  [[nodiscard]] size_t Count();
  // A record the shared ledger refused, with its reason: kept, and set
  // aside from the pushes.
  [[nodiscard]] bool MarkRejected(const std::string& id, const std::string& reason,
                                  std::string* error);
  struct SpoolEntry {
    Record record;
    std::string rejected;  // the shared ledger's reason; empty: waiting
  };
  // Every record in the spool, oldest first.
  [[nodiscard]] bool Entries(std::vector<SpoolEntry>* entries, std::string* error);
  [[nodiscard]] size_t CountRejected();
  // Many records in one transaction (benchmarks and imports).
  [[nodiscard]] bool AppendMany(const std::vector<Record>& records, std::string* error);

  // The damage SQLite's quick check finds in the file, one line each; empty
  // when it is sound.
  [[nodiscard]] std::vector<std::string> QuickCheck();
  // A real write that is rolled back: false with *error when the file takes
  // none (read-only file or folder, a lock held too long, damage).
  [[nodiscard]] bool ProbeWrite(std::string* error);

  struct Recovered {
    size_t copied = 0;          // records now in the fresh file
    size_t unreadable = 0;      // rows that were found but could not be read
    bool damagedRange = false;  // a part of the file could not be read at all
    std::string asidePath;      // where the old file now is
  };
  // Copies every record that can still be read from the file at `path` into
  // a fresh file, which then replaces it in one rename; the old file (and its
  // log) is kept aside as `path`.corrupt-<UTC time>. No program may have the
  // file open meanwhile. False with *error when nothing was replaced.
  static bool Recover(const std::string& path, Recovered* report, std::string* error);

 private:
  explicit SqliteLedger(sqlite3* db) : db_(db) {}
  bool Migrate(int upTo, std::string* error);
  bool Exec(const std::string& sql, std::string* error);
  bool Query(const std::string& sql, const std::vector<std::string>& parameters,
             std::vector<std::vector<std::string>>* rows, std::string* error);
  // As Query, handing each row to `row` as it is read (the vector reused);
  // false from `row` stops the query.
  bool QueryEach(const std::string& sql, const std::vector<std::string>& parameters,
                 const std::function<bool(std::vector<std::string>&)>& row, std::string* error);
  bool InsertLocked(const Record& record, std::string* error);
  // The spool's list of rejected records, made when first needed.
  bool SpoolTableLocked(std::string* error);

  mutable std::mutex mutex_;
  sqlite3* db_;
  sqlite3_stmt* insert_ = nullptr;  // the record insert, prepared at first use
  int version_ = 0;
  bool spoolTable_ = false;
};

}  // namespace qelvar::ledger
