// Host CPU time of one drive's whole MP flow on the simulated station, with
// the largest bad-block tables (L = 32,672 bytes, 64 units per block) and
// their reports written. The design's pauses for one drive add up to more
// than 40 s; the host's own work must stay below 0.5% of that (100 ms).
#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "engine/run_control.h"
#include "platform/sim/sim_station.h"
#include "platform/sim/station_config.h"

namespace {

using namespace qelvar;

class Events final : public engine::RunEvents {
 public:
  void PostWorkerDone() override { posted.fetch_add(1); }
  std::atomic<int> posted{0};
};

class Page final : public engine::RunPage, public settings::MessageSink {
 public:
  void EnableRunButtons(bool) override {}
  void SetTimeText(std::string_view) override {}
  void SetSnEditText(std::string_view) override {}
  bool FormatChecked() override { return false; }
  settings::MessageSink& Messages() override { return *this; }
  void Show(std::string_view, std::string_view, settings::MessageIcon) override {}
};

const char* kStation =
    "[Station]\nHubs=1\n"
    "[Drive0]\nChannels=2\nCEs=4\nLuns=2\nPlanes=4\nCEPresent=8\nBitmapBytes=32672\n"
    "FactoryBad=400\nRuntimeBad=400\nRdtEntries=2000\n";

settings::MpSettings Options(const std::string& firmware) {
  settings::MpSettings s;
  s.DownloadBurner = s.DownloadSysFW = s.NandErase = s.NandCalibration = 1;
  s.NandEraseSelect = 1;
  s.DelayBurner = 21;
  s.DelayNandErase = 9;
  s.DelayNandCali = 1000;
  s.DelayReboot = 2;
  s.RDTRecordEn = s.PrintBBT = 1;
  s.SetCapacity = 512;
  auto put = [](char* field, size_t n, const std::string& v) { v.copy(field, n - 1); };
  put(s.BurnerPath, sizeof s.BurnerPath, firmware + "burner.bin");
  put(s.RdtParamPath, sizeof s.RdtParamPath, firmware + "rdtparam.bin");
  put(s.SysFwPath, sizeof s.SysFwPath, firmware + "sysfw.bin");
  put(s.SpiPath, sizeof s.SpiPath, firmware + "spi.bin");
  put(s.ModelName, sizeof s.ModelName, "QELVAR SSD");
  put(s.FWVersion, sizeof s.FWVersion, "QV51R001");
  return s;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_WholeFlowOneDrive(benchmark::State& state) {
  const std::string firmware = std::string(QELVAR_SOURCE_DIR) + "/examples/station/Firmware/";
  auto folder = std::filesystem::temp_directory_path() / "qelvar-bench-flow";
  std::filesystem::create_directories(folder);
  // A station folder: the Start checks its settings file and catalogue.
  for (const char* file : {"speedQelvar.ini", "flash.ini"}) {
    std::filesystem::copy_file(std::string(QELVAR_SOURCE_DIR) + "/examples/station/" + file,
                               folder / file, std::filesystem::copy_options::overwrite_existing);
  }
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    platform::VirtualClock clock;
    platform::sim::StationConfig config;
    std::string error;
    if (!platform::sim::ParseStation(kStation, ".", &config, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    platform::sim::SimStation sim(std::move(config), clock);
    transport::PassThroughTransport transport(sim, clock);
    vendor::VendorCommands vendor(transport);
    engine::StationLinks links{sim, sim, clock, transport, vendor};
    engine::Station station;
    discovery::PortListModel list;
    Events events;
    Page page;
    engine::RunControl control(station, links, list, events, page,
                               settings::MakeStationPaths(folder.string()));
    station.options.Publish(Options(firmware));
    (void)control.Scan();
    engine::StartControls controls;
    controls.modelName = "QELVAR SSD";
    controls.fwVersion = "QV51R001";
    controls.snEdit = "QV0001";
    state.ResumeTiming();
    double before = ProcessCpuSeconds();
    (void)control.OnStart(controls);
    control.JoinWorkers();
    cpu += ProcessCpuSeconds() - before;
    if (list.Cell(0, discovery::kColStatus) != "Pass") {
      state.SkipWithError(
          ("the drive did not pass: " + list.Cell(0, discovery::kColStatus)).c_str());
      return;
    }
  }
  state.counters["cpu_ms_per_drive"] =
      benchmark::Counter(cpu * 1000 / static_cast<double>(state.iterations()));
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_WholeFlowOneDrive)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
