// The line ledger: the records of finished ports and the serial series, behind
// one interface so a single station (SQLite in its folder) and a line of
// stations (one PostgreSQL server) run the same code.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/record.h"

namespace qelvar::ledger {

struct HistoryQuery {
  std::string serial;                                     // exact serial; empty: any
  int64_t sinceMs = std::numeric_limits<int64_t>::min();  // ended at or after
  int64_t untilMs = std::numeric_limits<int64_t>::max();  // ended before
  std::string station;                                    // exact station name; empty: any
  bool failedOnly = false;
  // Only passed drives whose serial is recorded on more than one passed drive.
  bool duplicates = false;
  // Only the ports whose run ended without a result (kAbortedStatus).
  bool aborted = false;
  size_t limit = 0;  // newest first; 0: all
};

// Takes one record of a listing; false stops the listing.
using RecordSink = std::function<bool(const Record&)>;

enum class YieldBy : uint8_t { kPart, kStation, kDay };

struct YieldQuery {
  int64_t sinceMs = std::numeric_limits<int64_t>::min();
  YieldBy by = YieldBy::kDay;
};

struct YieldGroup {
  std::string key;  // flash part, station or day; "" for an unknown part
  int64_t passed = 0;
  int64_t failed = 0;
};

struct CountOf {
  int32_t value = 0;  // a bin or a fail code
  std::string text;   // the fail code's status text
  int64_t count = 0;
};

struct YieldReport {
  int64_t passed = 0;
  int64_t failed = 0;
  std::vector<YieldGroup> groups;  // by the asked grouping, ascending key
  std::vector<YieldGroup> days;    // always per day, ascending
  std::vector<CountOf> bins;       // of passed drives, ascending bin
  std::vector<CountOf> failCodes;  // Pareto: most frequent first
};

// A port's record from its start until its end completes it: its status, and
// the fail code that keeps it out of the passed drives and the yield.
inline constexpr const char* kStartedStatus = "started";
// A record left started by a run that ended without it (killed, crashed).
inline constexpr const char* kAbortedStatus = "aborted";
inline constexpr int32_t kUnfinishedFailCode = -1;

// Advances a serial number text in place by a number of steps of the
// station's hexadecimal rule.
using SerialAdvance = std::function<void(std::string&, uint64_t steps)>;

class Ledger {
 public:
  virtual ~Ledger() = default;

  // Stores a record; a record whose ID is already stored is left as it is
  // and counts as stored, but for a started (or aborted) one, which the
  // record of the port's end replaces. False with *error when it could not
  // be stored.
  [[nodiscard]] virtual bool Append(const Record& record, std::string* error) = 0;
  // Stores a record where it stays without waiting on a server (a shared
  // ledger's spool), for a program that must end now.
  [[nodiscard]] virtual bool Keep(const Record& record, std::string* error) {
    return Append(record, error);
  }
  // The program is ending: a wait on a server under way ends at once, and
  // no server is asked any more (records go where Keep puts them). Any thread.
  virtual void GiveUp() {}
  // Hands the records the query selects to `each` one at a time, in the
  // query's order, as they are read: a listing of any size takes no more
  // memory than one record. False with *error when the ledger cannot be
  // read, or when `each` stopped the listing. `each` runs with the ledger
  // held: it must not call the ledger itself.
  [[nodiscard]] virtual bool HistoryEach(const HistoryQuery& query, const RecordSink& each,
                                         std::string* error) = 0;
  // The records the query selects, all in memory.
  [[nodiscard]] bool History(const HistoryQuery& query, std::vector<Record>* records,
                             std::string* error) {
    records->clear();
    return HistoryEach(
        query,
        [records](const Record& record) {
          records->push_back(record);
          return true;
        },
        error);
  }
  [[nodiscard]] virtual bool Yield(const YieldQuery& query, YieldReport* report,
                                   std::string* error) = 0;
  // Takes `count` serials of `series` in one transaction: `count` offsets
  // no other Start gets, each applied to the series' seed, in ascending
  // order. A new series is seeded with `seed`. A serial is handed out once
  // only: when the series comes round to a serial it gave before, nothing is
  // taken.
  [[nodiscard]] virtual bool TakeSerials(std::string_view series, std::string_view seed, int count,
                                         std::string_view station, const SerialAdvance& advance,
                                         std::vector<std::string>* serials, std::string* error) = 0;
  // Pushes records held back while the shared ledger was away; the number
  // pushed in *pushed. True when none is left waiting.
  [[nodiscard]] virtual bool Sync(size_t* pushed, std::string* error) = 0;
  // Marks "aborted" the records `station` left started in runs other than
  // `liveRuns`; the number marked in *marked. A ledger that keeps no started
  // records marks none.
  [[nodiscard]] virtual bool MarkAborted([[maybe_unused]] std::string_view station,
                                         [[maybe_unused]] const std::vector<std::string>& liveRuns,
                                         size_t* marked, [[maybe_unused]] std::string* error) {
    *marked = 0;
    return true;
  }
  [[nodiscard]] virtual int SchemaVersion() const = 0;
  // True for a ledger shared by the stations of a line.
  [[nodiscard]] virtual bool Shared() const = 0;
};

// The schema this build writes.
inline constexpr int kSchemaVersion = 4;

// Opens the ledger `url` names ("postgresql://..." or "postgres://..."), or
// the station folder's SQLite ledger when `url` is empty, and brings its
// schema up to date. Null with *error when it cannot be opened. A PostgreSQL
// ledger that cannot be reached opens all the same: its records wait in the
// station folder's spool until it can. No wait on the server lasts longer
// than `timeoutSeconds`.
[[nodiscard]] std::unique_ptr<Ledger> OpenLedger(const std::string& url,
                                                 const std::string& stationDir, std::string* error,
                                                 int timeoutSeconds = 10);

// A PostgreSQL URL, or connection settings as keyword=value pairs
// ("service=line3", "host=db dbname=qelvar").
[[nodiscard]] bool IsPostgresUrl(std::string_view url);

inline constexpr const char* kSqliteFileName = "ledger.sqlite";
inline constexpr const char* kSpoolFileName = "ledger-spool.sqlite";

}  // namespace qelvar::ledger
