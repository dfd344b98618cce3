// The ledger of a line: one PostgreSQL server shared by every station,
// reached through libpq. Connects when first used and again after the server
// went away; every wait is bounded (connect and statement time-outs).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ledger/ledger.h"

struct pg_conn;
struct pg_result;

namespace qelvar::ledger {

inline constexpr int kConnectTimeoutSeconds = 3;
inline constexpr int kStatementTimeoutMs = 10000;

class PostgresLedger final : public Ledger {
 public:
  explicit PostgresLedger(std::string url, int upTo = kSchemaVersion);
  ~PostgresLedger() override;
  PostgresLedger(const PostgresLedger&) = delete;
  PostgresLedger& operator=(const PostgresLedger&) = delete;

  // Connects (if not connected) and migrates; false with *error when the
  // server cannot be reached or migrated.
  [[nodiscard]] bool Connect(std::string* error);

  [[nodiscard]] bool Append(const Record& record, std::string* error) override;
  [[nodiscard]] bool History(const HistoryQuery& query, std::vector<Record>* records,
                             std::string* error) override;
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

 private:
  bool ConnectLocked(std::string* error);
  bool MigrateLocked(std::string* error);
  void DropLocked();
  // Runs one statement; rows (as text) into *rows when given. On a broken
  // connection the connection is dropped, so the next call connects again.
  bool Exec(const std::string& sql, const std::vector<std::string>& parameters,
            std::vector<std::vector<std::string>>* rows, std::string* error,
            std::string* sqlState = nullptr);
  bool InsertLocked(const Record& record, std::string* error);
  // Several statements in one round trip; rows of the last one.
  bool Script(const std::string& sql, std::vector<std::vector<std::string>>* rows,
              std::string* error, std::string* sqlState = nullptr);
  bool Collect(pg_result* result, std::vector<std::vector<std::string>>* rows, std::string* error,
               std::string* sqlState);
  bool Literal(const std::string& text, std::string* literal, std::string* error);

  // What a series was created with; neither changes once it exists.
  struct SeriesFacts {
    std::string seed;
    std::string offsets;  // the name of its sequence
  };
  // The series `name`, created with `seed` when it is new.
  const SeriesFacts* SeriesLocked(const std::string& name, std::string_view seed,
                                  std::string* error);

  const std::string url_;
  const int upTo_;
  mutable std::mutex mutex_;
  pg_conn* conn_ = nullptr;
  int version_ = 0;
  std::map<std::string, SeriesFacts> series_;
};

}  // namespace qelvar::ledger
