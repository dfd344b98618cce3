// The ledger's tables, shared by the SQLite and the PostgreSQL store: the
// migrations (version n is the n-th step), the record's columns in one fixed
// order, and the queries both stores run with their own placeholders.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "ledger/record.h"

namespace qelvar::ledger::schema {

// One step of the schema, run in one transaction with the version update.
struct Migration {
  std::vector<std::string> statements;
  // Run after `statements` on a PostgreSQL ledger only: the serial series
  // live there alone, and SQLite knows no sequences.
  std::vector<std::string> postgresOnly = {};
};

[[nodiscard]] const std::vector<Migration>& Migrations();

inline constexpr size_t kRecordColumnCount = 30;
// "id, run_id, ..." in the order of RecordValues.
[[nodiscard]] const std::string& RecordColumns();
// What follows "INSERT INTO records (...) VALUES (...)" in both stores: a
// port's end replaces its started record (or the aborted one a sync made of
// it meanwhile); any other record is stored once.
[[nodiscard]] const std::string& CompletesUnfinished();
// The record's values as text, in column order (the day column derived).
[[nodiscard]] std::vector<std::string> RecordValues(const Record& record);
// A record from its column texts in column order; nothing when a number
// column does not hold a number.
[[nodiscard]] std::optional<Record> RecordFromValues(const std::vector<std::string>& values);

// A statement with its parameters; `placeholder(n)` spells the n-th (1-based).
struct Statement {
  std::string sql;
  std::vector<std::string> parameters;
};
using Placeholder = std::function<std::string(size_t)>;

[[nodiscard]] Statement HistoryStatement(const HistoryQuery& query, const Placeholder& placeholder);
// Rows: flash part, station, day, fail code, bin, status, count.
[[nodiscard]] Statement YieldStatement(const YieldQuery& query, const Placeholder& placeholder);

// Folds the rows of YieldStatement into a report.
class YieldFolder {
 public:
  void Add(const std::string& key, const std::string& day, int32_t failCode, int32_t bin,
           const std::string& status, int64_t count);
  [[nodiscard]] YieldReport Finish();

 private:
  YieldReport report_;
  std::vector<YieldGroup> groups_;
  std::vector<YieldGroup> days_;
  std::vector<CountOf> bins_;
  std::vector<CountOf> codes_;
};

// The report of YieldStatement's rows, grouped by `by`.
[[nodiscard]] YieldReport FoldYieldRows(const std::vector<std::vector<std::string>>& rows,
                                        YieldBy by);

}  // namespace qelvar::ledger::schema
