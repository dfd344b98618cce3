#include "ledger/postgres_ledger.h"

#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>

#include "ledger/schema.h"

namespace qelvar::ledger {
namespace {

// Any fixed number: every station's migration takes this lock first, so a
// line of stations started at once migrates exactly once.
constexpr int64_t kMigrationLock = 0x51656C766172;

std::string Dollar(size_t n) {
  return "$" + std::to_string(n);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

PostgresLedger::PostgresLedger(std::string url, int upTo) : url_(std::move(url)), upTo_(upTo) {}

PostgresLedger::~PostgresLedger() {
  DropLocked();
}

void PostgresLedger::DropLocked() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

bool PostgresLedger::Connect(std::string* error) {
  std::lock_guard lock(mutex_);
  return ConnectLocked(error);
}

bool PostgresLedger::ConnectLocked(std::string* error) {
  if (conn_ && PQstatus(conn_) == CONNECTION_OK) return true;
  DropLocked();
  // The URL's own settings first; the time-out after it, so no setting can
  // make a Start or a port's end wait without bound.
  const std::string timeout = std::to_string(kConnectTimeoutSeconds);
  const char* keywords[] = {"dbname", "connect_timeout", nullptr};
  const char* values[] = {url_.c_str(), timeout.c_str(), nullptr};
  conn_ = PQconnectdbParams(keywords, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    *error = "cannot reach the shared ledger: " +
             Trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory");
    DropLocked();
    return false;
  }
  const std::string setTimeout = "SET statement_timeout = " + std::to_string(kStatementTimeoutMs);
  if (!Exec(setTimeout, {}, nullptr, error) ||
      !Exec("SET client_min_messages = warning", {}, nullptr, error) || !MigrateLocked(error)) {
    DropLocked();
    return false;
  }
  return true;
}

bool PostgresLedger::Exec(const std::string& sql, const std::vector<std::string>& parameters,
                          std::vector<std::vector<std::string>>* rows, std::string* error,
                          std::string* sqlState) {
  if (!conn_) {
    *error = "not connected to the shared ledger";
    return false;
  }
  std::vector<const char*> values;
  values.reserve(parameters.size());
  for (const std::string& p : parameters) values.push_back(p.c_str());
  return Collect(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0),
                 rows, error, sqlState);
}

bool PostgresLedger::Collect(pg_result* result, std::vector<std::vector<std::string>>* rows,
                             std::string* error, std::string* sqlState) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_));
    if (sqlState) {
      const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
      *sqlState = state ? state : "";
    }
    PQclear(result);
    if (PQstatus(conn_) != CONNECTION_OK) DropLocked();
    return false;
  }
  if (rows) {
    const int n = PQntuples(result);
    const int m = PQnfields(result);
    rows->reserve(rows->size() + static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
      std::vector<std::string> row;
      row.reserve(static_cast<size_t>(m));
      for (int c = 0; c < m; ++c) {
        row.emplace_back(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c)));
      }
      rows->push_back(std::move(row));
    }
  }
  PQclear(result);
  return true;
}

bool PostgresLedger::MigrateLocked(std::string* error) {
  std::string ignored;
  auto rollback = [&] {
    if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
    return false;
  };
  if (!Exec("BEGIN", {}, nullptr, error)) return false;
  std::vector<std::vector<std::string>> rows;
  if (!Exec("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")", {}, nullptr,
            error) ||
      !Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {}, nullptr,
            error) ||
      !Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, &rows, error)) {
    return rollback();
  }
  int version = rows.empty() ? 0 : std::atoi(rows[0][0].c_str());
  const auto& steps = schema::Migrations();
  if (version > static_cast<int>(steps.size())) {
    *error = "the shared ledger's schema version " + std::to_string(version) +
             " is newer than this program knows (" + std::to_string(steps.size()) +
             "); use a newer program";
    return rollback();
  }
  for (int v = version + 1; v <= upTo_ && v <= static_cast<int>(steps.size()); ++v) {
    for (const std::string& sql : steps[static_cast<size_t>(v - 1)]) {
      if (!Exec(sql, {}, nullptr, error)) return rollback();
    }
    if (!Exec("DELETE FROM schema_version", {}, nullptr, error) ||
        !Exec("INSERT INTO schema_version (version) VALUES ($1)", {std::to_string(v)}, nullptr,
              error)) {
      return rollback();
    }
    version = v;
  }
  if (!Exec("COMMIT", {}, nullptr, error)) return false;
  version_ = version;
  return true;
}

int PostgresLedger::SchemaVersion() const {
  std::lock_guard lock(mutex_);
  return version_;
}

bool PostgresLedger::InsertLocked(const Record& record, std::string* error) {
  std::string sql = "INSERT INTO records (" + schema::RecordColumns() + ") VALUES ($1";
  for (size_t i = 2; i <= schema::kRecordColumnCount; ++i) sql += ", " + Dollar(i);
  sql += ") ON CONFLICT (id) DO NOTHING";
  return Exec(sql, schema::RecordValues(record), nullptr, error);
}

bool PostgresLedger::Append(const Record& record, std::string* error) {
  std::lock_guard lock(mutex_);
  return ConnectLocked(error) && InsertLocked(record, error);
}

bool PostgresLedger::AppendMany(const std::vector<Record>& records, std::string* error) {
  std::lock_guard lock(mutex_);
  if (!ConnectLocked(error) || !Exec("BEGIN", {}, nullptr, error)) return false;
  for (const Record& record : records) {
    if (!InsertLocked(record, error)) {
      std::string ignored;
      if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
      return false;
    }
  }
  return Exec("COMMIT", {}, nullptr, error);
}

bool PostgresLedger::History(const HistoryQuery& query, std::vector<Record>* records,
                             std::string* error) {
  schema::Statement s = schema::HistoryStatement(query, Dollar);
  std::vector<std::vector<std::string>> rows;
  {
    std::lock_guard lock(mutex_);
    if (!ConnectLocked(error) || !Exec(s.sql, s.parameters, &rows, error)) return false;
  }
  records->clear();
  records->reserve(rows.size());
  for (const auto& row : rows) {
    std::optional<Record> record = schema::RecordFromValues(row);
    if (!record) {
      *error = "the shared ledger holds a record that cannot be read";
      return false;
    }
    records->push_back(std::move(*record));
  }
  return true;
}

bool PostgresLedger::Yield(const YieldQuery& query, YieldReport* report, std::string* error) {
  schema::Statement s = schema::YieldStatement(query, Dollar);
  std::vector<std::vector<std::string>> rows;
  {
    std::lock_guard lock(mutex_);
    if (!ConnectLocked(error) || !Exec(s.sql, s.parameters, &rows, error)) return false;
  }
  *report = schema::FoldYieldRows(rows, query.by);
  return true;
}

bool PostgresLedger::TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialIncrement& increment,
                                 std::vector<std::string>* serials, std::string* error) {
  serials->clear();
  if (count <= 0) return true;
  const std::string name(series);
  std::lock_guard lock(mutex_);
  if (!ConnectLocked(error)) return false;
  std::string ignored;
  auto rollback = [&] {
    if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
    serials->clear();
    return false;
  };
  std::string seriesText, seedText, stationText;
  if (!Literal(name, &seriesText, error) || !Literal(std::string(seed), &seedText, error) ||
      !Literal(std::string(station), &stationText, error)) {
    return false;
  }
  // Two round trips: the row lock is taken in the first and released by the
  // COMMIT that ends the second, so concurrent Starts of a series take turns,
  // each reading the next serial the previous one stored, and none waits
  // longer than one round trip of each Start before it.
  std::vector<std::vector<std::string>> rows;
  if (!Script("BEGIN; INSERT INTO serial_series (series, next_serial) VALUES (" + seriesText +
                  ", " + seedText +
                  ") ON CONFLICT (series) DO NOTHING;"
                  " SELECT next_serial FROM serial_series WHERE series = " +
                  seriesText + " FOR UPDATE",
              &rows, error) ||
      rows.empty()) {
    if (rows.empty() && error->empty()) *error = "the serial series " + name + " could not be read";
    return rollback();
  }
  std::string next = rows[0][0];
  if (next.empty()) {
    *error = "the serial series " + name + " has no serial to start from ([Identify] SN)";
    return rollback();
  }
  const std::string now = std::to_string(NowMs());
  std::string script = "INSERT INTO serial_grants (series, serial, station, granted_at_ms) VALUES ";
  for (int i = 0; i < count; ++i) {
    std::string serialText;
    if (!Literal(next, &serialText, error)) return rollback();
    serials->push_back(next);
    script +=
        (i ? ", (" : "(") + seriesText + ", " + serialText + ", " + stationText + ", " + now + ")";
    increment(next);
  }
  std::string nextText;
  if (!Literal(next, &nextText, error)) return rollback();
  script += "; UPDATE serial_series SET next_serial = " + nextText +
            " WHERE series = " + seriesText + "; COMMIT";
  std::string state;
  if (!Script(script, nullptr, error, &state)) {
    if (state == "23505") {
      *error = "the serial series " + name +
               " has come round to serials it handed out before; set a new [Identify] SN and"
               " [Ledger] Series";
    }
    return rollback();
  }
  return true;
}

bool PostgresLedger::Literal(const std::string& text, std::string* literal, std::string* error) {
  char* escaped = PQescapeLiteral(conn_, text.data(), text.size());
  if (!escaped) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_));
    return false;
  }
  *literal = escaped;
  PQfreemem(escaped);
  return true;
}

bool PostgresLedger::Script(const std::string& sql, std::vector<std::vector<std::string>>* rows,
                            std::string* error, std::string* sqlState) {
  if (!conn_) {
    *error = "not connected to the shared ledger";
    return false;
  }
  return Collect(PQexec(conn_, sql.c_str()), rows, error, sqlState);
}

bool PostgresLedger::Sync(size_t* pushed, std::string*) {
  *pushed = 0;
  return true;
}

}  // namespace qelvar::ledger
