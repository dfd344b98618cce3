// The ledger's records and yield as the command line prints them: a table,
// JSON ({"records":[...]} with camelCase names), CSV, and one self-contained
// HTML page with SVG charts.
#pragma once

#include <string>
#include <vector>

#include "ledger/ledger.h"
#include "ledger/record.h"

namespace qelvar::ledger {

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
