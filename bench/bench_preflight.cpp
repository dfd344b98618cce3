// The Start's check before ROM entry, on the example station with 16 drives
// and a barcode list: settings file, catalogue, four images, identity, 16
// barcodes, the dbug folder and the settings file's folder. It runs before
// every Start; the goal is well under 50 ms with the images in the page cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/preflight.h"

namespace {

using namespace qelvar;

void Put(char* field, size_t capacity, const std::string& text) {
  std::memset(field, 0, capacity);
  std::memcpy(field, text.data(), std::min(text.size(), capacity - 1));
}

void BM_PreflightFullRunSixteenPorts(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() / "qelvar-bench-preflight";
  std::filesystem::remove_all(folder);
  std::filesystem::copy(std::string(QELVAR_SOURCE_DIR) + "/examples/station", folder,
                        std::filesystem::copy_options::recursive);
  const settings::StationPaths paths = settings::MakeStationPaths(folder.string());
  settings::MpSettings s;
  s.DownloadBurner = s.DownloadSysFW = s.NandErase = s.NandCalibration = 1;
  s.SNAutoIncrease = s.RDTRecordEn = s.PrintBBT = 1;
  const std::string firmware = (folder / "Firmware").string() + "/";
  Put(s.BurnerPath, sizeof s.BurnerPath, firmware + "burner.bin");
  Put(s.RdtParamPath, sizeof s.RdtParamPath, firmware + "rdtparam.bin");
  Put(s.SysFwPath, sizeof s.SysFwPath, firmware + "sysfw.bin");
  Put(s.SpiPath, sizeof s.SpiPath, firmware + "spi.bin");
  engine::Station station;
  std::vector<int> ports;
  for (int p = 0; p < 16; ++p) {
    char code[21];
    std::snprintf(code, sizeof code, "QV51000000%02d", p);
    Put(s.barcodes[p], sizeof s.barcodes[p], code);
    ports.push_back(p);
  }
  station.gBarcodeDone = 1;
  station.gBarcodeCount = 16;
  engine::PreflightRequest request{s,          paths,         station, ports, "QELVAR SSD 512GB",
                                   "QV51R001", "QV5100000A00"};
  size_t problems = 0;
  for (auto _ : state) {
    problems += engine::PreflightProblems(request).size();
  }
  if (problems != 0) state.SkipWithError("the example station should pass its check");
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_PreflightFullRunSixteenPorts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
