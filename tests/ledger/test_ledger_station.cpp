// A station's own ledger as qelvar-cli keeps it: one whole record per started
// port, the history and yield commands, and records that survive a killed
// program.
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
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "engine/ledger_link.h"
#include "ledger/record_format.h"
#include "ledger/sqlite_ledger.h"
#include "ledger_fixture.h"
#include "settings/station_paths.h"

namespace qelvar::ledger {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

struct Output {
  int status = -1;
  std::string text;
};

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(fs::path(QELVAR_SOURCE_DIR) / "examples" / "station", dir.path() / "st",
             fs::copy_options::recursive);
  }
  std::string Dir() const { return (dir.path() / "st").string(); }

  Output Cli(const std::string& args) {
    Output out;
    std::string command = std::string(QELVAR_CLI) + " --dir " + Dir() + " " + args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.text.append(buffer, n);
    int raw = ::pclose(pipe);
    out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
  }

  std::vector<Record> Records() {
    std::string error;
    auto store = SqliteLedger::Open(Dir() + "/" + kSqliteFileName, &error);
    EXPECT_TRUE(store) << error;
    std::vector<Record> records;
    if (store) {
      EXPECT_TRUE(store->History({}, &records, &error)) << error;
    }
    return records;
  }

  TempDir dir{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(Station, EveryStartedPortLeavesOneWholeRecord) {
  std::ofstream(Dir() + "/faults.ini")
      << "[Station]\nHubs=1\n[Drive0]\n[Drive1]\nFail=RebootDrive\n[Drive2]\n";
  Output run = Cli("--sim " + Dir() + "/faults.ini --virtual-time run");
  ASSERT_EQ(run.status, 1) << run.text;
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 3u);
  std::sort(records.begin(), records.end(),
            [](const Record& a, const Record& b) { return a.port < b.port; });
  const Record& failed = records[1];
  EXPECT_EQ(failed.port, 1);
  EXPECT_EQ(failed.failCode, 16);
  EXPECT_EQ(failed.status, "REBOOT FAIL");
  EXPECT_EQ(failed.capacityMb, kNoCapacity);
  for (const Record& r : records) {
    EXPECT_EQ(r.id.size(), 36u);
    EXPECT_EQ(r.runId, records[0].runId) << "one Start, one run ID";
    EXPECT_FALSE(r.station.empty()) << "the host name by default";
    EXPECT_FALSE(r.serial.empty());
    EXPECT_LE(r.startedAtMs, r.endedAtMs);
    EXPECT_EQ(r.burnerSha256.size(), 64u);
    EXPECT_EQ(r.sysFwSha256.size(), 64u) << "sent before the reboot";
    EXPECT_EQ(r.settingsSha256.size(), 64u);
    EXPECT_FALSE(r.flashPart.empty());
    EXPECT_EQ(r.programVersion, ProgramVersion());
    EXPECT_FALSE(r.mpVersion.empty());
  }
  EXPECT_EQ(records[0].status, "Pass");
  EXPECT_GT(records[0].capacityMb, 0);
  EXPECT_NE(records[0].sysFwSha256, records[2].sysFwSha256)
      << "the system firmware is patched per drive (its serial)";
  EXPECT_EQ(records[0].burnerSha256, records[2].burnerSha256);
}

TEST_F(Station, HistoryWrittenAsItIsReadIsTheWholeListingInEveryFormat) {
  ASSERT_EQ(Cli("--sim --virtual-time run").status, 0);
  const std::vector<Record> all = Records();
  ASSERT_EQ(all.size(), 16u);
  const std::vector<Record> newest(all.begin(), all.begin() + 3);
  struct Case {
    const char* args;
    std::string expected;
  };
  const Case cases[] = {
      {"history", RecordsTable(all)},
      {"history --csv", RecordsCsv(all)},
      {"history --json", RecordsJson(all)},
      {"history --limit 3 --csv", RecordsCsv(newest)},
      {"history --limit 3 --json", RecordsJson(newest)},
      {"history --until 2000-01-01", RecordsTable({})},
      {"history --until 2000-01-01 --json", RecordsJson({})},
      {"history --until 2000-01-01 --jsonl", ""},
  };
  for (const Case& c : cases) {
    Output out = Cli(c.args);
    EXPECT_EQ(out.status, 0) << c.args;
    EXPECT_EQ(out.text, c.expected) << c.args;
  }

  // JSON Lines: each line is one element of the JSON array, whole.
  const std::string json = RecordsJson(all);
  std::string array = json.substr(json.find('\n') + 1);
  array.resize(array.size() - 4);  // "\n]}\n"
  std::string lines;
  for (size_t at = 0; at <= array.size();) {
    size_t end = array.find(",\n{", at);
    if (end == std::string::npos) end = array.size();
    lines += array.substr(at, end - at) + "\n";
    at = end + 2;
  }
  Output jsonl = Cli("history --jsonl");
  EXPECT_EQ(jsonl.status, 0);
  EXPECT_EQ(jsonl.text, lines);
  EXPECT_EQ(std::count(jsonl.text.begin(), jsonl.text.end(), '\n'), 16);

  for (const char* wrong : {"history --limit 0", "history --limit -3", "history --limit many",
                            "history --until", "history --until noon", "history --json --jsonl",
                            "history --jsonl --csv", "yield --jsonl"}) {
    EXPECT_EQ(Cli(wrong).status, 2) << wrong;
  }
}

TEST_F(Station, HistoryAndYieldAnswerFromTheLedger) {
  ASSERT_EQ(Cli("--sim --virtual-time run").status, 0);
  Output json = Cli("history --serial QV5100000A05 --json");
  ASSERT_EQ(json.status, 0) << json.text;
  EXPECT_EQ(json.text.rfind("{\"records\":[\n{\"id\":\"", 0), 0u) << json.text;
  EXPECT_NE(json.text.find("\"serial\":\"QV5100000A05\""), std::string::npos);
  EXPECT_EQ(json.text.find("QV5100000A06"), std::string::npos);

  Output csv = Cli("history --csv");
  EXPECT_EQ(std::count(csv.text.begin(), csv.text.end(), '\n'), 17) << csv.text;
  EXPECT_EQ(Cli("history --failed --json").text, "{\"records\":[]}\n");

  Output yield = Cli("yield --by station --json --html " + Dir() + "/yield.html");
  ASSERT_EQ(yield.status, 0) << yield.text;
  EXPECT_NE(yield.text.find("\"passed\":16,\"failed\":0"), std::string::npos) << yield.text;
  std::ifstream html(Dir() + "/yield.html");
  std::stringstream page;
  page << html.rdbuf();
  EXPECT_NE(page.str().find("<svg id=\"yield-per-day\""), std::string::npos);

  EXPECT_EQ(Cli("history --since yesterday").status, 2);
  EXPECT_EQ(Cli("yield --by week").status, 2);
  Output migrate = Cli("ledger migrate");
  EXPECT_EQ(migrate.text, "ledger schema version " + std::to_string(kSchemaVersion) + "\n");
}

// Marks a file or folder immutable, which even root cannot write; undone
// when the test ends, so the folder can be removed.
class Immutable {
 public:
  explicit Immutable(std::string path) : path_(std::move(path)) {
    set_ = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0;
  }
  ~Immutable() {
    if (set_) (void)std::system(("chattr -i '" + path_ + "'").c_str());
  }
  [[nodiscard]] bool set() const { return set_; }

 private:
  std::string path_;
  bool set_ = false;
};

// A tmpfs mounted over a folder, unmounted when the test ends.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, const std::string& size) : folder_(folder) {
    mounted_ =
        std::system(
            ("mount -t tmpfs -o size=" + size + " tmpfs '" + folder + "' 2>/dev/null").c_str()) ==
        0;
  }
  ~SmallDisk() {
    if (mounted_) (void)std::system(("umount -l '" + folder_ + "'").c_str());
  }
  [[nodiscard]] bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Overwrites `count` pages of `path` from page `first` (1-based, 4 KiB) with
// bytes no SQLite page holds.
void Garble(const std::string& path, int first, int count) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file);
  std::string garbage(4096, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(0x5A ^ (i * 37));
  for (int page = first; page < first + count; ++page) {
    file.seekp(static_cast<std::streamoff>(page - 1) * 4096);
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  ASSERT_TRUE(file.flush());
}

// A ledger of `count` records, all in the main file (no log beside it).
void MakeLedger(const std::string& path, int count) {
  std::string error;
  auto store = SqliteLedger::Open(path, &error);
  ASSERT_TRUE(store) << error;
  std::vector<Record> records;
  for (int i = 0; i < count; ++i) {
    records.push_back(testing::SampleRecord("QV" + std::to_string(100000 + i), i % 7 ? 0 : 16,
                                            testing::kDecember1 + i * 1000));
  }
  ASSERT_TRUE(store->AppendMany(records, &error)) << error;
  store.reset();
  auto plain = SqliteLedger::Open(path, &error);  // closes with the log folded in
  ASSERT_TRUE(plain) << error;
}

std::string SettingsSn(const std::string& dir) {
  std::ifstream in(dir + "/speedQelvar.ini", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("SN=", 0) == 0) return line;
  }
  return {};
}

// Every store a Start cannot record in refuses it before any drive is
// touched and before a serial is handed out; the operator is told the file
// and the fix.
TEST_F(Station, AStoreThatCannotRecordRefusesTheStartBeforeAnyDrive) {
  struct Case {
    const char* name;
    // Breaks the station folder; false when this machine cannot (not root).
    std::function<bool(const std::string&, std::vector<std::shared_ptr<void>>&)> breakIt;
    bool namesFile;    // the refusal names the ledger file (else the folder)
    const char* says;  // and says what to do
  };
  const std::string file = std::string("/") + kSqliteFileName;
  const std::vector<Case> cases = {
      {"a folder where the file belongs",
       [&](const std::string& d, auto&) { return fs::create_directories(d + file); }, true,
       "cannot be opened"},
      {"a read-only file",
       [&](const std::string& d, auto& keep) {
         MakeLedger(d + file, 3);
         auto lock = std::make_shared<Immutable>(d + file);
         keep.push_back(lock);
         return lock->set();
       },
       true, "writable"},
      {"a read-only folder",
       [&](const std::string& d, auto& keep) {
         auto lock = std::make_shared<Immutable>(d);
         keep.push_back(lock);
         return lock->set();
       },
       false, "give the user write access"},
      {"a corrupt file",
       [&](const std::string& d, auto&) {
         MakeLedger(d + file, 2000);
         Garble(d + file, 20, 8);
         return true;
       },
       true, "ledger recover"},
      {"a file whose first page is garbage",
       [&](const std::string& d, auto&) {
         MakeLedger(d + file, 10);
         Garble(d + file, 1, 1);
         return true;
       },
       true, "ledger recover"},
      {"an all but full disk",
       [&](const std::string& d, auto& keep) {
         const std::string saved = dir.str() + "/saved";
         fs::rename(d, saved);
         fs::create_directories(d);
         auto disk = std::make_shared<SmallDisk>(d, "3m");
         keep.push_back(disk);
         fs::copy(saved, d, fs::copy_options::recursive);
         return disk->mounted();
       },
       false, "MiB are needed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove_all(Dir(), ec);
    fs::remove_all(dir.str() + "/saved", ec);
    SetUp();
    const std::string snBefore = SettingsSn(Dir());
    std::vector<std::shared_ptr<void>> keep;
    if (!c.breakIt(Dir(), keep)) {
      std::printf("skipped: %s needs root\n", c.name);
      continue;
    }
    Output run = Cli("--sim --virtual-time run");
    EXPECT_EQ(run.status, 2) << run.text;
    EXPECT_NE(run.text.find(c.namesFile ? Dir() + file : Dir()), std::string::npos) << run.text;
    EXPECT_NE(run.text.find(c.says), std::string::npos) << run.text;
    EXPECT_EQ(run.text.find("Entering ROM"), std::string::npos) << run.text;
    EXPECT_EQ(run.text.find("Pass: 16"), std::string::npos) << run.text;
    EXPECT_EQ(SettingsSn(Dir()), snBefore) << "no serial handed out";
    keep.clear();
  }
}

// A damaged ledger is found, and recovered into a fresh file with every
// record that can still be read, whole; the old file is kept aside, and the
// station records again.
TEST_F(Station, ADamagedLedgerIsFoundAndItsReadableRecordsRecovered) {
  const std::string path = Dir() + "/" + kSqliteFileName;
  constexpr int kRecords = 3000;
  MakeLedger(path, kRecords);
  std::map<std::string, Record> before;
  {
    std::string error;
    auto store = SqliteLedger::Open(path, &error);
    ASSERT_TRUE(store) << error;
    std::vector<Record> all;
    ASSERT_TRUE(store->History({}, &all, &error)) << error;
    for (Record& r : all) before[r.id] = std::move(r);
  }
  Output sound = Cli("ledger check");
  EXPECT_EQ(sound.status, 0) << sound.text;
  EXPECT_EQ(sound.text, path + ": ok\n");

  Garble(path, 60, 6);
  Output check = Cli("ledger check");
  EXPECT_EQ(check.status, 1) << check.text;
  EXPECT_NE(check.text.find(path + " is damaged:"), std::string::npos) << check.text;
  EXPECT_NE(check.text.find("ledger recover"), std::string::npos) << check.text;

  Output recover = Cli("ledger recover");
  ASSERT_EQ(recover.status, 0) << recover.text;
  EXPECT_NE(recover.text.find("the old file is kept as " + path + ".corrupt-"), std::string::npos)
      << recover.text;
  size_t aside = 0;
  for (const auto& entry : fs::directory_iterator(Dir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ledger.sqlite.corrupt-", 0) == 0 && name.find("-wal") == std::string::npos &&
        name.find("-shm") == std::string::npos) {
      ++aside;
    }
  }
  EXPECT_EQ(aside, 1u);
  EXPECT_FALSE(fs::exists(path + ".recovering"));
  EXPECT_EQ(Cli("ledger check").status, 0);

  std::vector<Record> after = Records();
  EXPECT_NE(recover.text.find("recovered " + std::to_string(after.size()) + " records"),
            std::string::npos)
      << recover.text;
  EXPECT_LT(after.size(), before.size()) << "six pages of records are gone";
  EXPECT_GT(after.size(), before.size() * 9 / 10) << "only the records around them";
  for (const Record& r : after) {
    auto it = before.find(r.id);
    ASSERT_NE(it, before.end()) << r.id;
    EXPECT_EQ(r.serial, it->second.serial);
    EXPECT_EQ(r.status, it->second.status);
    EXPECT_EQ(r.settingsSha256, it->second.settingsSha256);
  }
  Output run = Cli("--sim --virtual-time run");
  EXPECT_EQ(run.status, 0) << run.text;
  EXPECT_EQ(Records().size(), after.size() + 16);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The disk fills up during a Start: while the drives come back from ROM
// mode, the next serial cannot be saved and the Start is refused before a
// port runs; once the ports run, each keeps its own result, and the program
// lists the results it could not store and exits 3.
TEST_F(Station, ADiskThatFillsDuringTheRunLosesNoResultUnsaid) {
  struct Case {
    const char* name;
    const char* fillAfter;  // a text in the output, or in the settings file ("SN=")
    int status;
  };
  const Case cases[] = {{"during the wait after ROM entry", "Waiting 8 s", 2},
                        {"once the ports run", "SN=QV5100000A10", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove_all(Dir(), ec);
    fs::remove_all(dir.str() + "/saved", ec);
    SetUp();
    const std::string saved = dir.str() + "/saved";
    fs::rename(Dir(), saved);
    fs::create_directories(Dir());
    SmallDisk disk(Dir(), "6m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    fs::copy(saved, Dir(), fs::copy_options::recursive);
    const std::string out = dir.str() + "/out.txt";
    const std::string command = std::string(QELVAR_CLI) + " --dir " + Dir() +
                                " --sim --time-scale 0.1 run > " + out + " 2>&1";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const std::string watched =
        std::string(c.fillAfter).rfind("SN=", 0) == 0 ? Dir() + "/speedQelvar.ini" : out;
    for (int i = 0; i < 2000 && ReadAll(watched).find(c.fillAfter) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {  // to the last byte
      std::ofstream fill(Dir() + "/fill", std::ios::binary);
      const std::string block(64 * 1024, 'f');
      while (fill.write(block.data(), static_cast<std::streamsize>(block.size()))) {
      }
      fill.clear();
      while (fill.put('f') && fill.flush()) {
      }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string text = ReadAll(out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status) << text;
    size_t stored = 0;  // the ports' ends; their started records went in before
    for (const Record& r : Records()) stored += r.status != kStartedStatus ? 1 : 0;
    if (c.status == 2) {
      EXPECT_NE(text.find("could not be saved to " + Dir() + "/speedQelvar.ini"), std::string::npos)
          << text;
      EXPECT_NE(text.find("Sum: 0  Pass: 0  Fail: 0"), std::string::npos) << text;
      EXPECT_EQ(stored, 0u);
    } else {
      ASSERT_LT(stored, 16u) << "the disk filled before the ports ended: " << text;
      EXPECT_NE(text.find("Pass: 16"), std::string::npos) << "the ports' own results stand";
      EXPECT_NE(text.find(std::to_string(16 - stored) + " results of this run are not stored"),
                std::string::npos)
          << text;
      EXPECT_NE(text.find("  port 16, serial QV5100000A0F: "), std::string::npos) << text;
    }
  }
}

// Stores every record but those of one serial.
class RefusingLedger final : public Ledger {
 public:
  bool Append(const Record& record, std::string* error) override {
    if (record.serial == "BAD") {
      *error = "disk I/O error";
      return false;
    }
    return true;
  }
  bool HistoryEach(const HistoryQuery&, const RecordSink&, std::string*) override { return true; }
  bool Yield(const YieldQuery&, YieldReport*, std::string*) override { return true; }
  bool TakeSerials(std::string_view, std::string_view, int, std::string_view, const SerialAdvance&,
                   std::vector<std::string>*, std::string*) override {
    return false;
  }
  bool Sync(size_t*, std::string*) override { return true; }
  int SchemaVersion() const override { return kSchemaVersion; }
  bool Shared() const override { return false; }
};

engine::PortResult Finished(int port, const std::string& serial) {
  engine::PortResult result;
  result.port = port;
  result.serial = serial;
  result.statusText = "Pass";
  return result;
}

// The link knows each finished port whose record is not stored, and why; a
// link whose ledger could not be opened refuses the Start and stores none.
TEST_F(Station, TheLinkNamesEveryResultNotStored) {
  const settings::StationPaths paths = settings::MakeStationPaths(Dir());
  engine::LedgerLink link(std::make_unique<RefusingLedger>(), {}, paths, [](const std::string&) {});
  link.PortFinished(Finished(0, "GOOD1   "));
  link.PortFinished(Finished(1, "BAD                 "));
  link.PortFinished(Finished(2, "GOOD2"));
  ASSERT_TRUE(link.Flush(10'000));
  std::vector<engine::UnstoredRecord> unstored = link.UnstoredRecords();
  ASSERT_EQ(unstored.size(), 1u);
  EXPECT_EQ(unstored[0].port, 2);
  EXPECT_EQ(unstored[0].serial, "BAD");
  EXPECT_EQ(unstored[0].why, "disk I/O error");

  auto unopened = engine::LedgerLink::Unopened({}, paths, "unable to open database file");
  const std::vector<std::string> problems = unopened->StartProblems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find(Dir() + "/" + kSqliteFileName + " cannot be opened (unable to open"),
            std::string::npos)
      << problems[0];
  EXPECT_FALSE(unopened->Active());
  unopened->PortFinished(Finished(4, "QV4"));
  unstored = unopened->UnstoredRecords();
  ASSERT_EQ(unstored.size(), 1u);
  EXPECT_EQ(unstored[0].port, 5);
  EXPECT_EQ(unstored[0].why, "no ledger is open");
}

// The free space a Start needs, as the file system reports it.
TEST_F(Station, AStartNeedsFourMebibytesFreeForItsRecords) {
  const settings::StationPaths paths = settings::MakeStationPaths(Dir());
  std::string error;
  auto store = SqliteLedger::Open(Dir() + "/" + kSqliteFileName, &error);
  ASSERT_TRUE(store) << error;
  engine::LedgerLink link(std::move(store), {}, paths, nullptr);
  const struct {
    uint64_t free;
    bool refused;
  } cases[] = {{0, true},
               {engine::LedgerLink::kMinFreeBytes - 1, true},
               {engine::LedgerLink::kMinFreeBytes, false},
               {uint64_t{1} << 40, false}};
  for (const auto& c : cases) {
    link.SetFreeSpaceProbe([&](const std::string& folder) -> std::optional<uint64_t> {
      EXPECT_EQ(folder, Dir());
      return c.free;
    });
    const std::vector<std::string> problems = link.StartProblems();
    EXPECT_EQ(problems.size(), c.refused ? 1u : 0u) << c.free;
    if (c.refused && !problems.empty()) {
      EXPECT_NE(problems[0].find(std::to_string(c.free / 1024) + " KiB free"), std::string::npos)
          << problems[0];
    }
  }
  link.SetFreeSpaceProbe([](const std::string&) { return std::nullopt; });
  EXPECT_TRUE(link.StartProblems().empty()) << "a file system that cannot tell refuses nothing";
}

// A Start marks aborted what an earlier run left started, and each port's
// end completes the record its start made.
TEST_F(Station, AStartAccountsForEveryPortItStarts) {
  const settings::StationPaths paths = settings::MakeStationPaths(Dir());
  std::string error;
  auto store = SqliteLedger::Open(Dir() + "/" + kSqliteFileName, &error);
  ASSERT_TRUE(store) << error;
  Record left = testing::SampleRecord("QV1", kUnfinishedFailCode, testing::kDecember1, "st-1");
  left.status = kStartedStatus;
  ASSERT_TRUE(store->Append(left, &error)) << error;
  engine::LedgerConfig config;
  config.station = "st-1";
  engine::LedgerLink link(std::move(store), config, paths, nullptr);

  const std::string run = link.BeginRun();
  engine::PortStart start;
  start.port = 2;
  start.runId = run;
  start.serial = "QV2                 ";
  link.PortStarted(start);
  ASSERT_TRUE(link.Flush(10'000));
  auto statusOf = [&](const std::string& serial) {
    HistoryQuery q;
    q.serial = serial;
    std::vector<Record> found;
    EXPECT_TRUE(link.ledger().History(q, &found, &error)) << error;
    return found.size() == 1 ? found[0].status : std::to_string(found.size()) + " records";
  };
  EXPECT_EQ(statusOf("QV1"), kAbortedStatus);
  EXPECT_EQ(statusOf("QV2"), kStartedStatus);

  engine::PortResult end = Finished(2, "QV2");
  end.runId = run;
  link.PortFinished(std::move(end));
  ASSERT_TRUE(link.Flush(10'000));
  EXPECT_EQ(statusOf("QV2"), "Pass") << "one record, completed";
  EXPECT_TRUE(link.UnstoredRecords().empty());
}

// Every serial handed out is accounted for: a killed station keeps the
// records of its finished ports, and its other started ports are marked
// aborted at the next sync (or Start).
TEST_F(Station, AKilledStationKeepsTheRecordsOfItsFinishedPorts) {
  const std::string command =
      std::string(QELVAR_CLI) + " --dir " + Dir() + " --sim --time-scale 0.1 run > /dev/null 2>&1";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto finished = [](const std::vector<Record>& records) {
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const Record& r) {
      return r.status != kStartedStatus && r.status != kAbortedStatus;
    }));
  };
  // Kill it once some ports have finished, before all have.
  const std::string path = Dir() + "/" + kSqliteFileName;
  size_t seen = 0;
  for (int i = 0; i < 600 && seen < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!fs::exists(path)) continue;
    std::string error;
    auto store = SqliteLedger::Open(path, &error);
    std::vector<Record> records;
    if (store && store->History({}, &records, &error)) seen = finished(records);
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_GE(seen, 3u) << "the run never got as far as three finished ports";
  std::vector<Record> records = Records();
  const size_t ended = finished(records);
  EXPECT_GE(ended, seen) << "a record once written stays";
  EXPECT_LT(ended, 16u) << "killed before the end";
  ASSERT_EQ(records.size(), 16u) << "one record for each serial handed out";
  std::set<std::string> serials;
  for (const Record& r : records) {
    serials.insert(r.serial);
    EXPECT_EQ(r.id.size(), 36u);
    EXPECT_TRUE(r.status == "Pass" || r.status == kStartedStatus) << r.status;
    EXPECT_EQ(r.settingsSha256.size(), 64u);
    EXPECT_EQ(r.programVersion, ProgramVersion());
  }
  EXPECT_EQ(serials.size(), 16u);

  Output sync = Cli("ledger sync");
  EXPECT_EQ(sync.status, 0) << sync.text;
  EXPECT_NE(sync.text.find("marked " + std::to_string(16 - ended) + " records aborted"),
            std::string::npos)
      << sync.text;
  Output aborted = Cli("history --aborted --csv");
  EXPECT_EQ(std::count(aborted.text.begin(), aborted.text.end(), '\n'),
            static_cast<std::ptrdiff_t>(16 - ended + 1))
      << aborted.text;
  Output yield = Cli("yield --json");
  EXPECT_NE(yield.text.find("\"passed\":" + std::to_string(ended) + ",\"failed\":0"),
            std::string::npos)
      << "aborted ports are neither passed nor failed: " << yield.text;
  EXPECT_EQ(Cli("ledger sync").text.find("aborted"), std::string::npos) << "marked once";
}

}  // namespace
}  // namespace qelvar::ledger
