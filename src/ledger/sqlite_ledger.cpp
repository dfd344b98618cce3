#include "ledger/sqlite_ledger.h"

#include <sqlite3.h>

#include <cstdlib>

#include "ledger/schema.h"

namespace qelvar::ledger {
namespace {

constexpr int kBusyTimeoutMs = 5000;

std::string Why(sqlite3* db, const std::string& what) {
  return what + ": " + sqlite3_errmsg(db);
}

// A prepared statement, finalized on every path.
class Prepared {
 public:
  Prepared(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Prepared() { sqlite3_finalize(stmt_); }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

std::unique_ptr<SqliteLedger> SqliteLedger::Open(const std::string& path, std::string* error,
                                                 int upTo) {
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open the ledger " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<SqliteLedger> ledger(new SqliteLedger(db));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // WAL: readers (the window's history, the CLI) never block the writer, and
  // a commit is one append to the log. NORMAL keeps every commit across a
  // killed program; only a power cut may lose the last few.
  if (!ledger->Exec("PRAGMA journal_mode=WAL", error) ||
      !ledger->Exec("PRAGMA synchronous=NORMAL", error) || !ledger->Migrate(upTo, error)) {
    *error = "ledger " + path + ": " + *error;
    return nullptr;
  }
  return ledger;
}

SqliteLedger::~SqliteLedger() {
  sqlite3_close(db_);
}

bool SqliteLedger::Exec(const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    *error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  return true;
}

bool SqliteLedger::Query(const std::string& sql, const std::vector<std::string>& parameters,
                         std::vector<std::vector<std::string>>* rows, std::string* error) {
  Prepared stmt(db_, sql);
  if (!stmt.get()) {
    *error = Why(db_, "cannot prepare a ledger query");
    return false;
  }
  for (size_t i = 0; i < parameters.size(); ++i) {
    sqlite3_bind_text(stmt.get(), static_cast<int>(i + 1), parameters[i].data(),
                      static_cast<int>(parameters[i].size()), SQLITE_TRANSIENT);
  }
  for (;;) {
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Why(db_, "ledger query failed");
      return false;
    }
    if (!rows) continue;
    const int n = sqlite3_column_count(stmt.get());
    std::vector<std::string> row;
    row.reserve(static_cast<size_t>(n));
    for (int c = 0; c < n; ++c) {
      const auto* text = sqlite3_column_text(stmt.get(), c);
      row.emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                       static_cast<size_t>(sqlite3_column_bytes(stmt.get(), c)));
    }
    rows->push_back(std::move(row));
  }
}

bool SqliteLedger::Migrate(int upTo, std::string* error) {
  std::lock_guard lock(mutex_);
  // IMMEDIATE: two programs opening a new ledger at once migrate one after
  // the other, and the second sees the first one's version.
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  std::vector<std::vector<std::string>> rows;
  bool ok = Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", error) &&
            Query("SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, &rows, error);
  int version = ok && !rows.empty() ? std::atoi(rows[0][0].c_str()) : 0;
  const auto& steps = schema::Migrations();
  if (ok && version > static_cast<int>(steps.size())) {
    *error = "its schema version " + std::to_string(version) +
             " is newer than this program knows (" + std::to_string(steps.size()) +
             "); use a newer program";
    ok = false;
  }
  for (int v = version + 1; ok && v <= upTo && v <= static_cast<int>(steps.size()); ++v) {
    for (const std::string& sql : steps[static_cast<size_t>(v - 1)].statements) {
      if (!(ok = Exec(sql, error))) break;
    }
    if (ok)
      ok = Query("DELETE FROM schema_version", {}, nullptr, error) &&
           Query("INSERT INTO schema_version (version) VALUES (?)", {std::to_string(v)}, nullptr,
                 error);
    if (ok) version = v;
  }
  if (!ok) {
    std::string ignored;
    (void)Exec("ROLLBACK", &ignored);
    return false;
  }
  if (!Exec("COMMIT", error)) return false;
  version_ = version;
  return true;
}

int SqliteLedger::SchemaVersion() const {
  std::lock_guard lock(mutex_);
  return version_;
}

bool SqliteLedger::InsertLocked(const Record& record, std::string* error) {
  std::string sql = "INSERT OR IGNORE INTO records (" + schema::RecordColumns() + ") VALUES (?";
  for (size_t i = 1; i < schema::kRecordColumnCount; ++i) sql += ", ?";
  sql += ")";
  return Query(sql, schema::RecordValues(record), nullptr, error);
}

bool SqliteLedger::Append(const Record& record, std::string* error) {
  std::lock_guard lock(mutex_);
  return InsertLocked(record, error);
}

bool SqliteLedger::AppendMany(const std::vector<Record>& records, std::string* error) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  for (const Record& record : records) {
    if (!InsertLocked(record, error)) {
      std::string ignored;
      (void)Exec("ROLLBACK", &ignored);
      return false;
    }
  }
  return Exec("COMMIT", error);
}

static bool RowsToRecords(const std::vector<std::vector<std::string>>& rows,
                          std::vector<Record>* records, std::string* error) {
  records->clear();
  records->reserve(rows.size());
  for (const auto& row : rows) {
    std::optional<Record> record = schema::RecordFromValues(row);
    if (!record) {
      *error = "the ledger holds a record that cannot be read";
      return false;
    }
    records->push_back(std::move(*record));
  }
  return true;
}

bool SqliteLedger::History(const HistoryQuery& query, std::vector<Record>* records,
                           std::string* error) {
  schema::Statement s = schema::HistoryStatement(query, [](size_t) { return "?"; });
  std::vector<std::vector<std::string>> rows;
  std::lock_guard lock(mutex_);
  return Query(s.sql, s.parameters, &rows, error) && RowsToRecords(rows, records, error);
}

bool SqliteLedger::SpoolTableLocked(std::string* error) {
  if (spoolTable_) return true;
  // A spool written before records could be rejected has no such table.
  spoolTable_ =
      Exec("CREATE TABLE IF NOT EXISTS spool_rejected (id TEXT PRIMARY KEY, reason TEXT NOT NULL)",
           error);
  return spoolTable_;
}

bool SqliteLedger::Oldest(size_t limit, std::vector<Record>* records, std::string* error) {
  std::vector<std::vector<std::string>> rows;
  std::lock_guard lock(mutex_);
  return SpoolTableLocked(error) &&
         Query("SELECT " + schema::RecordColumns() +
                   " FROM records WHERE id NOT IN (SELECT id FROM spool_rejected)"
                   " ORDER BY ended_at_ms, id LIMIT " +
                   std::to_string(limit),
               {}, &rows, error) &&
         RowsToRecords(rows, records, error);
}

bool SqliteLedger::Remove(const std::string& id, std::string* error) {
  std::lock_guard lock(mutex_);
  return Query("DELETE FROM records WHERE id = ?", {id}, nullptr, error) &&
         (!spoolTable_ || Query("DELETE FROM spool_rejected WHERE id = ?", {id}, nullptr, error));
}

bool SqliteLedger::MarkRejected(const std::string& id, const std::string& reason,
                                std::string* error) {
  std::lock_guard lock(mutex_);
  return SpoolTableLocked(error) &&
         Query("INSERT OR REPLACE INTO spool_rejected (id, reason) VALUES (?, ?)", {id, reason},
               nullptr, error);
}

bool SqliteLedger::Entries(std::vector<SpoolEntry>* entries, std::string* error) {
  std::vector<std::vector<std::string>> rows;
  {
    std::lock_guard lock(mutex_);
    if (!SpoolTableLocked(error) ||
        !Query(
            "SELECT COALESCE((SELECT reason FROM spool_rejected s WHERE s.id = records.id), ''), " +
                schema::RecordColumns() + " FROM records ORDER BY ended_at_ms, id",
            {}, &rows, error)) {
      return false;
    }
  }
  entries->clear();
  for (auto& row : rows) {
    std::string reason = std::move(row.front());
    row.erase(row.begin());
    std::optional<Record> record = schema::RecordFromValues(row);
    if (!record) {
      *error = "the spool holds a record that cannot be read";
      return false;
    }
    entries->push_back({std::move(*record), std::move(reason)});
  }
  return true;
}

size_t SqliteLedger::CountRejected() {
  std::vector<std::vector<std::string>> rows;
  std::string error;
  std::lock_guard lock(mutex_);
  if (!SpoolTableLocked(&error) ||
      !Query("SELECT COUNT(*) FROM spool_rejected WHERE id IN (SELECT id FROM records)", {}, &rows,
             &error) ||
      rows.empty()) {
    return 0;
  }
  return static_cast<size_t>(std::atoll(rows[0][0].c_str()));
}

size_t SqliteLedger::Count() {
  std::vector<std::vector<std::string>> rows;
  std::string error;
  std::lock_guard lock(mutex_);
  if (!Query("SELECT COUNT(*) FROM records", {}, &rows, &error) || rows.empty()) return 0;
  return static_cast<size_t>(std::atoll(rows[0][0].c_str()));
}

bool SqliteLedger::Yield(const YieldQuery& query, YieldReport* report, std::string* error) {
  schema::Statement s = schema::YieldStatement(query, [](size_t) { return "?"; });
  std::vector<std::vector<std::string>> rows;
  {
    std::lock_guard lock(mutex_);
    if (!Query(s.sql, s.parameters, &rows, error)) return false;
  }
  *report = schema::FoldYieldRows(rows, query.by);
  return true;
}

bool SqliteLedger::TakeSerials(std::string_view, std::string_view, int, std::string_view,
                               const SerialAdvance&, std::vector<std::string>*,
                               std::string* error) {
  *error = "serial series live in a shared ledger only ([Ledger] Url=postgresql://...)";
  return false;
}

bool SqliteLedger::Sync(size_t* pushed, std::string*) {
  *pushed = 0;  // nothing is ever held back from a local file
  return true;
}

}  // namespace qelvar::ledger
