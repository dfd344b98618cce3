// Host-side cost of a full device scan of 16 drives: discovery, numbering,
// descriptor checks, IDENTIFY through the transport and the 16 rows. The
// drives answer at once (fake device), so only the station's own work is
// measured; the target is well under 5 ms. The Linux topology's own cost is
// measured separately on a 16-drive sysfs-shaped tree.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "discovery/device_scan.h"
#include "discovery/fake_topology.h"
#include "discovery/port_candidates.h"
#include "platform/linux/sysfs_topology.h"
#include "platform/linux/sysfs_tree.h"
#include "platform/sim/sim_station.h"
#include "support/fake_device_io.h"
#include "support/no_pause_clock.h"

namespace {

using namespace qelvar;

using testing::NoPauseClock;

void FullScanOf16Drives(benchmark::State& state) {
  NoPauseClock clock;
  testing::FakeDeviceIo io(&clock);
  std::vector<uint8_t> identify(512, ' ');
  identify[120] = 0xB0;
  identify[121] = 0xC2;
  identify[122] = 0xE7;
  identify[123] = 0x0E;
  io.SetScript([&](const testing::FakeRequest&) {
    testing::FakeAnswer a;
    a.dataIn = identify;
    return a;
  });
  transport::PassThroughTransport transport(io, clock);
  testing::FakeTopology topology;
  for (uint32_t d = 0; d < 16; ++d) {
    topology.Plug("usb\\hub-" + std::to_string(d / 8), static_cast<int>(d % 8) + 1, d);
  }
  discovery::PortState ports;
  discovery::PortListModel list;
  for (auto _ : state) {
    discovery::ScanDevices(ports, list, topology, io, transport);
    io.Clear();  // keep the fake's request log from growing
  }
  if (list.Cell(15, discovery::kColStatus) != "Ready") state.SkipWithError("port 16 not listed");
}
BENCHMARK(FullScanOf16Drives)->Unit(benchmark::kMicrosecond);

// The same scan on the simulated station's 16 drives, which also walk their
// own topology and answer IDENTIFY from their state machines.
void FullScanOfSimulatedStation(benchmark::State& state) {
  NoPauseClock clock;
  auto sim = platform::sim::SimStation::Default(clock);
  transport::PassThroughTransport transport(*sim, clock);
  discovery::PortState ports;
  discovery::PortListModel list;
  for (auto _ : state) discovery::ScanDevices(ports, list, *sim, *sim, transport);
  if (list.Cell(15, discovery::kColStatus) != "Ready") state.SkipWithError("port 16 not listed");
}
BENCHMARK(FullScanOfSimulatedStation)->Unit(benchmark::kMicrosecond);

void SysfsTopologyOf16Drives(benchmark::State& state) {
  testing::SysfsTree tree;
  auto usb1 = tree.RootHub("pci0000:00/0000:00:05.0", 1, 2);
  for (int h = 1; h <= 2; ++h) {
    auto hub = tree.UsbDevice(usb1, 1, std::to_string(h), "09", 8, 1 + h);
    for (int p = 1; p <= 8; ++p) {
      int n = (h - 1) * 8 + p - 1;
      auto bridge =
          tree.UsbDevice(hub, 1, std::to_string(h) + "." + std::to_string(p), "00", 0, 10 + n);
      std::string name = "sd";
      name += static_cast<char>('a' + n);
      tree.Disk(tree.Interface(bridge, "usb-storage"), n, name);
    }
  }
  platform::linux_backend::SysfsTopology topology(tree.Root());
  std::array<discovery::PortCandidate, 24> out;
  for (auto _ : state) {
    size_t n = discovery::DiscoverPortCandidates(topology, out);
    if (n != 16) state.SkipWithError("not 16 candidates");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(SysfsTopologyOf16Drives)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
