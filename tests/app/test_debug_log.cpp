// The debug log: lines from many threads, one file replaced in one piece.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "app/debug_log.h"
#include "support/temp_folder.h"

namespace qelvar::app {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DebugLog, LinesFromManyThreadsAllReachTheFileWhole) {
  const qelvar::testing::TempFolder folder("log");
  const fs::path path = folder.path() / "threads";
  std::string error;
  {
    auto log = DebugLogFile::Open(path.string(), &error);
    ASSERT_TRUE(log) << error;
    EXPECT_TRUE(fs::exists(path)) << "created at once";
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&, t] {
        for (int n = 0; n < 200; ++n) {
          log->Line(t % 2 ? "scan" : "format",
                    "thread " + std::to_string(t) + " line " + std::to_string(n) + "\n");
        }
      });
    }
    for (std::thread& w : writers) w.join();
  }
  const std::string text = ReadAll(path);
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    // "HH:MM:SS.mmm [scan] thread 1 line 7": one source, one text, no line
    // torn by another thread and no empty line from the caller's newline.
    ASSERT_GT(line.size(), 13u) << line;
    EXPECT_EQ(line[2], ':') << line;
    EXPECT_TRUE(line.find(" [scan] thread ") == 12 || line.find(" [format] thread ") == 12) << line;
  }
  EXPECT_EQ(count, 800);
}

TEST(DebugLog, LinesReachTheFileWhileTheProgramRuns) {
  const qelvar::testing::TempFolder folder("log");
  const fs::path path = folder.path() / "running";
  std::string error;
  auto log = DebugLogFile::Open(path.string(), &error);
  ASSERT_TRUE(log) << error;
  log->Line("scan", "port 3: no drive");
  // Within a moment, not only when the log is closed: a crash keeps it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadAll(path).find("[scan] port 3: no drive\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(ReadAll(path).find("[scan] port 3: no drive\n"), std::string::npos);
  log.reset();
}

TEST(DebugLog, AFileThatCannotBeWrittenIsRefusedAtOnce) {
  std::string error;
  EXPECT_FALSE(DebugLogFile::Open("/nonexistent-folder/debug.log", &error));
  EXPECT_NE(error.find("/nonexistent-folder/debug.log"), std::string::npos) << error;
}

}  // namespace
}  // namespace qelvar::app
