// The ledger's costs: a record write (SQLite, PostgreSQL over loopback),
// serial allocation with 20 stations at once, and the history (one serial,
// and the whole listing as CSV) and yield queries over a million records.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "engine/serial_number.h"
#include "ledger/ledger_fixture.h"
#include "ledger/pg_server.h"
#include "ledger/postgres_ledger.h"
#include "ledger/record_format.h"
#include "ledger/sqlite_ledger.h"

namespace {

using namespace qelvar::ledger;
using testing::kDecember1;
using testing::SampleRecord;

void Advance(std::string& serial, uint64_t steps) {
  char text[21] = {};
  serial.copy(text, 20);
  (void)qelvar::engine::AdvanceSerialText(text, 20, steps);
  serial = text;
}

testing::PgServer* Server() {
  static std::unique_ptr<testing::PgServer> server = [] {
    std::string why;
    auto s = testing::PgServer::Start(&why, /*tcp=*/true, /*durable=*/true);
    if (!s) std::fprintf(stderr, "no PostgreSQL server: %s\n", why.c_str());
    return s;
  }();
  return server.get();
}

void BM_SqliteRecordWrite(benchmark::State& state) {
  testing::TempDir dir("bench-write");
  std::string error;
  auto store = SqliteLedger::Open(dir.str() + "/ledger.sqlite", &error);
  Record r = SampleRecord("QV5100000A00", 0, kDecember1);
  for (auto _ : state) {
    r.id = NewUuid();
    if (!store->Append(r, &error)) state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_SqliteRecordWrite)->Unit(benchmark::kMicrosecond);

void BM_PostgresRecordWrite(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no PostgreSQL server");
    return;
  }
  PostgresLedger store(Server()->Url());
  std::string error;
  Record r = SampleRecord("QV5100000A00", 0, kDecember1);
  for (auto _ : state) {
    r.id = NewUuid();
    if (!store.Append(r, &error)) state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_PostgresRecordWrite)->Unit(benchmark::kMicrosecond);

// N stations take 16 serials per Start, 25 rounds of Starts. With a spread
// of 0 every station presses Start at the same moment, the worst a line's
// operators can do to the series; with a spread of S ms each presses at a
// random moment within S ms of the round's start. The p99 of one Start's
// allocation is the figure.
void BM_SerialAllocation(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no PostgreSQL server");
    return;
  }
  const int kStations = static_cast<int>(state.range(0));
  const int spreadMs = static_cast<int>(state.range(1));
  constexpr int kRounds = 25;
  std::vector<double> latencies;
  for (auto _ : state) {
    std::vector<std::vector<double>> per(static_cast<size_t>(kStations));
    std::vector<std::thread> threads;
    const std::string series = "bench-" + NewUuid();
    std::barrier round(static_cast<std::ptrdiff_t>(kStations));
    for (int s = 0; s < kStations; ++s) {
      threads.emplace_back([&, s] {
        PostgresLedger store(Server()->Url());
        std::string error;
        // The series exists and this station knows it, as on a line that
        // has run before: its creation happens once in the series' life.
        std::vector<std::string> first;
        if (!store.Connect(&error) ||
            !store.TakeSerials(series, "QV5100000000", 1, "bench", Advance, &first, &error)) {
          std::fprintf(stderr, "%s\n", error.c_str());
        }
        std::mt19937 random(static_cast<unsigned>(s));
        for (int i = 0; i < kRounds; ++i) {
          std::vector<std::string> serials;
          round.arrive_and_wait();
          if (spreadMs > 0) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(random() % static_cast<unsigned>(spreadMs * 1000)));
          }
          auto t0 = std::chrono::steady_clock::now();
          if (!store.TakeSerials(series, "QV5100000000", 16, "bench", Advance, &serials, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
          }
          per[static_cast<size_t>(s)].push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                  .count());
        }
        // A station that is done does not hang up (its server process
        // exiting costs CPU) while others still take their serials.
        round.arrive_and_wait();
      });
    }
    for (auto& t : threads) t.join();
    for (auto& list : per) latencies.insert(latencies.end(), list.begin(), list.end());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["p50_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
    state.counters["max_ms"] = latencies.back();
  }
}
// One station alone shows the cost of the round trips and the commit.
BENCHMARK(BM_SerialAllocation)
    ->Args({1, 0})
    ->Args({20, 0})
    ->Args({20, 1000})
    ->ArgNames({"stations", "spread_ms"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// One million records over 100 days, 4 stations, a few parts and fail codes,
// handed over in batches of 50,000.
template <typename Store>
void FillWithAMillion(Store& store) {
  const char* parts[] = {"MICRON_B17A", "YMTC_MLC", "INTEL_B16A", ""};
  std::vector<Record> batch;
  std::string error;
  for (int i = 0; i < 1'000'000; ++i) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "QV51%08X", i);
    const int code = i % 23 == 0 ? 9 : i % 41 == 0 ? 17 : i % 97 == 0 ? 5 : 0;
    batch.push_back(SampleRecord(serial, code, kDecember1 + static_cast<int64_t>(i) * 8640,
                                 "line-" + std::to_string(i % 4), parts[i % 4]));
    if (batch.size() == 50'000) {
      if (!store.AppendMany(batch, &error)) std::fprintf(stderr, "%s\n", error.c_str());
      batch.clear();
    }
  }
}

SqliteLedger* SqliteMillion() {
  static testing::TempDir dir("bench-million");
  static std::unique_ptr<SqliteLedger> store = [] {
    std::string error;
    auto s = SqliteLedger::Open(dir.str() + "/ledger.sqlite", &error);
    if (s) FillWithAMillion(*s);
    return s;
  }();
  return store.get();
}

// The same million in the line's server (about a minute to load).
PostgresLedger* PostgresMillion() {
  static std::unique_ptr<PostgresLedger> store = []() -> std::unique_ptr<PostgresLedger> {
    if (!Server()) return nullptr;
    auto s = std::make_unique<PostgresLedger>(Server()->Url());
    std::string error;
    // The record-write case shares the server: the million is alone in
    // the table, so the totals below are the million's.
    if (!s->Connect(&error)) std::fprintf(stderr, "%s\n", error.c_str());
    (void)Server()->Psql("TRUNCATE records");
    FillWithAMillion(*s);
    (void)Server()->Psql("ANALYZE records");
    return s;
  }();
  return store.get();
}

template <typename Store>
void HistorySerialOverAMillion(benchmark::State& state, Store* store) {
  if (!store) {
    state.SkipWithError("no ledger");
    return;
  }
  HistoryQuery q;
  int i = 0;
  std::string error;
  for (auto _ : state) {
    char serial[24];
    std::snprintf(serial, sizeof serial, "QV51%08X", (i++ * 7919) % 1'000'000);
    q.serial = serial;
    std::vector<Record> found;
    if (!store->History(q, &found, &error) || found.size() != 1) state.SkipWithError("not found");
  }
}

template <typename Store>
void YieldOverAMillion(benchmark::State& state, Store* store) {
  if (!store) {
    state.SkipWithError("no ledger");
    return;
  }
  YieldQuery q;
  q.by = static_cast<YieldBy>(state.range(0));
  std::string error;
  for (auto _ : state) {
    YieldReport report;
    if (!store->Yield(q, &report, &error) || report.passed + report.failed != 1'000'000) {
      state.SkipWithError("wrong total");
    }
  }
}

// `history --csv` over the whole million: each record formatted as it is
// read and the text dropped in blocks, as the command line writes it.
template <typename Store>
void HistoryCsvOverAMillion(benchmark::State& state, Store* store) {
  if (!store) {
    state.SkipWithError("no ledger");
    return;
  }
  std::string error;
  for (auto _ : state) {
    RecordsWriter writer(RecordsFormat::kCsv);
    std::string out;
    size_t bytes = 0;
    size_t count = 0;
    writer.Begin(&out);
    const bool ok = store->HistoryEach(
        {},
        [&](const Record& record) {
          writer.Add(record, &out);
          ++count;
          if (out.size() >= 64 * 1024) {
            bytes += out.size();
            benchmark::DoNotOptimize(out.data());
            out.clear();
          }
          return true;
        },
        &error);
    writer.End(&out);
    bytes += out.size();
    if (!ok || count != 1'000'000) state.SkipWithError(ok ? "wrong total" : error.c_str());
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  }
}

void BM_HistoryCsvOverAMillion(benchmark::State& state) {
  HistoryCsvOverAMillion(state, SqliteMillion());
}
BENCHMARK(BM_HistoryCsvOverAMillion)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_PostgresHistoryCsvOverAMillion(benchmark::State& state) {
  HistoryCsvOverAMillion(state, PostgresMillion());
}
BENCHMARK(BM_PostgresHistoryCsvOverAMillion)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HistorySerialOverAMillion(benchmark::State& state) {
  HistorySerialOverAMillion(state, SqliteMillion());
}
BENCHMARK(BM_HistorySerialOverAMillion)->Unit(benchmark::kMicrosecond);

void BM_YieldOverAMillion(benchmark::State& state) {
  YieldOverAMillion(state, SqliteMillion());
}
BENCHMARK(BM_YieldOverAMillion)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// What a Start checks of the station's own file before any drive is
// touched: the quick check and a rolled-back write.
void BM_StartChecksOverAMillion(benchmark::State& state) {
  SqliteLedger* store = SqliteMillion();
  if (!store) {
    state.SkipWithError("no ledger");
    return;
  }
  std::string error;
  for (auto _ : state) {
    if (!store->QuickCheck().empty() || !store->ProbeWrite(&error))
      state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_StartChecksOverAMillion)->Unit(benchmark::kMillisecond);

void BM_PostgresHistorySerialOverAMillion(benchmark::State& state) {
  HistorySerialOverAMillion(state, PostgresMillion());
}
BENCHMARK(BM_PostgresHistorySerialOverAMillion)->Unit(benchmark::kMicrosecond);

void BM_PostgresYieldOverAMillion(benchmark::State& state) {
  YieldOverAMillion(state, PostgresMillion());
}
BENCHMARK(BM_PostgresYieldOverAMillion)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
