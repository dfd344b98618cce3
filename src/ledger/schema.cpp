#include "ledger/schema.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>

namespace qelvar::ledger::schema {
namespace {

template <typename Int>
bool ToInt(const std::string& text, Int* out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

}  // namespace

const std::vector<Migration>& Migrations() {
  static const std::vector<Migration> steps = {
      // 1: the records and the serial series.
      {{"CREATE TABLE records ("
        " id TEXT PRIMARY KEY, run_id TEXT NOT NULL, station TEXT NOT NULL,"
        " port INTEGER NOT NULL, hub_instance TEXT NOT NULL, hub_port INTEGER NOT NULL,"
        " started_at_ms BIGINT NOT NULL, ended_at_ms BIGINT NOT NULL, day TEXT NOT NULL,"
        " model TEXT NOT NULL, serial TEXT NOT NULL, fw_version TEXT NOT NULL,"
        " capacity_mb INTEGER NOT NULL, bin INTEGER NOT NULL, rdt_result TEXT NOT NULL,"
        " fail_code INTEGER NOT NULL, status TEXT NOT NULL,"
        " fct_bad INTEGER NOT NULL, dft_bad INTEGER NOT NULL, rdt_bad INTEGER NOT NULL,"
        " run_bad INTEGER NOT NULL, flash_part TEXT NOT NULL, flash_id TEXT NOT NULL,"
        " burner_sha256 TEXT NOT NULL, rdt_param_sha256 TEXT NOT NULL,"
        " sys_fw_sha256 TEXT NOT NULL, spi_sha256 TEXT NOT NULL, settings_sha256 TEXT NOT NULL,"
        " mp_version TEXT NOT NULL, program_version TEXT NOT NULL)",
        "CREATE TABLE serial_series (series TEXT PRIMARY KEY, next_serial TEXT NOT NULL)",
        "CREATE TABLE serial_grants (series TEXT NOT NULL, serial TEXT NOT NULL,"
        " station TEXT NOT NULL, granted_at_ms BIGINT NOT NULL, PRIMARY KEY (series, serial))"}},
      // 2: the lookups the history and the yield make.
      {{"CREATE INDEX records_serial ON records (serial)",
        "CREATE INDEX records_ended ON records (ended_at_ms)",
        "CREATE INDEX records_station ON records (station, ended_at_ms)"}},
      // 3: the yield reads this index alone, already in its grouping order,
      // so a million records are counted without a sort.
      {{"CREATE INDEX records_yield ON records"
        " (day, fail_code, bin, flash_part, station, status, ended_at_ms)"}},
      // 4: a series hands out offsets from its own sequence instead of a
      // next-serial cell. A sequence gives each Start its offsets without
      // waiting for the Starts of other stations to commit, where the row
      // lock on the cell made them queue. A series carries on from the next
      // serial it had stored, which becomes its seed at offset 0.
      {{"ALTER TABLE serial_series ADD COLUMN seed TEXT",
        "ALTER TABLE serial_series ADD COLUMN offsets TEXT"},
       {"UPDATE serial_series SET seed = next_serial, offsets = 'serial_offsets_' || md5(series)",
        "DO $$ DECLARE name TEXT; BEGIN"
        " FOR name IN SELECT offsets FROM serial_series LOOP"
        " EXECUTE format('CREATE SEQUENCE IF NOT EXISTS %I MINVALUE 0 START 0', name);"
        " END LOOP; END $$"}},
  };
  return steps;
}

const std::string& RecordColumns() {
  static const std::string columns =
      "id, run_id, station, port, hub_instance, hub_port, started_at_ms, ended_at_ms, day, model,"
      " serial, fw_version, capacity_mb, bin, rdt_result, fail_code, status, fct_bad, dft_bad,"
      " rdt_bad, run_bad, flash_part, flash_id, burner_sha256, rdt_param_sha256, sys_fw_sha256,"
      " spi_sha256, settings_sha256, mp_version, program_version";
  return columns;
}

const std::string& CompletesUnfinished() {
  static const std::string clause = [] {
    std::string text = " ON CONFLICT (id) DO UPDATE SET ";
    const std::string& columns = RecordColumns();
    bool first = true;
    for (size_t at = 0; at < columns.size();) {
      size_t end = columns.find(',', at);
      if (end == std::string::npos) end = columns.size();
      std::string column = columns.substr(at, end - at);
      column.erase(0, column.find_first_not_of(' '));
      if (column != "id") {
        text += (first ? "" : ", ") + column + " = excluded." + column;
        first = false;
      }
      at = end + 1;
    }
    text += " WHERE records.status IN ('" + std::string(kStartedStatus) + "', '" +
            std::string(kAbortedStatus) + "')";
    return text;
  }();
  return clause;
}

std::vector<std::string> RecordValues(const Record& r) {
  return {r.id,
          r.runId,
          r.station,
          std::to_string(r.port),
          r.hubInstance,
          std::to_string(r.hubPort),
          std::to_string(r.startedAtMs),
          std::to_string(r.endedAtMs),
          DayOf(r.endedAtMs),
          r.model,
          r.serial,
          r.fwVersion,
          std::to_string(r.capacityMb),
          std::to_string(r.bin),
          r.rdtResult,
          std::to_string(r.failCode),
          r.status,
          std::to_string(r.fctBad),
          std::to_string(r.dftBad),
          std::to_string(r.rdtBad),
          std::to_string(r.runBad),
          r.flashPart,
          r.flashId,
          r.burnerSha256,
          r.rdtParamSha256,
          r.sysFwSha256,
          r.spiSha256,
          r.settingsSha256,
          r.mpVersion,
          r.programVersion};
}

std::optional<Record> RecordFromValues(const std::vector<std::string>& v) {
  if (v.size() != kRecordColumnCount) return std::nullopt;
  Record r;
  r.id = v[0];
  r.runId = v[1];
  r.station = v[2];
  r.hubInstance = v[4];
  r.model = v[9];
  r.serial = v[10];
  r.fwVersion = v[11];
  r.rdtResult = v[14];
  r.status = v[16];
  r.flashPart = v[21];
  r.flashId = v[22];
  r.burnerSha256 = v[23];
  r.rdtParamSha256 = v[24];
  r.sysFwSha256 = v[25];
  r.spiSha256 = v[26];
  r.settingsSha256 = v[27];
  r.mpVersion = v[28];
  r.programVersion = v[29];
  bool ok = ToInt(v[3], &r.port) && ToInt(v[5], &r.hubPort) && ToInt(v[6], &r.startedAtMs) &&
            ToInt(v[7], &r.endedAtMs) && ToInt(v[12], &r.capacityMb) && ToInt(v[13], &r.bin) &&
            ToInt(v[15], &r.failCode) && ToInt(v[17], &r.fctBad) && ToInt(v[18], &r.dftBad) &&
            ToInt(v[19], &r.rdtBad) && ToInt(v[20], &r.runBad);
  if (!ok) return std::nullopt;
  return r;
}

Statement HistoryStatement(const HistoryQuery& query, const Placeholder& placeholder) {
  Statement s;
  std::vector<std::string> where;
  auto param = [&](std::string value) {
    s.parameters.push_back(std::move(value));
    return placeholder(s.parameters.size());
  };
  if (!query.serial.empty()) where.push_back("serial = " + param(query.serial));
  if (query.sinceMs != std::numeric_limits<int64_t>::min()) {
    where.push_back("ended_at_ms >= " + param(std::to_string(query.sinceMs)));
  }
  if (query.untilMs != std::numeric_limits<int64_t>::max()) {
    where.push_back("ended_at_ms < " + param(std::to_string(query.untilMs)));
  }
  if (!query.station.empty()) where.push_back("station = " + param(query.station));
  if (query.failedOnly)
    where.push_back("fail_code <> 0 AND status <> '" + std::string(kStartedStatus) + "'");
  if (query.aborted) where.push_back("status = '" + std::string(kAbortedStatus) + "'");
  if (query.duplicates) {
    where.push_back(
        "fail_code = 0 AND serial <> '' AND serial IN (SELECT serial FROM records"
        " WHERE fail_code = 0 AND serial <> '' GROUP BY serial HAVING COUNT(*) > 1)");
  }
  s.sql = "SELECT " + RecordColumns() + " FROM records";
  for (size_t i = 0; i < where.size(); ++i) s.sql += (i == 0 ? " WHERE " : " AND ") + where[i];
  s.sql += query.duplicates ? " ORDER BY serial, ended_at_ms DESC, id"
                            : " ORDER BY ended_at_ms DESC, id";
  if (query.limit > 0) s.sql += " LIMIT " + std::to_string(query.limit);
  return s;
}

Statement YieldStatement(const YieldQuery& query, const Placeholder& placeholder) {
  Statement s;
  // Ports still running, and those whose run ended without a result, are
  // neither passed nor failed.
  s.sql =
      "SELECT flash_part, station, day, fail_code, bin, MAX(status), COUNT(*) FROM records"
      " WHERE status NOT IN ('" +
      std::string(kStartedStatus) + "', '" + std::string(kAbortedStatus) + "')";
  if (query.sinceMs != std::numeric_limits<int64_t>::min()) {
    s.parameters.push_back(DayOf(query.sinceMs));
    s.parameters.push_back(std::to_string(query.sinceMs));
    s.sql += " AND day >= " + placeholder(1) + " AND ended_at_ms >= " + placeholder(2);
  }
  s.sql += " GROUP BY day, fail_code, bin, flash_part, station";
  return s;
}

YieldReport FoldYieldRows(const std::vector<std::vector<std::string>>& rows, YieldBy by) {
  YieldFolder folder;
  const size_t key = by == YieldBy::kPart ? 0 : by == YieldBy::kStation ? 1 : 2;
  for (const auto& row : rows) {
    if (row.size() != 7) continue;
    folder.Add(row[key], row[2], std::atoi(row[3].c_str()), std::atoi(row[4].c_str()), row[5],
               std::atoll(row[6].c_str()));
  }
  return folder.Finish();
}

void YieldFolder::Add(const std::string& key, const std::string& day, int32_t failCode, int32_t bin,
                      const std::string& status, int64_t count) {
  const bool passed = failCode == 0;
  (passed ? report_.passed : report_.failed) += count;
  auto addTo = [&](std::vector<YieldGroup>& groups, const std::string& k) {
    auto it =
        std::find_if(groups.begin(), groups.end(), [&](const YieldGroup& g) { return g.key == k; });
    if (it == groups.end()) it = groups.insert(groups.end(), YieldGroup{k, 0, 0});
    (passed ? it->passed : it->failed) += count;
  };
  addTo(groups_, key);
  addTo(days_, day);
  auto countIn = [&](std::vector<CountOf>& counts, int32_t value) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const CountOf& c) { return c.value == value; });
    if (it == counts.end()) it = counts.insert(counts.end(), CountOf{value, status, 0});
    it->count += count;
  };
  if (passed) {
    countIn(bins_, bin);
  } else {
    countIn(codes_, failCode);
  }
}

YieldReport YieldFolder::Finish() {
  auto byKey = [](const YieldGroup& a, const YieldGroup& b) { return a.key < b.key; };
  std::sort(groups_.begin(), groups_.end(), byKey);
  std::sort(days_.begin(), days_.end(), byKey);
  std::sort(bins_.begin(), bins_.end(),
            [](const CountOf& a, const CountOf& b) { return a.value < b.value; });
  std::sort(codes_.begin(), codes_.end(), [](const CountOf& a, const CountOf& b) {
    return a.count != b.count ? a.count > b.count : a.value < b.value;
  });
  for (CountOf& bin : bins_) bin.text.clear();
  report_.groups = std::move(groups_);
  report_.days = std::move(days_);
  report_.bins = std::move(bins_);
  report_.failCodes = std::move(codes_);
  YieldReport done = std::move(report_);
  report_ = {};
  groups_.clear();
  days_.clear();
  bins_.clear();
  codes_.clear();
  return done;
}

}  // namespace qelvar::ledger::schema
