// The shared ledger against a real PostgreSQL server the test starts itself:
// the same record semantics as SQLite, serial series, the spool, and whole
// stations (qelvar-cli processes) sharing one server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "engine/serial_number.h"
#include "ledger/line_ledger.h"
#include "ledger/postgres_ledger.h"
#include "ledger_fixture.h"
#include "pg_server.h"

namespace qelvar::ledger {
namespace {

namespace fs = std::filesystem;
using testing::kDayMs;
using testing::kDecember1;
using testing::PgServer;
using testing::SampleRecord;
using testing::TempDir;

void Advance(std::string& serial, uint64_t steps) {
  char text[21] = {};
  serial.copy(text, 20);
  (void)engine::AdvanceSerialText(text, 20, steps);
  serial = text;
}

class Postgres : public ::testing::Test {
 protected:
  void SetUp() override { QELVAR_NEED_PG(server); }
  std::unique_ptr<PgServer> server;
};

TEST_F(Postgres, RecordsQueriesAndMigrationsMatchTheStationLedger) {
  PostgresLedger store(server->Url());
  std::string error;
  ASSERT_TRUE(store.Connect(&error)) << error;
  EXPECT_EQ(store.SchemaVersion(), kSchemaVersion);
  Record r = SampleRecord("QV1", 0, kDecember1);
  ASSERT_TRUE(store.Append(r, &error)) << error;
  ASSERT_TRUE(store.Append(r, &error)) << "a second push of the same ID is no error";
  ASSERT_TRUE(store.Append(SampleRecord("QV1", 0, kDecember1 + kDayMs, "line-2"), &error));
  ASSERT_TRUE(store.Append(SampleRecord("QV2", 9, kDecember1 + kDayMs), &error));
  std::vector<Record> found;
  ASSERT_TRUE(store.History({}, &found, &error)) << error;
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found.back(), r);
  HistoryQuery dup;
  dup.duplicates = true;
  ASSERT_TRUE(store.History(dup, &found, &error)) << error;
  EXPECT_EQ(found.size(), 2u);
  YieldReport report;
  ASSERT_TRUE(store.Yield({}, &report, &error)) << error;
  EXPECT_EQ(report.passed, 2);
  EXPECT_EQ(report.failed, 1);
  ASSERT_EQ(report.failCodes.size(), 1u);
  EXPECT_EQ(report.failCodes[0].value, 9);

  // A second program on the same server finds the schema in place.
  PostgresLedger again(server->Url());
  ASSERT_TRUE(again.Connect(&error)) << error;
  EXPECT_EQ(server->Psql("SELECT version FROM schema_version"),
            std::to_string(kSchemaVersion) + "\n");
}

TEST_F(Postgres, SerialsComeFromOneSeriesSeededOnceAndNeverRepeat) {
  PostgresLedger a(server->Url());
  PostgresLedger b(server->Url());
  std::string error;
  std::vector<std::string> first, second;
  ASSERT_TRUE(a.TakeSerials("default", "QV00FE", 3, "st-a", Advance, &first, &error)) << error;
  EXPECT_EQ(first, (std::vector<std::string>{"QV00FE", "QV00FF", "QV0100"}));
  // The second station's seed is ignored: the series exists.
  ASSERT_TRUE(b.TakeSerials("default", "QV00FE", 2, "st-b", Advance, &second, &error)) << error;
  EXPECT_EQ(second, (std::vector<std::string>{"QV0101", "QV0102"}));
  // Another series is independent.
  ASSERT_TRUE(b.TakeSerials("other", "X1", 1, "st-b", Advance, &second, &error)) << error;
  EXPECT_EQ(second, std::vector<std::string>{"X1"});
}

TEST_F(Postgres, ASeriesThatComesRoundIsRefusedNotRepeated) {
  PostgresLedger store(server->Url());
  std::string error;
  std::vector<std::string> serials;
  ASSERT_TRUE(store.TakeSerials("tiny", "E", 2, "st", Advance, &serials, &error)) << error;
  EXPECT_EQ(serials, (std::vector<std::string>{"E", "F"}));
  // F wraps to 0, then ... E again.
  ASSERT_TRUE(store.TakeSerials("tiny", "E", 14, "st", Advance, &serials, &error)) << error;
  EXPECT_FALSE(store.TakeSerials("tiny", "E", 1, "st", Advance, &serials, &error));
  EXPECT_NE(error.find("come round"), std::string::npos) << error;
  EXPECT_TRUE(serials.empty());
}

TEST_F(Postgres, ASeriesStoredByAnOlderSchemaCarriesOnFromItsNextSerial) {
  std::string error;
  {
    PostgresLedger old(server->Url(), /*upTo=*/3);
    ASSERT_TRUE(old.Connect(&error)) << error;
  }
  (void)server->Psql("INSERT INTO serial_series (series, next_serial) VALUES ('kept', 'QV00FF')");
  (void)server->Psql("INSERT INTO serial_grants VALUES ('kept', 'QV00FE', 'st', 0)");
  PostgresLedger store(server->Url());
  ASSERT_TRUE(store.Connect(&error)) << error;
  std::vector<std::string> serials;
  ASSERT_TRUE(store.TakeSerials("kept", "QV0000", 2, "st", Advance, &serials, &error)) << error;
  EXPECT_EQ(serials, (std::vector<std::string>{"QV00FF", "QV0100"}));
  ASSERT_TRUE(store.TakeSerials("kept", "QV0000", 1, "st", Advance, &serials, &error)) << error;
  EXPECT_EQ(serials, std::vector<std::string>{"QV0101"});
}

TEST_F(Postgres, ConcurrentTakersNeverShareASerial) {
  constexpr int kStations = 8;
  constexpr int kRuns = 10;
  std::vector<std::vector<std::string>> taken(kStations);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int s = 0; s < kStations; ++s) {
    threads.emplace_back([&, s] {
      PostgresLedger store(server->Url());
      for (int run = 0; run < kRuns; ++run) {
        std::vector<std::string> serials;
        std::string error;
        if (!store.TakeSerials("line", "QV5100000A00", 16, "st", Advance, &serials, &error)) {
          ++failures;
          ADD_FAILURE() << error;
          return;
        }
        taken[static_cast<size_t>(s)].insert(taken[static_cast<size_t>(s)].end(), serials.begin(),
                                             serials.end());
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);
  std::set<std::string> all;
  for (const auto& list : taken) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kStations * kRuns * 16));
}

TEST_F(Postgres, AnAbsentServerSpoolsAndSyncPushesEachRecordOnce) {
  TempDir dir("spool");
  const std::string spoolPath = dir.str() + "/" + kSpoolFileName;
  LineLedger line(std::make_unique<PostgresLedger>(server->Url()), spoolPath);
  std::string error;
  std::vector<Record> records;
  for (int i = 0; i < 6; ++i)
    records.push_back(SampleRecord("S" + std::to_string(i), 0, kDecember1 + i));
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(line.Append(records[static_cast<size_t>(i)], &error)) << error;

  ASSERT_TRUE(server->Stop());
  for (int i = 3; i < 6; ++i)
    ASSERT_TRUE(line.Append(records[static_cast<size_t>(i)], &error)) << error;
  EXPECT_EQ(line.Spooled(), 3u);
  size_t pushed = 0;
  EXPECT_FALSE(line.Sync(&pushed, &error)) << "nothing can be pushed while the server is away";
  std::vector<std::string> serials;
  EXPECT_FALSE(line.TakeSerials("default", "A", 1, "st", Advance, &serials, &error));

  ASSERT_TRUE(server->Restart());
  // A record the server already has (its removal from the spool was lost).
  {
    auto spool = SqliteLedger::Open(spoolPath, &error);
    ASSERT_TRUE(spool);
    ASSERT_TRUE(spool->Append(records[0], &error));
  }
  ASSERT_TRUE(line.Sync(&pushed, &error)) << error;
  EXPECT_EQ(pushed, 4u);
  EXPECT_EQ(line.Spooled(), 0u);
  ASSERT_TRUE(line.Sync(&pushed, &error)) << error;
  EXPECT_EQ(pushed, 0u);
  EXPECT_EQ(server->Psql("SELECT COUNT(*), COUNT(DISTINCT id) FROM records"), "6|6\n");
}

// --- Whole stations: qelvar-cli processes against one server. ---

struct Output {
  int status = -1;
  std::string text;
};

Output RunCli(const std::string& args) {
  Output out;
  std::string command = std::string(QELVAR_CLI) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.text.append(buffer, n);
  int raw = ::pclose(pipe);
  out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

fs::path MakeStation(const TempDir& root, const std::string& name) {
  fs::path dir = root.path() / name;
  fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir, fs::copy_options::recursive);
  std::ofstream(dir / "speedQelvar.ini", std::ios::app)
      << "\r\n[Ledger]\r\nStation=" << name << "\r\n";
  return dir;
}

TEST_F(Postgres, FourStationsFromOneSeedGiveSixtyFourDistinctSerials) {
  TempDir root("four");
  std::vector<fs::path> dirs;
  for (int s = 0; s < 4; ++s) dirs.push_back(MakeStation(root, "station-" + std::to_string(s)));
  std::vector<Output> outputs(4);
  std::vector<std::thread> threads;
  for (int s = 0; s < 4; ++s) {
    threads.emplace_back([&, s] {
      outputs[static_cast<size_t>(s)] =
          RunCli("--dir " + dirs[static_cast<size_t>(s)].string() + " --ledger '" + server->Url() +
                 "' --sim --virtual-time --json run");
    });
  }
  for (auto& t : threads) t.join();
  for (const Output& o : outputs) ASSERT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(server->Psql("SELECT COUNT(*), COUNT(DISTINCT serial), COUNT(DISTINCT station)"
                         " FROM records WHERE fail_code = 0"),
            "64|64|4\n");
  EXPECT_EQ(server->Psql("SELECT MIN(serial), MAX(serial) FROM records"),
            "QV5100000A00|QV5100000A3F\n");
  Output dups = RunCli("--ledger '" + server->Url() + "' history --duplicates --json");
  EXPECT_EQ(dups.text, "{\"records\":[]}\n");
  // Every station's settings carry a next serial past the ones it took.
  std::set<std::string> next;
  for (const fs::path& dir : dirs) {
    std::ifstream in(dir / "speedQelvar.ini");
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    const size_t at = s.find("\nSN=");
    ASSERT_NE(at, std::string::npos);
    next.insert(s.substr(at + 4, 12));
  }
  EXPECT_EQ(next.size(), 4u);
  EXPECT_EQ(next.count("QV5100000A00"), 0u);
}

TEST_F(Postgres, AStartIsRefusedWhenTheSharedLedgerCannotHandOutSerials) {
  TempDir root("refused");
  fs::path dir = MakeStation(root, "station-x");
  const std::string url = server->Url();
  ASSERT_TRUE(server->Stop());
  Output o = RunCli("--dir " + dir.string() + " --ledger '" + url + "' --sim --virtual-time run");
  EXPECT_NE(o.status, 0) << o.text;
  EXPECT_NE(o.text.find("Start refused: no serial numbers could be taken from the shared ledger"),
            std::string::npos)
      << o.text;
  EXPECT_EQ(o.status, 2) << o.text;
}

TEST_F(Postgres, AServerStoppedMidRunLosesNothingAndDoublesNothing) {
  TempDir root("midrun");
  fs::path dir = MakeStation(root, "station-m");
  const std::string url = server->Url();
  Output out;
  std::thread station([&] {
    out = RunCli("--dir " + dir.string() + " --ledger '" + url + "' --sim --time-scale 0.05 run");
  });
  // Once the Start has taken its serials, the server goes away.
  bool taken = false;
  for (int i = 0; i < 400 && !taken; ++i) {
    taken = server->Psql("SELECT COUNT(*) FROM serial_grants") == "16\n";
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_TRUE(taken);
  ASSERT_TRUE(server->Stop());
  station.join();
  EXPECT_EQ(out.status, 0) << out.text << " (a ledger failure never fails a port)";
  ASSERT_TRUE(fs::exists(dir / kSpoolFileName)) << out.text;

  ASSERT_TRUE(server->Restart());
  Output sync = RunCli("--dir " + dir.string() + " --ledger '" + url + "' ledger sync");
  EXPECT_EQ(sync.status, 0) << sync.text;
  EXPECT_NE(sync.text.find("; 0 waiting"), std::string::npos) << sync.text;
  Output again = RunCli("--dir " + dir.string() + " --ledger '" + url + "' ledger sync");
  EXPECT_NE(again.text.find("pushed 0 records; 0 waiting"), std::string::npos) << again.text;
  EXPECT_EQ(
      server->Psql("SELECT COUNT(*), COUNT(DISTINCT id), COUNT(DISTINCT serial) FROM records"),
      "16|16|16\n");
}

}  // namespace
}  // namespace qelvar::ledger
