// The scan's probe of one port's bridge, in-process on the simulated station:
// IDENTIFY in both forms, CHECK POWER MODE with CK_COND and the vital product
// data pages, through the transport, for each kind of bridge. The goal is far
// below 20 ms per port; the difference between a scan with and without the
// probe is in bench_device_scan (FullScanOfSimulatedStation).
#include <benchmark/benchmark.h>

#include <string>

#include "discovery/bridge_probe.h"
#include "platform/sim/sim_station.h"
#include "platform/sim/station_config.h"

namespace {

using namespace qelvar;

constexpr const char* kBridges[] = {
    "sat",         "sat16-only",         "sat12-only",     "no-ck-cond-sense",
    "fixed-sense", "max-transfer=16384", "no-pass-through"};

void ProbeOnePort(benchmark::State& state) {
  const char* bridge = kBridges[state.range(0)];
  platform::VirtualClock clock;
  platform::sim::StationConfig config;
  std::string why;
  if (!platform::sim::ParseStation(std::string("[Drive0]\nBridge = ") + bridge + "\n", "", &config,
                                   &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  platform::sim::SimStation sim(std::move(config), clock);
  transport::PassThroughTransport transport(sim, clock);
  const std::string path = sim.PathOf(0);
  for (auto _ : state) {
    discovery::ProbeResult r = discovery::ProbeBridge(transport, path);
    benchmark::DoNotOptimize(r);
  }
  state.SetLabel(bridge);
}
BENCHMARK(ProbeOnePort)->DenseRange(0, 6)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
