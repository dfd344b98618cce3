// The shared ledger against a real PostgreSQL server the test starts itself:
// the same record semantics as SQLite, serial series, the spool, and whole
// stations (qelvar-cli processes) sharing one server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

TEST_F(Postgres, AListingComesRowByRowAndAStoppedOneLeavesTheLedgerUsable) {
  PostgresLedger store(server->Url());
  std::string error;
  std::vector<Record> batch;
  for (int i = 0; i < 300; ++i) {
    batch.push_back(SampleRecord("QV" + std::to_string(i), 0, kDecember1 + i * 1000));
  }
  ASSERT_TRUE(store.AppendMany(batch, &error)) << error;
  HistoryQuery q;
  q.sinceMs = kDecember1 + 100 * 1000;
  q.untilMs = kDecember1 + 200 * 1000;
  std::vector<Record> found;
  ASSERT_TRUE(store.History(q, &found, &error)) << error;
  ASSERT_EQ(found.size(), 100u);
  EXPECT_EQ(found.front().serial, "QV199");
  EXPECT_EQ(found.back().serial, "QV100");
  int taken = 0;
  EXPECT_FALSE(store.HistoryEach(
      {}, [&](const Record&) { return ++taken < 3; }, &error));
  EXPECT_EQ(taken, 3) << "no row after the taker stopped";
  q.limit = 7;
  ASSERT_TRUE(store.History(q, &found, &error)) << error;
  EXPECT_EQ(found.size(), 7u);

  // Read more slowly than the time-out in all, though never quiet that
  // long: the listing is whole, not cut by the server's statement time-out.
  PostgresLedger slow(server->Url(), kSchemaVersion, /*timeoutSeconds=*/1);
  for (int copy = 0; copy < 10; ++copy) {
    for (Record& r : batch) r.id = NewUuid();
    ASSERT_TRUE(store.AppendMany(batch, &error)) << error;
  }
  size_t read = 0;
  ASSERT_TRUE(slow.HistoryEach(
      {},
      [&](const Record&) {
        if (++read % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
      },
      &error))
      << error;
  EXPECT_EQ(read, 3300u);
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
  ASSERT_TRUE(store.TakeSerials("kept", "QV00FF", 2, "st", Advance, &serials, &error)) << error;
  EXPECT_EQ(serials, (std::vector<std::string>{"QV00FF", "QV0100"}));
  ASSERT_TRUE(store.TakeSerials("kept", "QV00FF", 1, "st", Advance, &serials, &error)) << error;
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

using Clock = std::chrono::steady_clock;

// A sanitizer's build hashes a record's images many times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kSlowdown = 5;
#else
constexpr double kSlowdown = 1;
#endif

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(Postgres, AFrozenServerDuringTheGrantFailsItInTimeAndHandsOutNoSerialTwice) {
  constexpr int kTimeoutS = 1;
  PostgresLedger store(server->Url(), kSchemaVersion, kTimeoutS);
  std::string error;
  std::vector<std::string> before, after;
  ASSERT_TRUE(store.TakeSerials("frozen", "QV0100", 2, "st", Advance, &before, &error)) << error;
  ASSERT_TRUE(server->Freeze());
  for (int attempt = 0; attempt < 2; ++attempt) {  // on the open connection, then a new one
    std::vector<std::string> none;
    const auto start = Clock::now();
    EXPECT_FALSE(store.TakeSerials("frozen", "QV0100", 3, "st", Advance, &none, &error));
    EXPECT_LT(SecondsSince(start), 3.0 * kTimeoutS);
    EXPECT_NE(error.find("within 1 s"), std::string::npos) << error;
    EXPECT_TRUE(none.empty());
  }
  ASSERT_TRUE(server->Thaw());
  ASSERT_TRUE(store.TakeSerials("frozen", "QV0100", 3, "st", Advance, &after, &error)) << error;
  ASSERT_EQ(after.size(), 3u);
  std::set<std::string> all(before.begin(), before.end());
  all.insert(after.begin(), after.end());
  EXPECT_EQ(all.size(), 5u) << "a grant cut off by the deadline hands out nothing again";
  EXPECT_EQ(server->Psql("SELECT COUNT(*), COUNT(DISTINCT serial) FROM serial_grants"), "5|5\n");
}

TEST_F(Postgres, ADroppedConnectionIsOpenedAgainBeforeAGrantOrARecordFails) {
  // Each way a server can drop a station's open connection.
  struct Case {
    const char* what;
    std::function<void()> drop;
  };
  const Case cases[] = {
      {"a server restart", [&] { ASSERT_TRUE(server->Stop() && server->Restart()); }},
      {"the session killed",
       [&] {
         (void)server->Psql(
             "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
             " WHERE pid <> pg_backend_pid() AND backend_type = 'client backend'");
       }},
      {"an idle-session time-out",
       [&] {
         (void)server->Psql("ALTER SYSTEM SET idle_session_timeout = '300ms'");
         (void)server->Psql("SELECT pg_reload_conf()");
         std::this_thread::sleep_for(std::chrono::milliseconds(900));
         (void)server->Psql("ALTER SYSTEM RESET idle_session_timeout");
         (void)server->Psql("SELECT pg_reload_conf()");
       }},
  };
  TempDir dir("reopen");
  LineLedger line(std::make_unique<PostgresLedger>(server->Url(), kSchemaVersion, 2),
                  dir.str() + "/" + kSpoolFileName);
  std::string error;
  std::vector<std::string> serials;
  std::set<std::string> all;
  ASSERT_TRUE(line.TakeSerials("reopen", "A00", 1, "st", Advance, &serials, &error)) << error;
  all.insert(serials.begin(), serials.end());
  int n = 0;
  for (const Case& c : cases) {
    c.drop();
    ASSERT_TRUE(line.TakeSerials("reopen", "A00", 2, "st", Advance, &serials, &error))
        << c.what << ": " << error;
    all.insert(serials.begin(), serials.end());
    c.drop();
    ASSERT_TRUE(line.Append(SampleRecord("R" + std::to_string(n++), 0, kDecember1), &error))
        << c.what << ": " << error;
    EXPECT_EQ(line.Spooled(), 0u) << c.what << ": the record went to the server, not the spool";
  }
  EXPECT_EQ(all.size(), 7u);
  EXPECT_EQ(server->Psql("SELECT COUNT(*) FROM records"), "3\n");
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

fs::path MakeStation(const TempDir& root, const std::string& name, int timeoutS = 10) {
  fs::path dir = root.path() / name;
  fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir, fs::copy_options::recursive);
  std::ofstream(dir / "speedQelvar.ini", std::ios::app)
      << "\r\n[Ledger]\r\nStation=" << name << "\r\nTimeoutS=" << timeoutS << "\r\n";
  return dir;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A station process of its own, to signal and time; its output in a file.
class Spawned {
 public:
  Spawned(const std::string& args, fs::path output) : output_(std::move(output)) {
    const std::string command =
        "exec " + std::string(QELVAR_CLI) + " " + args + " > '" + output_.string() + "' 2>&1";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Spawned() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      (void)::waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // Its command line as the process list shows it.
  [[nodiscard]] std::string CommandLine() const {
    std::string text = Slurp("/proc/" + std::to_string(pid_) + "/cmdline");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
  }
  // The exit status, or -1 when it has not ended within `seconds`.
  int Wait(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (status_ < 0 && Clock::now() < until) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return status_;
  }
  [[nodiscard]] std::string Text() const { return Slurp(output_); }
  // Waits up to `seconds` for `what` in the output.
  bool Shows(const std::string& what, double seconds) const {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Text().find(what) == std::string::npos) {
      if (Clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  fs::path output_;
  pid_t pid_ = -1;
  int status_ = -1;
};

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

TEST_F(Postgres, AStationNeverWaitsLongOnAFrozenServer) {
  constexpr int kTimeoutS = 2;
  TempDir root("frozen");
  const std::string url = server->Url();
  // Before the Start: refused within the deadline, no serial taken.
  {
    fs::path dir = MakeStation(root, "station-f", kTimeoutS);
    const std::string settings = Slurp(dir / "speedQelvar.ini");
    ASSERT_TRUE(server->Freeze());
    const auto start = Clock::now();
    Output o = RunCli("--dir " + dir.string() + " --ledger '" + url + "' --sim --virtual-time run");
    std::printf("[ figure ] the Start was refused after %.2f s, server frozen\n",
                SecondsSince(start));
    EXPECT_LT(SecondsSince(start), 3.0 * kTimeoutS) << o.text;
    EXPECT_EQ(o.status, 2) << o.text;
    EXPECT_NE(o.text.find("Start refused: no serial numbers could be taken"), std::string::npos)
        << o.text;
    ASSERT_TRUE(server->Thaw());
    EXPECT_EQ(Slurp(dir / "speedQelvar.ini"), settings) << "no next serial saved";
  }
  // During the writes, with no, one or two Ctrl-C at the end: every record
  // is kept, the end waits no longer than the deadline (with a Ctrl-C not
  // at all), and the spool pushes them all once.
  for (const int interrupts : {0, 1, 2}) {
    SCOPED_TRACE(std::to_string(interrupts) + " Ctrl-C");
    (void)server->Psql("TRUNCATE records, serial_grants");
    fs::path dir = MakeStation(root, "station-w" + std::to_string(interrupts), kTimeoutS);
    // A password (which the test server does not ask for) never shows in ps.
    Spawned station("--dir " + dir.string() + " --ledger '" + url +
                        "&password=s3cret' --sim --time-scale 0.05 run",
                    dir / "out.txt");
    bool written = false;
    for (int i = 0; i < 800 && !written; ++i) {
      written = server->Psql("SELECT COUNT(*) > 0 FROM records") == "t\n";
      if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(written) << station.Text();
    EXPECT_NE(station.CommandLine().find("password=***"), std::string::npos)
        << station.CommandLine();
    EXPECT_EQ(station.CommandLine().find("s3cret"), std::string::npos) << station.CommandLine();
    ASSERT_TRUE(server->Freeze());
    ASSERT_TRUE(station.Shows("Sum: 16", 60)) << station.Text();
    const auto end = Clock::now();
    for (int i = 0; i < interrupts; ++i) {
      station.Signal(SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int status = station.Wait(3.0 * kTimeoutS);
    const double took = SecondsSince(end);
    std::printf("[ figure ] %d Ctrl-C: the station ended %.2f s after its run, server frozen\n",
                interrupts, took);
    if (std::getenv("QELVAR_SHOW")) std::printf("%s\n", station.Text().c_str());
    // A second Ctrl-C quits at once (130), unless the first has already let
    // the program end.
    EXPECT_TRUE(status == 0 || (interrupts == 2 && status == 130))
        << status << ": " << station.Text() << " (a port's result never changes)";
    if (interrupts > 0) {
      EXPECT_LT(took, 1.0 * kSlowdown) << "a Ctrl-C gives up on the frozen server at once";
    }
    ASSERT_TRUE(server->Thaw());
    Output sync = RunCli("--dir " + dir.string() + " --ledger '" + url + "' ledger sync");
    EXPECT_EQ(sync.status, 0) << station.Text() << sync.text;
    EXPECT_EQ(
        server->Psql("SELECT COUNT(*), COUNT(DISTINCT id), COUNT(DISTINCT serial) FROM records"),
        "16|16|16\n")
        << station.Text() << sync.text;
  }
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

TEST_F(Postgres, AStationLoginInTheStationsRoleRunsWithNoRightToChangeTheLedger) {
  const std::string admin = "--ledger '" + server->Url() + "' ";
  Output migrate = RunCli(admin + "ledger migrate");
  ASSERT_EQ(migrate.status, 0) << migrate.text;
  Output add = RunCli(admin + "ledger series add line QV5100000A00");
  ASSERT_EQ(add.status, 0) << add.text;
  EXPECT_EQ(RunCli(admin + "ledger series add line QV5100000A00").status, 0) << "already so";
  Output reseed = RunCli(admin + "ledger series add line QV0000000000");
  EXPECT_EQ(reseed.status, 1) << reseed.text;
  EXPECT_NE(reseed.text.find("seeded with QV5100000A00"), std::string::npos) << reseed.text;
  (void)server->Psql("CREATE ROLE st1 LOGIN IN ROLE qelvar_station");

  // The station's login named by a section of libpq's service file.
  TempDir root("role");
  const fs::path services = root.path() / "pg_service.conf";
  std::ofstream(services) << "[qvline]\nhost=" << server->SocketDir() << "\nport=" << server->Port()
                          << "\nuser=st1\ndbname=postgres\n";
  ::setenv("PGSERVICEFILE", services.c_str(), 1);
  const std::string url = "service=qvline";
  for (const char* series : {"line", "unknown"}) {
    SCOPED_TRACE(series);
    fs::path dir = MakeStation(root, std::string("station-") + series);
    std::ofstream(dir / "speedQelvar.ini", std::ios::app) << "Series=" << series << "\r\n";
    Output run =
        RunCli("--dir " + dir.string() + " --ledger '" + url + "' --sim --virtual-time run");
    if (std::string(series) == "line") {
      EXPECT_EQ(run.status, 0) << run.text;
    } else {
      EXPECT_EQ(run.status, 2) << run.text;
      EXPECT_NE(run.text.find("ledger series add unknown SEED"), std::string::npos) << run.text;
    }
  }
  // A login granted by an older program, which may not update records,
  // still stores every port's end.
  (void)server->Psql("REVOKE UPDATE ON records FROM qelvar_station");
  Output old = RunCli("--dir " + (root.path() / "station-line").string() + " --ledger '" + url +
                      "' --sim --virtual-time run");
  EXPECT_EQ(old.status, 0) << old.text;
  ::unsetenv("PGSERVICEFILE");
  EXPECT_EQ(server->Psql("SELECT COUNT(*), COUNT(DISTINCT serial), MIN(serial), MIN(station)"
                         " FROM records WHERE status = 'Pass'"),
            "32|32|QV5100000A00|station-line\n");
  // A station may complete its started records, but change no result.
  (void)server->Psql(
      "GRANT UPDATE ON records TO qelvar_station; SET ROLE st1;"
      " UPDATE records SET status = 'FAIL 9' WHERE serial = 'QV5100000A00'");
  EXPECT_EQ(server->Psql("SELECT status FROM records WHERE serial = 'QV5100000A00'"), "Pass\n");
  EXPECT_EQ(server->Psql("SELECT COUNT(*) FROM pg_class c JOIN pg_roles r ON c.relowner = r.oid"
                         " WHERE r.rolname = 'st1'"),
            "0\n")
      << "the station created nothing";
}

TEST_F(Postgres, ARecordTheServerRejectsIsSetAsideAndTheRestArePushed) {
  TempDir root("rejected");
  const fs::path dir = MakeStation(root, "station-r");
  LineLedger line(std::make_unique<PostgresLedger>(server->Url()), (dir / kSpoolFileName).string());
  std::string error;
  ASSERT_TRUE(line.server().Connect(&error)) << error;
  (void)server->Psql("ALTER TABLE records ADD CONSTRAINT no_test_serial CHECK (serial <> 'BAD1')");
  Record notText = SampleRecord("GOOD1", 0, kDecember1 + 2);
  notText.model = "QV\xff\xfe";  // cut bytes, not UTF-8
  // While the server is up: refused at once, and kept.
  ASSERT_TRUE(line.Append(SampleRecord("BAD1", 0, kDecember1 + 1), &error)) << error;
  EXPECT_EQ(line.Rejected(), 1u);
  ASSERT_TRUE(server->Stop());
  for (const Record& r :
       {SampleRecord("GOOD0", 0, kDecember1), notText, SampleRecord("GOOD2", 0, kDecember1 + 3)}) {
    ASSERT_TRUE(line.Append(r, &error)) << error;
  }
  ASSERT_TRUE(server->Restart());
  size_t pushed = 0;
  ASSERT_TRUE(line.Sync(&pushed, &error)) << error;
  EXPECT_EQ(pushed, 2u) << "the records after a rejected one are pushed";
  EXPECT_EQ(line.Spooled(), 2u);
  EXPECT_EQ(line.Rejected(), 2u);
  EXPECT_EQ(server->Psql("SELECT string_agg(serial, ',' ORDER BY serial) FROM records"),
            "GOOD0,GOOD2\n");

  const std::string at = "--dir " + dir.string() + " --ledger '" + server->Url() + "' ";
  Output sync = RunCli(at + "ledger sync");
  EXPECT_EQ(sync.status, 1) << sync.text;
  EXPECT_NE(sync.text.find("pushed 0 records; 0 waiting; 2 rejected"), std::string::npos)
      << sync.text;
  EXPECT_NE(sync.text.find("serial BAD1"), std::string::npos) << sync.text;
  EXPECT_NE(sync.text.find("no_test_serial"), std::string::npos) << sync.text;
  EXPECT_NE(sync.text.find("UTF8"), std::string::npos) << sync.text;
  Output spool = RunCli(at + "ledger spool");
  EXPECT_EQ(spool.status, 0) << spool.text;
  EXPECT_NE(spool.text.find("0 waiting; 2 rejected"), std::string::npos) << spool.text;
}

// The settings file of `dir` with its SN (and, when not empty, its series).
void SetSerial(const fs::path& dir, const std::string& sn, const std::string& series) {
  std::string text = Slurp(dir / "speedQelvar.ini");
  const size_t at = text.find("\nSN=");
  ASSERT_NE(at, std::string::npos);
  text.replace(at + 4, text.find('\r', at) - at - 4, sn);
  if (!series.empty()) text += "Series=" + series + "\r\n";
  std::ofstream(dir / "speedQelvar.ini", std::ios::binary | std::ios::trunc) << text;
}

// Serials stay unique across the line: a barcode already on a passed drive
// of another station is refused, and so is a station whose SN does not
// follow on from the series it joins, until its SN or series is set.
TEST_F(Postgres, NoStationRepeatsASerialOfTheLine) {
  TempDir root("unique");
  const std::string ledger = " --ledger '" + server->Url() + "' --sim --virtual-time run";
  const fs::path codes = root.path() / "codes.txt";
  {
    std::ofstream out(codes);
    for (int i = 10; i < 26; ++i) out << "QVB0000000" << i << "\n";
  }
  const fs::path a = MakeStation(root, "station-a");
  const fs::path b = MakeStation(root, "station-b");
  Output first = RunCli("--dir " + a.string() + ledger + " --barcodes " + codes.string());
  ASSERT_EQ(first.status, 0) << first.text;
  Output second = RunCli("--dir " + b.string() + ledger + " --barcodes " + codes.string());
  EXPECT_EQ(second.status, 2) << second.text;
  const std::string id = server->Psql("SELECT id FROM records WHERE serial = 'QVB000000013'");
  ASSERT_EQ(id.size(), 37u) << id;
  EXPECT_NE(second.text.find("port 4 has the barcode \"QVB000000013\", already on a passed drive"
                             " (serial QVB000000013 passed on station station-a port 4 at "),
            std::string::npos)
      << second.text;
  EXPECT_NE(second.text.find("record " + id.substr(0, 36)), std::string::npos) << second.text;

  struct Case {
    const char* station;
    const char* sn;
    const char* series;  // "" for the default one
    bool runs;
  };
  // The series "default" starts at the example station's QV5100000A00.
  const Case cases[] = {
      {"station-c", "QV5100000A00", "", true},   // creates the series
      {"station-c", "QV5100000A10", "", true},   // as it saved after its Start
      {"station-d", "QV7700000000", "", false},  // another line's SN
      {"station-d", "QV5100000A05", "", true},   // a serial the series gave
      {"station-e", "QV7700000000", "own", true},
      {"station-e", "QV5100000A00", "own", false},  // its series starts at QV77...
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.station) + " " + c.sn + " " + c.series);
    const fs::path dir = root.path() / c.station;
    if (!fs::exists(dir)) (void)MakeStation(root, c.station);
    SetSerial(dir, c.sn, c.series);
    Output run = RunCli("--dir " + dir.string() + ledger);
    if (c.runs) {
      EXPECT_EQ(run.status, 0) << run.text;
    } else {
      EXPECT_EQ(run.status, 2) << run.text;
      const std::string started = std::string(c.series).empty() ? "QV5100000A00" : "QV7700000000";
      EXPECT_NE(run.text.find(std::string("this station's SN ") + c.sn +
                              " does not follow on from the serial series " +
                              (std::string(c.series).empty() ? "default" : c.series) +
                              ", which starts at " + started),
                std::string::npos)
          << run.text;
    }
    // Only a series whose SN fits moves the station's SN on.
    EXPECT_EQ(Slurp(dir / "speedQelvar.ini").find(std::string("\nSN=") + c.sn + "\r") ==
                  std::string::npos,
              c.runs);
  }
  EXPECT_EQ(server->Psql("SELECT COUNT(*), COUNT(DISTINCT serial) FROM records"
                         " WHERE fail_code = 0"),
            "80|80\n");
}

// Started records on the shared ledger: a port's end completes its started
// record wherever each of the two was kept (server or spool), and one left
// started is marked aborted, in the spool and on the server alike.
TEST_F(Postgres, AStartedRecordAndItsEndEndAsOneRecordWhereverEachWasKept) {
  TempDir dir("started");
  LineLedger line(std::make_unique<PostgresLedger>(server->Url()),
                  dir.str() + "/" + kSpoolFileName);
  std::string error;
  ASSERT_TRUE(line.server().Connect(&error)) << error;
  enum Where { kServer, kSpool };
  struct Case {
    const char* serial;
    Where started;
    Where end;  // kSpool with no end: left started, then marked aborted
    bool ends;
    const char* status;  // on the server after a sync
  };
  const Case cases[] = {
      {"QS1", kServer, kServer, true, "Pass"},     {"QS2", kSpool, kSpool, true, "Pass"},
      {"QS3", kServer, kSpool, true, "Pass"},      {"QS4", kSpool, kServer, true, "Pass"},
      {"QS5", kServer, kServer, false, "aborted"}, {"QS6", kSpool, kSpool, false, "aborted"},
  };
  auto put = [&](Where where, const Record& record) {
    if (where == kSpool) return line.Keep(record, &error);
    return line.Append(record, &error);
  };
  std::vector<Record> ends;
  for (const Case& c : cases) {
    Record end = SampleRecord(c.serial, 0, kDecember1);
    Record started = end;
    started.status = kStartedStatus;
    started.failCode = kUnfinishedFailCode;
    ASSERT_TRUE(put(c.started, started)) << error;
    if (c.ends) {
      ASSERT_TRUE(put(c.end, end)) << error;
    }
  }
  // As `ledger sync` does: the spool first, then what is left started.
  size_t pushed = 0;
  ASSERT_TRUE(line.Sync(&pushed, &error)) << error;
  EXPECT_EQ(line.Spooled(), 0u);
  size_t marked = 0;
  ASSERT_TRUE(line.MarkAborted("line-1", {"run-1"}, &marked, &error)) << error;
  EXPECT_EQ(marked, 0u) << "a live run's records stay started";
  ASSERT_TRUE(line.MarkAborted("line-1", {}, &marked, &error)) << error;
  EXPECT_EQ(marked, 2u);
  for (const Case& c : cases) {
    EXPECT_EQ(
        server->Psql(std::string("SELECT COUNT(*), MIN(status) FROM records WHERE serial = '") +
                     c.serial + "'"),
        std::string("1|") + c.status + "\n")
        << c.serial;
  }
  // A finished record is never replaced; an aborted one is by its late end.
  Record late = SampleRecord("QS1", 7, kDecember1);
  ASSERT_TRUE(line.Append(late, &error)) << error;
  EXPECT_EQ(server->Psql("SELECT COUNT(*) FROM records WHERE status = 'Pass'"), "4\n");
}

// A station killed mid-run on the shared ledger: every serial it handed out
// has a record on the server, and the ones left started are marked aborted
// at the next sync.
TEST_F(Postgres, AKilledStationLeavesARecordOfEverySerialOnTheServer) {
  TempDir root("killed");
  const fs::path dir = MakeStation(root, "station-k");
  const std::string ledger = "--dir " + dir.string() + " --ledger '" + server->Url() + "' ";
  Spawned station(ledger + "--sim --time-scale 0.1 run", root.path() / "out.txt");
  const std::string finished =
      "SELECT COUNT(*) FROM records WHERE status NOT IN"
      " ('started', 'aborted')";
  int seen = 0;
  for (int i = 0; i < 1500 && seen < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = std::atoi(server->Psql(finished).c_str());
  }
  station.Signal(SIGKILL);
  (void)station.Wait(10);
  ASSERT_GE(seen, 3) << "the run never got as far as three finished ports";
  const int ended = std::atoi(server->Psql(finished).c_str());
  ASSERT_LT(ended, 16) << "killed before the end";
  EXPECT_EQ(
      server->Psql("SELECT COUNT(*), COUNT(DISTINCT serial), COUNT(DISTINCT id) FROM records"),
      "16|16|16\n");
  Output sync = RunCli(ledger + "ledger sync");
  EXPECT_EQ(sync.status, 0) << sync.text;
  EXPECT_NE(sync.text.find("marked " + std::to_string(16 - ended) + " record"), std::string::npos)
      << sync.text;
  EXPECT_EQ(server->Psql("SELECT COUNT(*) FROM records WHERE status = 'aborted'"),
            std::to_string(16 - ended) + "\n");
  EXPECT_EQ(RunCli(ledger + "ledger sync").text.find("aborted"), std::string::npos)
      << "marked once";
}

}  // namespace
}  // namespace qelvar::ledger
