// The ledger's records and yield as the command line prints them: a table,
// JSON ({"records":[...]} with camelCase names), JSON Lines, CSV, and one self-contained
// HTML page with SVG charts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "ledger/record.h"

namespace qelvar::ledger {

enum class RecordsFormat : uint8_t {
  kTable,
  kCsv,
  kJson,       // {"records":[...]}
  kJsonLines,  // one record's JSON object a line
};

// Writes a listing one record at a time: Begin, Add for each record, End;
// each appends its text to *out, so a listing of any size is written as it
// is read. The whole-vector forms below give the same text.
class RecordsWriter {
 public:
  explicit RecordsWriter(RecordsFormat format) : format_(format) {}
  void Begin(std::string* out) const;
  void Add(const Record& record, std::string* out);
  void End(std::string* out) const;

 private:
  RecordsFormat format_;
  size_t count_ = 0;
};

[[nodiscard]] std::string RecordsJson(const std::vector<Record>& records);
// A header line, then one line per record; fields quoted where needed.
[[nodiscard]] std::string RecordsCsv(const std::vector<Record>& records);
[[nodiscard]] std::string RecordsTable(const std::vector<Record>& records);
// Every field of one record, one "name: value" line each.
[[nodiscard]] std::string RecordDetails(const Record& record);

[[nodiscard]] std::string YieldText(const YieldReport& report, YieldBy by);
[[nodiscard]] std::string YieldJson(const YieldReport& report, YieldBy by);
[[nodiscard]] std::string YieldHtml(const YieldReport& report, YieldBy by);

}  // namespace qelvar::ledger
