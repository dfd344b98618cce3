// Host-side cost of one 4 KiB download chunk through the vendor command, the
// dispatch rule and the transport, on a fake device. The controller pauses
// 10-50 ms after every chunk, so this must stay in the microseconds.
#include <benchmark/benchmark.h>

#include <vector>

#include "support/fake_device_io.h"
#include "support/no_pause_clock.h"
#include "vendor/vendor_commands.h"

namespace {

using namespace qelvar;

using testing::NoPauseClock;

void OneChunk(benchmark::State& state, int32_t interfaceType) {
  NoPauseClock clock;
  testing::FakeDeviceIo io(&clock);
  io.SetScript([](const testing::FakeRequest&) {
    testing::FakeAnswer a;
    a.returned = {0, 0, 0, 0, 0, 0xE0, 0x50, 0};
    return a;
  });
  transport::PassThroughTransport transport(io, clock);
  vendor::VendorCommands vendor(transport);
  std::vector<uint8_t> image(vendor::kSysFwImageSize, 0x5A);
  vendor::PortTarget port{"/dev/sdb", interfaceType};
  size_t n = 0;
  for (auto _ : state) {
    int ok = vendor.DownloadSystemFirmware(port, image, 4096, vendor::kModeSaveImmediate);
    benchmark::DoNotOptimize(ok);
    if (++n % 4096 == 0) io.Clear();  // the fake keeps every request; keep memory flat
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

void BM_DownloadChunkSatPath(benchmark::State& state) { OneChunk(state, 1); }
void BM_DownloadChunkAtaPath(benchmark::State& state) { OneChunk(state, 3); }

BENCHMARK(BM_DownloadChunkSatPath);
BENCHMARK(BM_DownloadChunkAtaPath);

}  // namespace

BENCHMARK_MAIN();
