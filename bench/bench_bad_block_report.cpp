// How fast the report of the largest bad-block table a drive can send is
// built: a 32,672-byte bitmap walked with 64 units a block (2 channels, 4 CEs,
// 2 LUNs, 4 planes), 261,376 rows. The target is at least 300 MB/s of report
// text; after the benchmark proper a plain timed run prints the figure and
// fails when it is below the target.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/bad_block_table.h"

namespace {

using qelvar::engine::NandReport;

std::vector<uint8_t> MaximalTable() {
  std::vector<uint8_t> block(qelvar::engine::kBadBlockTableBytes, 0);
  const char head[] = "FCT_DATA";
  std::copy(head, head + 8, block.begin());
  const int32_t length = qelvar::engine::kMaxBitmapBytes;
  for (size_t i = 0; i < 4; ++i) block[92 + i] = static_cast<uint8_t>(length >> (8 * i));
  // About one unit in 30 bad, scattered.
  std::mt19937 random(7);
  for (size_t i = 96; i < block.size(); ++i) {
    uint8_t byte = 0;
    for (int bit = 0; bit < 8; ++bit) {
      if (random() % 30 == 0) byte = static_cast<uint8_t>(byte | (1u << bit));
    }
    block[i] = byte;
  }
  return block;
}

NandReport MaximalGeometry() {
  NandReport r;
  r.chCount = 2;
  r.ceCount = 4;
  r.lunCount = 2;
  r.planeCount = 4;
  for (auto& id : r.flashId) id[0] = 0x2C;  // 8 present: the walk takes ceCount
  return r;
}

void BM_MaximalBadBlockReport(benchmark::State& state) {
  const std::vector<uint8_t> block = MaximalTable();
  int64_t bytes = 0;
  for (auto _ : state) {
    NandReport record = MaximalGeometry();
    auto report = qelvar::engine::DecodeBadBlockTable(block, record);
    bytes += static_cast<int64_t>(report.text.size());
    benchmark::DoNotOptimize(report.text.data());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_MaximalBadBlockReport)->Unit(benchmark::kMillisecond);

// Best of 20 builds, in decimal megabytes of report text per second.
double MeasureMegabytesPerSecond(size_t* textBytes) {
  const std::vector<uint8_t> block = MaximalTable();
  double best = 0;
  for (int i = 0; i < 20; ++i) {
    NandReport record = MaximalGeometry();
    const auto start = std::chrono::steady_clock::now();
    auto report = qelvar::engine::DecodeBadBlockTable(block, record);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    *textBytes = report.text.size();
    best = std::max(best, static_cast<double>(report.text.size()) / 1e6 / took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  size_t textBytes = 0;
  const double rate = MeasureMegabytesPerSecond(&textBytes);
  std::printf("maximal bad-block report: %zu bytes of text, %.0f MB/s (target 300 MB/s)\n",
              textBytes, rate);
  return rate >= 300.0 ? 0 : 1;
}
