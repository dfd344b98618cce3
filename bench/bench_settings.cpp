// The settings load at start-up (about 50 key reads) and the save at close,
// on an operator-sized file and on one padded with a thousand unknown keys.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "settings/profile.h"
#include "settings/settings_file.h"

namespace {

using namespace qelvar::settings;

class NullView final : public SettingsView {
 public:
  bool IsChecked(int) const override { return false; }
  void SetChecked(int, bool) override {}
  int ComboSelection(int) const override { return -1; }
  void SetComboSelection(int, int) override {}
  int ComboCount(int) const override { return 0; }
  std::string ComboItemText(int, int) const override { return {}; }
  void AddComboItem(int, std::string_view) override {}
  std::string EditText(int) const override { return "TEXT"; }
  void SetEditText(int, std::string_view) override {}
};

class NullMessages final : public MessageSink {
 public:
  void Show(std::string_view, std::string_view, MessageIcon) override {}
};

const char kSettings[] =
    "[MPOption]\r\nMPVERSION=Qelvar MP "
    "5.1\r\nDownloadBurner=1\r\nDownloadSysFW=1\r\nNandErase=1\r\n"
    "NandEraseSelect=2\r\nNandCalibration=1\r\nNandEraseAll=0\r\nScanRDT=0\r\nOP7=0\r\n"
    "[Identify]\r\nModelName=QV 512G SSD\r\nSN=AB0001\r\nSNAutoIncrease=1\r\nSNFix=0\r\n"
    "FWVersion=V1.00ABC\r\nFWOriver=V1.00ABX\r\nFWVersionUserDefine=1\r\nSetBin=1\r\n"
    "[FlashSelect]\r\nFlashIndex=0\r\n"
    "[RDTParam]\r\nErrBitSlc=60\r\nPeCycSlc=4\r\nErrBitTlc=160\r\nPeCycTlc=4\r\nMaxRunHours=3\r\n"
    "MaxLaterBadLun=256\r\nStartWeru=0\r\nEndWeru=0\r\nResv1=0\r\nResv2=0\r\n"
    "[DelayTime]\r\nDelayBurner=30000\r\nDelayNandCali=200\r\nDelayNandErase=60000\r\n"
    "DelayReboot=5\r\n"
    "[Debug]\r\nRDTRecordEn=1\r\nJumpToFT3=0\r\nPrintBBT=1\r\nRdtParamEn=1\r\n54TEM=1\r\n"
    "BDIPM=1\r\nBHIPM=1\r\nKeepSN=0\r\nSpiDisable=0\r\nSkip_RunBad=0\r\n"
    "[FormatVolume]\r\nFormatEn=1\r\nFileType=NTFS\r\n";

struct Folder {
  explicit Folder(size_t paddingKeys) {
    path = std::filesystem::temp_directory_path() /
           ("qelvar-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(path / "Firmware");
    std::string text;
    for (size_t i = 0; i < paddingKeys; ++i) {
      text += "[Extra" + std::to_string(i % 10) + "]\r\nKey" + std::to_string(i) + "=value\r\n";
    }
    text += kSettings;
    std::ofstream(path / "speedQelvar.ini", std::ios::binary) << text;
    std::ofstream(path / "flash.ini", std::ios::binary)
        << "[TOSHIBA]\r\nFlash_000=TSB_A\r\n[TSB_A]\r\nDefautBnr=bnr.bin\r\n";
    paths = MakeStationPaths(path.string());
  }
  ~Folder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
  StationPaths paths;
};

void BM_LoadSettings(benchmark::State& state) {
  Folder folder(static_cast<size_t>(state.range(0)));
  NullView view;
  NullMessages messages;
  for (auto _ : state) {
    MpSettings settings;
    PageContext page{folder.paths, settings, view, messages};
    LoadSettings(page);
    benchmark::DoNotOptimize(settings.ErrBitSlc);
  }
}
BENCHMARK(BM_LoadSettings)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_SaveSettings(benchmark::State& state) {
  Folder folder(static_cast<size_t>(state.range(0)));
  NullView view;
  NullMessages messages;
  MpSettings settings;
  PageContext page{folder.paths, settings, view, messages};
  for (auto _ : state) benchmark::DoNotOptimize(SaveSettings(page));
}
BENCHMARK(BM_SaveSettings)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_WriteOneKey(benchmark::State& state) {
  Folder folder(0);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        WriteProfileInt(folder.paths.gSettingsPath, "RDTParam", "ErrBitSlc", i++));
  }
}
BENCHMARK(BM_WriteOneKey)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
