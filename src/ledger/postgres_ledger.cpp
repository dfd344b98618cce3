#include "ledger/postgres_ledger.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "ledger/redact.h"
#include "ledger/schema.h"
#include "platform/socket_wait.h"

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

// A message of the client library, which may echo the connection settings
// `url` or a part of them.
std::string Trimmed(const char* text, const std::string& url) {
  std::string s = RedactPassword(text ? text : "", url);
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::chrono::steady_clock::time_point DeadlineIn(int seconds) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

// Asks the server to stop what a connection given up on still runs. The
// request opens a connection of its own and waits for the server without a
// bound, so it runs on a thread of its own that the caller never waits for;
// a few at most, however long the server stays away.
void CancelInBackground(PGcancel* cancel) {
  static std::atomic<int> running{0};
  if (!cancel) return;
  if (running.fetch_add(1) >= 4) {
    running.fetch_sub(1);
    PQfreeCancel(cancel);
    return;
  }
  try {
    std::thread([cancel] {
      char message[256];
      (void)PQcancel(cancel, message, sizeof message);
      PQfreeCancel(cancel);
      running.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    running.fetch_sub(1);
    PQfreeCancel(cancel);
  }
}

}  // namespace

PostgresLedger::PostgresLedger(std::string url, int upTo, int timeoutSeconds)
    : url_(std::move(url)), upTo_(upTo), timeoutSeconds_(std::max(1, timeoutSeconds)) {}

PostgresLedger::~PostgresLedger() {
  DropLocked();
}

void PostgresLedger::DropLocked() {
  if (conn_) PQfinish(conn_);  // non-blocking: a frozen server cannot hold it up
  conn_ = nullptr;
}

void PostgresLedger::AbandonLocked(ServerFailure why) {
  failure_ = why;
  if (!conn_) return;
  if (why == ServerFailure::kTimedOut) CancelInBackground(PQgetCancel(conn_));
  DropLocked();
  series_.clear();  // read afresh from the next connection
}

platform::SocketWait PostgresLedger::Wait(int socket, bool writable, Deadline deadline) const {
  // In short steps, so a program that gives up is not held to the deadline.
  for (;;) {
    if (givenUp_.load()) return platform::SocketWait::kTimedOut;
    const Deadline step = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
    const platform::SocketWait waited = platform::WaitForSocket(socket, writable, step);
    if (waited != platform::SocketWait::kTimedOut || step == deadline) return waited;
  }
}

void PostgresLedger::GiveUp() {
  givenUp_.store(true);
}

bool PostgresLedger::Connect(std::string* error) {
  std::lock_guard lock(mutex_);
  return ConnectLocked(error);
}

template <typename Call>
bool PostgresLedger::Retried(std::string* error, const Call& call) {
  const bool wasOpen = conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
  if (!ConnectLocked(error)) return false;
  if (call()) return true;
  if (!wasOpen || failure_ != ServerFailure::kDropped) return false;
  const std::string first = *error;
  if (!ConnectLocked(error)) {
    *error = first + "; connecting again: " + *error;
    return false;
  }
  return call();
}

bool PostgresLedger::ConnectLocked(std::string* error) {
  if (givenUp_.load()) {
    *error = "the shared ledger is not asked any more: the program is ending";
    DropLocked();
    failure_ = ServerFailure::kTimedOut;
    return false;
  }
  if (conn_ && PQstatus(conn_) == CONNECTION_OK) return true;
  DropLocked();
  series_.clear();
  failure_ = ServerFailure::kNone;
  // The URL's own settings first; the time-out and keepalives after it, so
  // no setting can make a Start or a port's end wait without bound.
  const std::string timeout = std::to_string(timeoutSeconds_);
  const std::string interval = std::to_string(std::max(1, timeoutSeconds_ / 3));
  const std::string userTimeout = std::to_string(timeoutSeconds_ * 1000);
  const char* keywords[] = {"dbname",
                            "connect_timeout",
                            "keepalives",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "tcp_user_timeout",
                            nullptr};
  const char* values[] = {url_.c_str(),        timeout.c_str(),  "1",
                          timeout.c_str(),     interval.c_str(), "3",
                          userTimeout.c_str(), nullptr};
  const Deadline deadline = DeadlineIn(timeoutSeconds_);
  conn_ = PQconnectStartParams(keywords, values, 1);
  PostgresPollingStatusType polled = PGRES_POLLING_WRITING;
  if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) polled = PGRES_POLLING_FAILED;
  while (polled != PGRES_POLLING_OK && polled != PGRES_POLLING_FAILED) {
    const platform::SocketWait waited =
        Wait(PQsocket(conn_), polled == PGRES_POLLING_WRITING, deadline);
    if (waited == platform::SocketWait::kTimedOut) {
      *error = "cannot reach the shared ledger: no answer within " + timeout + " s";
      DropLocked();
      failure_ = ServerFailure::kTimedOut;
      return false;
    }
    if (waited == platform::SocketWait::kFailed) break;
    polled = PQconnectPoll(conn_);
  }
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    *error = "cannot reach the shared ledger: " +
             Trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory", url_);
    DropLocked();
    failure_ = ServerFailure::kUnreachable;
    return false;
  }
  // Non-blocking from here on: a statement waits in Collect, with a deadline.
  if (PQsetnonblocking(conn_, 1) != 0) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
    DropLocked();
    failure_ = ServerFailure::kUnreachable;
    return false;
  }
  // The server gives up on a statement when the client would.
  const std::string setTimeout =
      "SET statement_timeout = " + std::to_string(timeoutSeconds_ * 1000);
  if (!Exec(setTimeout, {}, nullptr, error) ||
      !Exec("SET client_min_messages = warning", {}, nullptr, error) || !MigrateLocked(error)) {
    if (conn_) AbandonLocked(failure_ == ServerFailure::kNone ? ServerFailure::kRefused : failure_);
    return false;
  }
  return true;
}

bool PostgresLedger::SendLocked(const std::string& sql, const std::vector<std::string>& parameters,
                                std::string* error) {
  if (!conn_) {
    *error = "not connected to the shared ledger";
    return false;
  }
  std::vector<const char*> values;
  values.reserve(parameters.size());
  for (const std::string& p : parameters) values.push_back(p.c_str());
  if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                         values.data(), nullptr, nullptr, 0)) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
    AbandonLocked(ServerFailure::kDropped);
    return false;
  }
  return true;
}

bool PostgresLedger::Exec(const std::string& sql, const std::vector<std::string>& parameters,
                          std::vector<std::vector<std::string>>* rows, std::string* error,
                          std::string* sqlState) {
  if (!SendLocked(sql, parameters, error)) return false;
  return Collect(rows, error, sqlState);
}

bool PostgresLedger::ExecEach(const std::string& sql, const std::vector<std::string>& parameters,
                              const RowSink& each, size_t* delivered, std::string* error) {
  if (!SendLocked(sql, parameters, error)) return false;
  // Without it libpq gathers the whole result before handing over a row.
  (void)PQsetSingleRowMode(conn_);
  return Collect(nullptr, error, nullptr, &each, delivered);
}

bool PostgresLedger::Collect(std::vector<std::vector<std::string>>* rows, std::string* error,
                             std::string* sqlState, const RowSink* each, size_t* delivered) {
  // The server has the time-out to say something each time: a long result
  // that keeps coming is not cut off, a server that goes quiet is.
  Deadline deadline = DeadlineIn(timeoutSeconds_);
  const std::string late = "the shared ledger did not answer within " +
                           std::to_string(timeoutSeconds_) + " s; the connection is dropped";
  // Send what is buffered; read meanwhile, so a server busy sending back
  // cannot block both sides.
  for (int flushed = PQflush(conn_); flushed != 0; flushed = PQflush(conn_)) {
    const platform::SocketWait waited = Wait(PQsocket(conn_), true, deadline);
    if (flushed < 0 || waited == platform::SocketWait::kFailed || !PQconsumeInput(conn_)) {
      *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
      AbandonLocked(ServerFailure::kDropped);
      return false;
    }
    if (waited == platform::SocketWait::kTimedOut) {
      *error = givenUp_.load() ? "given up on the shared ledger: the program is ending" : late;
      AbandonLocked(ServerFailure::kTimedOut);
      return false;
    }
  }
  std::string failed;
  std::string state;
  std::vector<std::vector<std::string>> last;
  std::vector<std::string> streamed;
  for (;;) {
    while (PQisBusy(conn_)) {
      const platform::SocketWait waited = Wait(PQsocket(conn_), false, deadline);
      if (waited == platform::SocketWait::kTimedOut) {
        *error = givenUp_.load() ? "given up on the shared ledger: the program is ending" : late;
        AbandonLocked(ServerFailure::kTimedOut);
        return false;
      }
      if (waited == platform::SocketWait::kFailed || !PQconsumeInput(conn_)) {
        *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
        AbandonLocked(ServerFailure::kDropped);
        return false;
      }
      deadline = DeadlineIn(timeoutSeconds_);
    }
    pg_result* result = PQgetResult(conn_);
    if (!result) break;
    const ExecStatusType status = PQresultStatus(result);
    // Rows one at a time, or (had libpq not taken single-row mode) all in
    // one result: either way each goes to `each`, none is dropped.
    if (each && failed.empty() && (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK)) {
      const int n = PQntuples(result);
      const int m = PQnfields(result);
      streamed.resize(static_cast<size_t>(m));
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < m; ++c) {
          streamed[static_cast<size_t>(c)].assign(PQgetvalue(result, r, c),
                                                  static_cast<size_t>(PQgetlength(result, r, c)));
        }
        if (delivered) ++*delivered;
        if (!(*each)(streamed)) {
          // The rest is not wanted: the server stops sending, and the
          // connection, with its rows still on the way, is not used again.
          PQclear(result);
          *error = "the listing was stopped";
          CancelInBackground(PQgetCancel(conn_));
          AbandonLocked(ServerFailure::kNone);
          return false;
        }
      }
      PQclear(result);
      continue;
    }
    if (status == PGRES_TUPLES_OK) {
      last.clear();
      const int n = PQntuples(result);
      const int m = PQnfields(result);
      last.reserve(static_cast<size_t>(n));
      for (int r = 0; r < n; ++r) {
        std::vector<std::string> row;
        row.reserve(static_cast<size_t>(m));
        for (int c = 0; c < m; ++c) {
          row.emplace_back(PQgetvalue(result, r, c),
                           static_cast<size_t>(PQgetlength(result, r, c)));
        }
        last.push_back(std::move(row));
      }
    } else if (status != PGRES_COMMAND_OK && failed.empty()) {
      // The first error is the one that counts; the rest of a script is
      // skipped by the server.
      const char* message = PQresultErrorMessage(result);
      failed = Trimmed(message && *message ? message : PQerrorMessage(conn_), url_);
      if (failed.empty()) failed = "the statement failed";
      const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      state = code ? code : "";
    }
    PQclear(result);
  }
  if (PQstatus(conn_) != CONNECTION_OK) {
    *error = "shared ledger: " + (failed.empty() ? Trimmed(PQerrorMessage(conn_), url_) : failed);
    AbandonLocked(ServerFailure::kDropped);
    return false;
  }
  if (!failed.empty()) {
    *error = "shared ledger: " + failed;
    if (sqlState) *sqlState = state;
    failure_ = ServerFailure::kRefused;
    return false;
  }
  if (rows) {
    rows->reserve(rows->size() + last.size());
    for (auto& row : last) rows->push_back(std::move(row));
  }
  return true;
}

bool PostgresLedger::MigrateLocked(std::string* error) {
  // A schema already up to date is only read: a station's login needs no
  // right to change it.
  {
    std::vector<std::vector<std::string>> rows;
    std::string why, state;
    const int wanted = std::min<int>(upTo_, static_cast<int>(schema::Migrations().size()));
    if (Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, &rows, &why, &state)) {
      const int version = rows.empty() ? 0 : std::atoi(rows[0][0].c_str());
      if (version >= wanted && version <= static_cast<int>(schema::Migrations().size())) {
        version_ = version;
        return true;
      }
    } else if (state != "42P01") {  // not "no such table": the server's own error
      *error = why;
      return false;
    }
  }
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
    const schema::Migration& step = steps[static_cast<size_t>(v - 1)];
    for (const auto* list : {&step.statements, &step.postgresOnly}) {
      for (const std::string& sql : *list) {
        if (!Exec(sql, {}, nullptr, error)) return rollback();
      }
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

bool PostgresLedger::InsertLocked(const Record& record, std::string* error, std::string* sqlState) {
  std::string sql = "INSERT INTO records (" + schema::RecordColumns() + ") VALUES ($1";
  for (size_t i = 2; i <= schema::kRecordColumnCount; ++i) sql += ", " + Dollar(i);
  sql += ")";
  const std::vector<std::string> values = schema::RecordValues(record);
  std::string state;
  if (mayComplete_) {
    if (Exec(sql + schema::CompletesUnfinished(), values, nullptr, error, &state)) return true;
    // A login granted before stations could complete their started records
    // (no UPDATE on records until the admin migrates again) still stores
    // every port's end; a started record, which the end could not replace,
    // is not sent.
    if (state != "42501" || !conn_ || PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      if (sqlState) *sqlState = state;
      return false;
    }
    mayComplete_ = false;
  }
  if (record.status == kStartedStatus) return true;
  return Exec(sql + " ON CONFLICT (id) DO NOTHING", values, nullptr, error, sqlState);
}

bool PostgresLedger::MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error) {
  ServerFailure failure = ServerFailure::kNone;
  return MarkAborted(station, liveRuns, marked, error, &failure);
}

bool PostgresLedger::MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error, ServerFailure* failure) {
  *marked = 0;
  std::string sql = "WITH marked AS (UPDATE records SET status = '" + std::string(kAbortedStatus) +
                    "' WHERE status = '" + std::string(kStartedStatus) + "' AND station = $1";
  std::vector<std::string> parameters{std::string(station)};
  for (const std::string& run : liveRuns) {
    parameters.push_back(run);
    sql += " AND run_id <> " + Dollar(parameters.size());
  }
  sql += " RETURNING 1) SELECT COUNT(*) FROM marked";
  std::lock_guard lock(mutex_);
  std::vector<std::vector<std::string>> rows;
  *failure = ServerFailure::kNone;
  if (!Retried(error, [&] {
        rows.clear();
        return Exec(sql, parameters, &rows, error);
      })) {
    *failure = failure_;
    return false;
  }
  if (!rows.empty() && !rows[0].empty()) *marked = std::strtoull(rows[0][0].c_str(), nullptr, 10);
  return true;
}

bool PostgresLedger::Append(const Record& record, std::string* error) {
  ServerFailure failure = ServerFailure::kNone;
  return Push(record, error, &failure);
}

bool PostgresLedger::Push(const Record& record, std::string* error, ServerFailure* failure) {
  std::lock_guard lock(mutex_);
  std::string state;
  *failure = ServerFailure::kNone;
  if (Retried(error, [&] { return InsertLocked(record, error, &state); })) return true;
  // Data exceptions (22: text the server cannot take, a value out of range)
  // and integrity violations (23: a check the table makes) are the record's
  // own; anything else may pass later.
  const bool rejected = failure_ == ServerFailure::kRefused &&
                        (state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0);
  *failure = rejected ? ServerFailure::kRejected : failure_;
  return false;
}

bool PostgresLedger::AppendMany(const std::vector<Record>& records, std::string* error) {
  std::lock_guard lock(mutex_);
  return Retried(error, [&] {
    if (!Exec("BEGIN", {}, nullptr, error)) return false;
    for (const Record& record : records) {
      if (!InsertLocked(record, error)) {
        std::string ignored;
        if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
        return false;
      }
    }
    return Exec("COMMIT", {}, nullptr, error);
  });
}

bool PostgresLedger::HistoryEach(const HistoryQuery& query, const RecordSink& each,
                                 std::string* error) {
  schema::Statement s = schema::HistoryStatement(query, Dollar);
  bool unreadable = false;
  size_t delivered = 0;
  const RowSink row = [&](std::vector<std::string>& values) {
    std::optional<Record> record = schema::RecordFromValues(values);
    if (!record) {
      unreadable = true;
      return false;
    }
    return each(*record);
  };
  std::lock_guard lock(mutex_);
  const bool ok = Retried(error, [&] {
    // A listing that has begun is not begun again: its records would come
    // twice.
    if (delivered > 0) return false;
    // The server's statement time-out would cut a long listing (or one
    // read slowly) short; the wait on each of its rows stays bounded here.
    if (!Script("BEGIN READ ONLY; SET LOCAL statement_timeout = 0", nullptr, error)) return false;
    if (!ExecEach(s.sql, s.parameters, row, &delivered, error)) {
      std::string ignored;
      if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
      return false;
    }
    return Exec("COMMIT", {}, nullptr, error);
  });
  if (unreadable) *error = "the shared ledger holds a record that cannot be read";
  return ok;
}

bool PostgresLedger::Yield(const YieldQuery& query, YieldReport* report, std::string* error) {
  schema::Statement s = schema::YieldStatement(query, Dollar);
  std::vector<std::vector<std::string>> rows;
  {
    std::lock_guard lock(mutex_);
    if (!Retried(error, [&] { return Exec(s.sql, s.parameters, &rows, error); })) return false;
  }
  *report = schema::FoldYieldRows(rows, query.by);
  return true;
}

bool PostgresLedger::TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialAdvance& advance,
                                 std::vector<std::string>* serials, std::string* error) {
  serials->clear();
  if (count <= 0) return true;
  const std::string name(series);
  std::lock_guard lock(mutex_);
  // A grant whose commit was sent when the connection broke may have been
  // stored: the one taken again skips its serials, and none repeats.
  return Retried(error,
                 [&] { return TakeLocked(name, seed, count, station, advance, serials, error); });
}

bool PostgresLedger::TakeLocked(const std::string& name, std::string_view seed, int count,
                                std::string_view station, const SerialAdvance& advance,
                                std::vector<std::string>* serials, std::string* error) {
  serials->clear();
  error->clear();
  std::string ignored;
  auto rollback = [&] {
    if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
    serials->clear();
    return false;
  };
  const SeriesFacts* facts = SeriesLocked(name, seed, error);
  if (!facts) return false;
  if (facts->seed.empty()) {
    *error = "the serial series " + name + " has no serial to start from ([Identify] SN)";
    return false;
  }
  if (!SeedFitsLocked(name, *facts, seed, station, advance, error)) return false;
  std::string seriesText, stationText, offsetsText;
  if (!Literal(name, &seriesText, error) || !Literal(std::string(station), &stationText, error) ||
      !Literal(facts->offsets, &offsetsText, error)) {
    return false;
  }
  // The offsets come from the series' sequence, which never waits on another
  // Start; the grants in the same transaction make its commit flush them, so
  // a server that crashes cannot hand them out again.
  std::vector<std::vector<std::string>> rows;
  if (!Script("BEGIN; SELECT nextval(" + offsetsText + "::regclass) FROM generate_series(1, " +
                  std::to_string(count) + ")",
              &rows, error) ||
      rows.size() != static_cast<size_t>(count)) {
    if (error->empty()) *error = "the serial series " + name + " gave no offsets";
    series_.erase(name);  // read the series afresh next time
    return rollback();
  }
  std::vector<uint64_t> offsets;
  for (const auto& row : rows) offsets.push_back(std::strtoull(row[0].c_str(), nullptr, 10));
  std::sort(offsets.begin(), offsets.end());
  const std::string now = std::to_string(NowMs());
  std::string script = "INSERT INTO serial_grants (series, serial, station, granted_at_ms) VALUES ";
  for (size_t i = 0; i < offsets.size(); ++i) {
    // Serials wrap round like the station's own counter; one handed out
    // before is caught by the grants' key below.
    std::string serial = facts->seed, serialText;
    advance(serial, offsets[i]);
    if (!Literal(serial, &serialText, error)) return rollback();
    serials->push_back(serial);
    script +=
        (i ? ", (" : "(") + seriesText + ", " + serialText + ", " + stationText + ", " + now + ")";
  }
  script += "; COMMIT";
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

bool PostgresLedger::SeedFitsLocked(const std::string& name, const SeriesFacts& facts,
                                    std::string_view seed, std::string_view station,
                                    const SerialAdvance& advance, std::string* error) {
  if (seed == facts.seed) return true;
  // A station carries on from where the series is: its SN is a serial the
  // series handed out, or the one after its own last grant (what it saves
  // after each Start). Any other is a station set up for another series,
  // whose serials would not follow on from its own.
  std::vector<std::vector<std::string>> rows;
  if (!Exec("SELECT serial FROM serial_grants WHERE series = $1 AND (serial = $2 OR"
            " (station = $3 AND granted_at_ms = (SELECT MAX(granted_at_ms) FROM serial_grants"
            " WHERE series = $1 AND station = $3)))",
            {name, std::string(seed), std::string(station)}, &rows, error)) {
    return false;
  }
  for (const auto& row : rows) {
    std::string next = row[0];
    if (next == seed) return true;
    advance(next, 1);
    if (next == seed) return true;
  }
  *error = "this station's SN " + std::string(seed) +
           " does not follow on from the serial series " + name + ", which starts at " +
           facts.seed + ": set [Identify] SN to " + facts.seed +
           " (the series carries on from its own next serial), or [Ledger] Series= to a series"
           " of its own";
  return false;
}

const PostgresLedger::SeriesFacts* PostgresLedger::SeriesLocked(const std::string& name,
                                                                std::string_view seed,
                                                                std::string* error) {
  if (auto it = series_.find(name); it != series_.end()) return &it->second;
  std::vector<std::vector<std::string>> rows;
  // An existing series is only read.
  if (!Exec("SELECT seed, offsets FROM serial_series WHERE series = $1", {name}, &rows, error)) {
    return nullptr;
  }
  if (!rows.empty() && rows[0].size() == 2) {
    return &series_.emplace(name, SeriesFacts{rows[0][0], rows[0][1]}).first->second;
  }
  rows.clear();
  std::string ignored;
  std::string seriesText, seedText;
  if (!Literal(name, &seriesText, error) || !Literal(std::string(seed), &seedText, error)) {
    return nullptr;
  }
  // The first Start of a series creates it with its sequence in one
  // transaction; a Start of another station at the same moment waits on the
  // series' key until that commits, and then finds both. A station whose
  // login may not create it leaves that to the line's admin.
  std::string state;
  if (!Script("BEGIN; INSERT INTO serial_series (series, next_serial, seed, offsets) VALUES (" +
                  seriesText + ", " + seedText + ", " + seedText + ", 'serial_offsets_' || md5(" +
                  seriesText + ")) ON CONFLICT (series) DO NOTHING RETURNING offsets",
              &rows, error, &state)) {
    if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
    if (state == "42501") {
      *error = "the serial series " + name +
               " does not exist in the shared ledger, and this station may not create it: the "
               "line's admin adds it with qelvar-cli ledger series add " +
               name + " SEED";
    }
    return nullptr;
  }
  std::string create = "COMMIT";
  if (!rows.empty()) {
    char* quoted = PQescapeIdentifier(conn_, rows[0][0].data(), rows[0][0].size());
    if (!quoted) {
      *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
      (void)Exec("ROLLBACK", {}, nullptr, &ignored);
      return nullptr;
    }
    create = "CREATE SEQUENCE IF NOT EXISTS " + std::string(quoted) + " MINVALUE 0 START 0; COMMIT";
    PQfreemem(quoted);
  }
  rows.clear();
  if (!Script(create, nullptr, error) ||
      !Exec("SELECT seed, offsets FROM serial_series WHERE series = $1", {name}, &rows, error)) {
    if (conn_) (void)Exec("ROLLBACK", {}, nullptr, &ignored);
    return nullptr;
  }
  if (rows.empty() || rows[0].size() != 2) {
    *error = "the serial series " + name + " could not be read";
    return nullptr;
  }
  return &series_.emplace(name, SeriesFacts{rows[0][0], rows[0][1]}).first->second;
}

bool PostgresLedger::Administer(std::string* error) {
  std::lock_guard lock(mutex_);
  return Retried(error, [&] { return GrantStationsLocked(error); });
}

bool PostgresLedger::GrantStationsLocked(std::string* error) {
  // What a station does: read the schema version and the series, add
  // records and grants, take offsets of the existing series' sequences.
  // '@' stands for the stations' role.
  std::string sql =
      "BEGIN;"
      " DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '@')"
      " THEN CREATE ROLE @ NOLOGIN; END IF; END $$;"
      " DO $$ BEGIN EXECUTE format('GRANT USAGE ON SCHEMA %I TO @', current_schema()); END $$;"
      " GRANT SELECT ON schema_version, serial_series TO @;"
      " GRANT SELECT, INSERT ON records, serial_grants TO @;"
      // A port's end completes its started record; a Start or a sync marks
      // aborted the ones a killed run left started.
      " GRANT UPDATE ON records TO @;"
      // ...and no more: a record with a result, once stored, stays as it is.
      " CREATE OR REPLACE FUNCTION qelvar_finished_record_stays() RETURNS trigger"
      " LANGUAGE plpgsql AS $f$ BEGIN RAISE EXCEPTION USING ERRCODE = '23514', MESSAGE ="
      " 'record ' || OLD.id || ' has a result already and is not changed'; END $f$;"
      " DROP TRIGGER IF EXISTS finished_record_stays ON records;"
      " CREATE TRIGGER finished_record_stays BEFORE UPDATE ON records FOR EACH ROW"
      " WHEN (OLD.status NOT IN ('started', 'aborted'))"
      " EXECUTE FUNCTION qelvar_finished_record_stays();"
      " DO $$ DECLARE name TEXT; BEGIN"
      " FOR name IN SELECT offsets FROM serial_series WHERE offsets IS NOT NULL LOOP"
      " EXECUTE format('GRANT USAGE, SELECT ON SEQUENCE %I TO @', name);"
      " END LOOP; END $$;"
      " COMMIT";
  const std::string role = kStationRole;
  for (size_t at = sql.find('@'); at != std::string::npos; at = sql.find('@', at + role.size())) {
    sql.replace(at, 1, role);
  }
  return Script(sql, nullptr, error);
}

bool PostgresLedger::AddSeries(const std::string& name, const std::string& seed,
                               std::string* error) {
  std::lock_guard lock(mutex_);
  return Retried(error, [&] {
    series_.erase(name);
    const SeriesFacts* facts = SeriesLocked(name, seed, error);
    if (!facts) return false;
    if (facts->seed != seed) {
      *error = "the serial series " + name + " exists already, seeded with " + facts->seed;
      return false;
    }
    return GrantStationsLocked(error);
  });
}

bool PostgresLedger::Literal(const std::string& text, std::string* literal, std::string* error) {
  char* escaped = PQescapeLiteral(conn_, text.data(), text.size());
  if (!escaped) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
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
  if (!PQsendQuery(conn_, sql.c_str())) {
    *error = "shared ledger: " + Trimmed(PQerrorMessage(conn_), url_);
    AbandonLocked(ServerFailure::kDropped);
    return false;
  }
  return Collect(rows, error, sqlState);
}

bool PostgresLedger::Sync(size_t* pushed, std::string*) {
  *pushed = 0;
  return true;
}

}  // namespace qelvar::ledger
