#include "ledger/sqlite_ledger.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>

#include "ledger/schema.h"
#include "platform/files.h"

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
    const int code = sqlite3_errcode(db) & 0xff;
    *error = "ledger " + path + ": " + *error;
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
      *error +=
          "; the file is damaged: close the station and run 'qelvar-cli ledger recover', "
          "which copies its readable records into a fresh file";
    }
    return nullptr;
  }
  return ledger;
}

SqliteLedger::~SqliteLedger() {
  sqlite3_finalize(insert_);
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
  return QueryEach(
      sql, parameters,
      [rows](std::vector<std::string>& row) {
        if (rows) rows->push_back(row);
        return true;
      },
      error);
}

bool SqliteLedger::QueryEach(const std::string& sql, const std::vector<std::string>& parameters,
                             const std::function<bool(std::vector<std::string>&)>& each,
                             std::string* error) {
  Prepared stmt(db_, sql);
  if (!stmt.get()) {
    *error = Why(db_, "cannot prepare a ledger query");
    return false;
  }
  for (size_t i = 0; i < parameters.size(); ++i) {
    sqlite3_bind_text(stmt.get(), static_cast<int>(i + 1), parameters[i].data(),
                      static_cast<int>(parameters[i].size()), SQLITE_TRANSIENT);
  }
  std::vector<std::string> row;
  for (;;) {
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Why(db_, "ledger query failed");
      return false;
    }
    const int n = sqlite3_column_count(stmt.get());
    row.resize(static_cast<size_t>(n));
    for (int c = 0; c < n; ++c) {
      const auto* text = sqlite3_column_text(stmt.get(), c);
      row[static_cast<size_t>(c)].assign(text ? reinterpret_cast<const char*>(text) : "",
                                         static_cast<size_t>(sqlite3_column_bytes(stmt.get(), c)));
    }
    if (!each(row)) {
      *error = "the listing was stopped";
      return false;
    }
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
  static const std::string sql = [] {
    std::string text = "INSERT INTO records (" + schema::RecordColumns() + ") VALUES (?";
    for (size_t i = 1; i < schema::kRecordColumnCount; ++i) text += ", ?";
    return text + ")" + schema::CompletesUnfinished();
  }();
  // Prepared once: a copy of a million records would spend most of its time
  // parsing the same statement again.
  if (!insert_ && sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &insert_,
                                     nullptr) != SQLITE_OK) {
    insert_ = nullptr;
    *error = Why(db_, "cannot prepare a ledger query");
    return false;
  }
  const std::vector<std::string> values = schema::RecordValues(record);
  sqlite3_reset(insert_);
  sqlite3_clear_bindings(insert_);
  for (size_t i = 0; i < values.size(); ++i) {
    sqlite3_bind_text(insert_, static_cast<int>(i + 1), values[i].data(),
                      static_cast<int>(values[i].size()), SQLITE_TRANSIENT);
  }
  const int rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (rc != SQLITE_DONE) {
    *error = Why(db_, "ledger query failed");
    return false;
  }
  return true;
}

bool SqliteLedger::MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                               size_t* marked, std::string* error) {
  std::string sql = "UPDATE records SET status = '" + std::string(kAbortedStatus) +
                    "' WHERE status = '" + std::string(kStartedStatus) + "' AND station = ?";
  std::vector<std::string> parameters{std::string(station)};
  for (const std::string& run : liveRuns) {
    sql += " AND run_id <> ?";
    parameters.push_back(run);
  }
  std::lock_guard lock(mutex_);
  if (!Query(sql, parameters, nullptr, error)) return false;
  *marked = static_cast<size_t>(sqlite3_changes(db_));
  return true;
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

bool SqliteLedger::HistoryEach(const HistoryQuery& query, const RecordSink& each,
                               std::string* error) {
  schema::Statement s = schema::HistoryStatement(query, [](size_t) { return "?"; });
  std::lock_guard lock(mutex_);
  bool unreadable = false;
  const bool ok = QueryEach(
      s.sql, s.parameters,
      [&](std::vector<std::string>& row) {
        std::optional<Record> record = schema::RecordFromValues(row);
        if (!record) {
          unreadable = true;
          return false;
        }
        return each(*record);
      },
      error);
  if (unreadable) *error = "the ledger holds a record that cannot be read";
  return ok;
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

std::vector<std::string> SqliteLedger::QuickCheck() {
  std::vector<std::vector<std::string>> rows;
  std::string error;
  std::lock_guard lock(mutex_);
  if (!Query("PRAGMA quick_check", {}, &rows, &error)) return {error};
  std::vector<std::string> problems;
  for (const auto& row : rows) {
    if (!row.empty() && row[0] != "ok") problems.push_back(row[0]);
  }
  return problems;
}

bool SqliteLedger::ProbeWrite(std::string* error) {
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  const bool wrote = Query("INSERT INTO schema_version (version) VALUES (0)", {}, nullptr, error);
  std::string ignored;
  (void)Exec("ROLLBACK", &ignored);
  return wrote;
}

namespace {

// The records a damaged file still gives up, read in rowid order. A part of
// the file that cannot be read is stepped over by ever larger strides, so a
// few bad pages cost a few rows around them, not the rest of the file.
// Each record is handed to `take` as it is read; false from it stops the read.
bool ReadWhatCan(sqlite3* db, const std::function<bool(const Record&)>& take,
                 SqliteLedger::Recovered* report) {
  constexpr int kBatch = 512;
  const std::string sql = "SELECT rowid, " + schema::RecordColumns() +
                          " FROM records WHERE rowid > ? ORDER BY rowid LIMIT " +
                          std::to_string(kBatch);
  Prepared stmt(db, sql);
  if (!stmt.get()) {
    report->damagedRange = true;  // not even the table's layout can be read
    return true;
  }
  int64_t after = INT64_MIN;
  uint64_t stride = 0;
  for (;;) {
    sqlite3_reset(stmt.get());
    sqlite3_bind_int64(stmt.get(), 1, after);
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      ++rows;
      after = sqlite3_column_int64(stmt.get(), 0);
      std::vector<std::string> values;
      values.reserve(schema::kRecordColumnCount);
      for (int c = 1; c <= static_cast<int>(schema::kRecordColumnCount); ++c) {
        const auto* text = sqlite3_column_text(stmt.get(), c);
        values.emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                            static_cast<size_t>(sqlite3_column_bytes(stmt.get(), c)));
      }
      std::optional<Record> record = schema::RecordFromValues(values);
      if (!record) {
        ++report->unreadable;
      } else if (!take(*record)) {
        return false;
      }
    }
    if (rc == SQLITE_DONE) {
      if (rows < kBatch) return true;
      stride = 0;
      continue;
    }
    report->damagedRange = true;
    stride = stride == 0 ? 1 : stride * 2;
    if (stride > (uint64_t{1} << 62) || after > INT64_MAX - static_cast<int64_t>(stride)) {
      return true;
    }
    after += static_cast<int64_t>(stride);
  }
}

std::string UtcStamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

bool SqliteLedger::Recover(const std::string& path, Recovered* report, std::string* error) {
  namespace fs = std::filesystem;
  *report = {};
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    *error = "there is no ledger file " + path;
    return false;
  }
  // The fresh file: no log while it is filled (it is nobody's ledger yet),
  // then flushed to the disk whole before it takes the name.
  const std::string fresh = path + ".recovering";
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(fresh + suffix, ec);
  {
    // The lookups' indexes are made after the copy, in one sort each, not
    // kept up record by record.
    std::unique_ptr<SqliteLedger> store = Open(fresh, error, 1);
    if (!store) return false;
    bool ok = store->Exec("PRAGMA journal_mode=OFF", error) &&
              store->Exec("PRAGMA synchronous=OFF", error) && store->Exec("BEGIN", error);
    sqlite3* old = nullptr;
    if (ok && sqlite3_open_v2(path.c_str(), &old, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(old, kBusyTimeoutMs);
      std::lock_guard lock(store->mutex_);
      ok = ReadWhatCan(
          old, [&](const Record& record) { return store->InsertLocked(record, error); }, report);
    } else if (ok) {
      report->damagedRange = true;
    }
    sqlite3_close(old);
    ok = ok && store->Exec("COMMIT", error) && store->Migrate(kSchemaVersion, error);
    if (ok) report->copied = store->Count();
    store.reset();
    if (ok && !platform::FlushToDisk(fresh)) {
      *error = "cannot flush it to the disk";
      ok = false;
    }
    if (!ok) {
      *error = "cannot write the fresh ledger " + fresh + ": " + *error;
      fs::remove(fresh, ec);
      return false;
    }
  }

  // The old file stays where it was until the fresh one replaces it in one
  // rename; its log goes aside with it, never to be read as the fresh one's.
  std::string aside = path + ".corrupt-" + UtcStamp();
  for (int n = 2; fs::exists(aside, ec); ++n) {
    aside = path + ".corrupt-" + UtcStamp() + "-" + std::to_string(n);
  }
  fs::create_hard_link(path, aside, ec);
  if (ec) {
    ec.clear();
    fs::copy_file(path, aside, ec);
  }
  if (ec) {
    *error = "cannot keep the old ledger aside as " + aside + ": " + ec.message();
    fs::remove(fresh, ec);
    return false;
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    if (fs::exists(path + suffix, ec)) fs::rename(path + suffix, aside + suffix, ec);
  }
  fs::rename(fresh, path, ec);
  if (!ec)
    (void)platform::FlushToDisk(fs::path(path).parent_path().empty() ? std::string(".")
                                                           : fs::path(path).parent_path().string());
  if (ec) {
    *error = "cannot put the fresh ledger in place of " + path + ": " + ec.message() + " (it is " +
             fresh + "; the old one is also kept as " + aside + ")";
    return false;
  }
  report->asidePath = aside;
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
