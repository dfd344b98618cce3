// The ledger of a line: one PostgreSQL server shared by every station,
// reached through libpq. Connects when first used and again after the server
// went away. Every wait is bounded by the time-out ([Ledger] TimeoutS=): the
// connect, and each statement, which the client gives up on (cancelling it
// and dropping the connection) when the server does not answer in time, so a
// frozen server or a dead link never holds a station up. A connection found
// dropped (a server restart, an idle-session time-out) is opened again once
// before a call fails.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "platform/socket_wait.h"

struct pg_conn;
struct pg_result;

namespace qelvar::ledger {

inline constexpr int kDefaultTimeoutSeconds = 10;
// The group role of the stations' logins.
inline constexpr const char* kStationRole = "qelvar_station";

// Why the last call to the server failed.
enum class ServerFailure : uint8_t {
  kNone,
  kUnreachable,  // no connection could be made
  kTimedOut,     // the server did not answer in time
  kDropped,      // the connection broke
  kRefused,      // the server answered with an error
  kRejected,     // the server refused a record for what it holds
};

class PostgresLedger final : public Ledger {
 public:
  explicit PostgresLedger(std::string url, int upTo = kSchemaVersion,
                          int timeoutSeconds = kDefaultTimeoutSeconds);
  ~PostgresLedger() override;
  PostgresLedger(const PostgresLedger&) = delete;
  PostgresLedger& operator=(const PostgresLedger&) = delete;

  // Connects (if not connected) and migrates; false with *error when the
  // server cannot be reached or migrated.
  [[nodiscard]] bool Connect(std::string* error);

  [[nodiscard]] bool Append(const Record& record, std::string* error) override;
  // As Append, telling why it failed: kRejected when the server refused
  // this record for what it holds (a value it does not accept), so sending
  // it again cannot help.
  [[nodiscard]] bool Push(const Record& record, std::string* error, ServerFailure* failure);
  [[nodiscard]] bool HistoryEach(const HistoryQuery& query, const RecordSink& each,
                                 std::string* error) override;
  [[nodiscard]] bool MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error) override;
  // As MarkAborted, telling why it failed.
  [[nodiscard]] bool MarkAborted(std::string_view station, const std::vector<std::string>& liveRuns,
                                 size_t* marked, std::string* error, ServerFailure* failure);
  [[nodiscard]] bool Yield(const YieldQuery& query, YieldReport* report,
                           std::string* error) override;
  [[nodiscard]] bool TakeSerials(std::string_view series, std::string_view seed, int count,
                                 std::string_view station, const SerialAdvance& advance,
                                 std::vector<std::string>* serials, std::string* error) override;
  [[nodiscard]] bool Sync(size_t* pushed, std::string* error) override;
  [[nodiscard]] int SchemaVersion() const override;
  [[nodiscard]] bool Shared() const override { return true; }
  // Many records in one transaction (benchmarks and imports).
  [[nodiscard]] bool AppendMany(const std::vector<Record>& records, std::string* error);
  [[nodiscard]] int TimeoutSeconds() const { return timeoutSeconds_; }
  // The program is ending: the call under way gives up at once, and every
  // later one fails without asking the server. Any thread.
  void GiveUp() override;

  // The line admin's side. Migrates, and makes the group role kStationRole
  // with what a station needs and no more: read the schema version and the
  // series, add records and serial grants, take offsets of the series that
  // exist. Needs a login that may create roles and grant on the tables.
  [[nodiscard]] bool Administer(std::string* error);
  // Creates the serial series `name` seeded with `seed` (nothing when it
  // exists with that seed), and lets the stations take from it.
  [[nodiscard]] bool AddSeries(const std::string& name, const std::string& seed,
                               std::string* error);

 private:
  // Runs `call` on a connection; when the connection it used was open
  // before and broke, opens it again and runs `call` once more.
  template <typename Call>
  bool Retried(std::string* error, const Call& call);
  bool ConnectLocked(std::string* error);
  bool MigrateLocked(std::string* error);
  void DropLocked();
  // Runs one statement; rows (as text) into *rows when given. On a broken
  // connection, or past the time-out, the connection is dropped, so the
  // next call connects again.
  // Sends one statement with its parameters; on failure the connection is
  // dropped.
  bool SendLocked(const std::string& sql, const std::vector<std::string>& parameters,
                  std::string* error);
  bool Exec(const std::string& sql, const std::vector<std::string>& parameters,
            std::vector<std::vector<std::string>>* rows, std::string* error,
            std::string* sqlState = nullptr);
  bool InsertLocked(const Record& record, std::string* error, std::string* sqlState = nullptr);
  bool GrantStationsLocked(std::string* error);
  using Clock = std::chrono::steady_clock;
  using Deadline = Clock::time_point;
  // Waits on the connection's socket until `deadline`, or a GiveUp.
  platform::SocketWait Wait(int socket, bool writable, Deadline deadline) const;
  bool TakeLocked(const std::string& name, std::string_view seed, int count,
                  std::string_view station, const SerialAdvance& advance,
                  std::vector<std::string>* serials, std::string* error);
  // Several statements in one round trip; rows of the last one.
  bool Script(const std::string& sql, std::vector<std::vector<std::string>>* rows,
              std::string* error, std::string* sqlState = nullptr);
  // As Exec, for one statement whose rows the server sends one at a time
  // (libpq keeps no more than one): each goes to `each` as it comes; false
  // from `each` stops the statement and drops the connection. *delivered
  // counts the rows handed over.
  using RowSink = std::function<bool(std::vector<std::string>&)>;
  bool ExecEach(const std::string& sql, const std::vector<std::string>& parameters,
                const RowSink& each, size_t* delivered, std::string* error);
  // Waits for every result of the command sent last, until the time-out;
  // rows of a single-row statement go to `each` when given.
  bool Collect(std::vector<std::vector<std::string>>* rows, std::string* error,
               std::string* sqlState, const RowSink* each = nullptr, size_t* delivered = nullptr);
  // Gives up on the connection: cancels what it runs and drops it.
  void AbandonLocked(ServerFailure why);
  bool Literal(const std::string& text, std::string* literal, std::string* error);

  // What a series was created with; neither changes once it exists.
  struct SeriesFacts {
    std::string seed;
    std::string offsets;  // the name of its sequence
  };
  // The series `name`, created with `seed` when it is new.
  // True when a station whose SN is `seed` may take serials of the series;
  // false with *error naming both when its SN belongs to another series.
  bool SeedFitsLocked(const std::string& name, const SeriesFacts& facts, std::string_view seed,
                      std::string_view station, const SerialAdvance& advance, std::string* error);
  const SeriesFacts* SeriesLocked(const std::string& name, std::string_view seed,
                                  std::string* error);

  const std::string url_;
  const int upTo_;
  const int timeoutSeconds_;
  mutable std::mutex mutex_;
  pg_conn* conn_ = nullptr;
  ServerFailure failure_ = ServerFailure::kNone;
  // False once the server refused this login the update a port's end makes
  // of its started record: records are then only added.
  bool mayComplete_ = true;
  std::atomic<bool> givenUp_{false};
  int version_ = 0;
  std::map<std::string, SeriesFacts> series_;
};

}  // namespace qelvar::ledger
