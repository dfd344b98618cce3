// The check before ROM entry: a broken station of any kind is refused with
// one message naming every problem, before any drive is touched.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "engine/preflight.h"
#include "run_fixture.h"

namespace qelvar::engine {
namespace {

using testing::RunFixture;

std::string EightDrives() {
  std::string text = "[Station]\nHubs=1\nHubPorts=8\n";
  for (int d = 0; d < 8; ++d) text += "[Drive" + std::to_string(d) + "]\n";
  return text;
}

void Put(char* field, size_t capacity, const std::string& text) {
  std::memset(field, 0, capacity);
  std::memcpy(field, text.data(), std::min(text.size(), capacity - 1));
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class FakeRecorder final : public PortRecorder {
 public:
  std::string BeginRun() override { return "run"; }
  void PortFinished(PortResult&&) override {}
  void RunEnded() override {}
  std::vector<std::string> StartProblems() override { return problems; }
  std::string EarlierPassed(std::string_view barcode) override {
    return barcode == passedCode ? "serial " + passedCode + " passed on station L2 at 09:14" : "";
  }
  std::vector<std::string> problems;
  std::string passedCode;
};

void Barcodes(RunFixture& f, const std::vector<std::string>& codes) {
  f.Options([&](settings::MpSettings& s) {
    for (size_t k = 0; k < codes.size(); ++k) Put(s.barcodes[k], 21, codes[k]);
  });
  f.station.gBarcodeDone = 1;
  f.station.gBarcodeCount = static_cast<uint8_t>(codes.size());
}

struct BrokenStation {
  const char* name;
  std::function<void(RunFixture&, StartControls&, FakeRecorder&)> breakIt;
  const char* said;  // in the message
};

TEST(Preflight, EveryKindOfBrokenStationIsRefusedBeforeAnyDriveIsTouched) {
  const BrokenStation cases[] = {
      {"settings of random bytes",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         WriteFile(f.paths.gSettingsPath, std::string("\x8f\x02\xff[x\x00zz", 9));
       },
       "is not a settings file"},
      {"empty settings file",
       [](RunFixture& f, StartControls&, FakeRecorder&) { WriteFile(f.paths.gSettingsPath, ""); },
       "is not a settings file"},
      {"missing burner",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         f.Options([&](settings::MpSettings& s) {
           Put(s.BurnerPath, sizeof s.BurnerPath, (f.folder / "gone.bin").string());
         });
       },
       "Download Burner: the image"},
      {"empty SPI image",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         WriteFile(f.folder / "spi.bin", "");
         f.Options([&](settings::MpSettings& s) {
           Put(s.SpiPath, sizeof s.SpiPath, (f.folder / "spi.bin").string());
         });
       },
       "SPI ROM: the image"},
      {"system firmware larger than its buffer",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         WriteFile(f.folder / "sys.bin", std::string(settings::kSysFwImageCapacity + 1, 'x'));
         f.Options([&](settings::MpSettings& s) {
           Put(s.SysFwPath, sizeof s.SysFwPath, (f.folder / "sys.bin").string());
         });
       },
       "larger than its 786432-byte buffer"},
      {"empty model name",
       [](RunFixture&, StartControls& c, FakeRecorder&) { c.modelName.clear(); },
       "Model Name is empty"},
      {"model name that a cut would split inside a character",
       [](RunFixture&, StartControls& c, FakeRecorder&) {
         c.modelName =
             "QELVAR SSD 512GB \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
             "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9";
       },
       "other than printable ASCII"},
      {"empty FW version",
       [](RunFixture&, StartControls& c, FakeRecorder&) { c.fwVersion.clear(); },
       "FW Version is empty"},
      {"empty SN with auto-increment",
       [](RunFixture&, StartControls& c, FakeRecorder&) { c.snEdit.clear(); }, "SN is empty"},
      {"an empty barcode for a drive",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         Barcodes(f, {"B0", "B1", "B2", "", "B4", "B5", "B6", "B7"});
       },
       "port 4 has an empty barcode"},
      {"one barcode for every drive",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         Barcodes(f, std::vector<std::string>(8, "SAME"));
       },
       "the same as port"},
      {"a barcode already on a passed drive",
       [](RunFixture& f, StartControls&, FakeRecorder& r) {
         Barcodes(f, {"B0", "B1", "B2", "B3", "B4", "B5", "B6", "B7"});
         r.passedCode = "B5";
       },
       "port 6 has the barcode \"B5\", already on a passed drive (serial B5 passed on station L2"},
      {"report folder that cannot be made",
       [](RunFixture& f, StartControls&, FakeRecorder&) { WriteFile(f.paths.DbugDir(), "x"); },
       "the report folder"},
      {"read-only settings file when the next serial must be saved",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         std::filesystem::permissions(f.paths.gSettingsPath, std::filesystem::perms(0444));
       },
       "cannot be written, and the next serial number must be saved there"},
      {"no flash part at FlashIndex",
       [](RunFixture& f, StartControls&, FakeRecorder&) {
         f.Options([](settings::MpSettings& s) { s.FlashIndex = 7; });
       },
       "FlashIndex 7"},
      {"a ledger that cannot record",
       [](RunFixture&, StartControls&, FakeRecorder& r) {
         r.problems = {"the ledger /x/ledger.sqlite is corrupt"};
       },
       "- the ledger /x/ledger.sqlite is corrupt"},
  };
  for (const BrokenStation& c : cases) {
    SCOPED_TRACE(c.name);
    RunFixture f(EightDrives());
    FakeRecorder recorder;
    f.control->SetLedger(&recorder, nullptr);
    StartControls controls = f.Controls("00FF");
    c.breakIt(f, controls, recorder);
    const std::string settingsBefore = [&] {
      std::string text;
      std::ifstream in(f.paths.gSettingsPath, std::ios::binary);
      std::getline(in, text, '\0');
      return text;
    }();
    f.sim->ClearTrace();
    EXPECT_EQ(f.control->OnStart(controls), StartOutcome::kRefused);
    ASSERT_EQ(f.page.messages.size(), 1u);
    EXPECT_EQ(f.page.messages[0].caption, kPreflightCaption);
    EXPECT_NE(f.page.messages[0].text.find(c.said), std::string::npos) << f.page.messages[0].text;
    EXPECT_TRUE(f.sim->Trace().empty()) << "a command reached a drive";
    EXPECT_TRUE(f.clock.PausesOf("ui").empty());
    EXPECT_EQ(f.page.snEdit, "") << "no serial was handed out";
    EXPECT_TRUE(f.page.buttonsEnabled);
    EXPECT_FALSE(f.control->Busy());
    EXPECT_EQ(f.control->RunActive(), 0);
    std::string settingsAfter;
    std::ifstream in(f.paths.gSettingsPath, std::ios::binary);
    std::getline(in, settingsAfter, '\0');
    EXPECT_EQ(settingsAfter, settingsBefore);
  }
}

TEST(Preflight, NamesEveryProblemInOneMessage) {
  RunFixture f(EightDrives());
  StartControls controls = f.Controls("");
  controls.modelName.clear();
  controls.fwVersion = "TOO-LONG-9";
  f.Options([&](settings::MpSettings& s) {
    Put(s.BurnerPath, sizeof s.BurnerPath, (f.folder / "gone.bin").string());
  });
  ASSERT_EQ(f.control->OnStart(controls), StartOutcome::kRefused);
  EXPECT_EQ(f.control->LastRefusal().size(), 4u);
  ASSERT_EQ(f.page.messages.size(), 1u);
  EXPECT_EQ(f.page.messages[0].text, PreflightMessage(f.control->LastRefusal()));
}

TEST(Preflight, WhatARunDoesNotUseIsNotChecked) {
  // No burner phase and no firmware: the images, the flash part and the
  // identity are not needed; a settings file with the sections but no keys
  // keeps the defaults.
  RunFixture f(EightDrives());
  WriteFile(f.paths.gSettingsPath, "[Identify]\r\n");
  f.Options([](settings::MpSettings& s) {
    s.DownloadBurner = s.DownloadSysFW = s.NandErase = s.NandCalibration = 0;
    s.FlashIndex = -1;
    s.BurnerPath[0] = s.SpiPath[0] = s.SysFwPath[0] = s.RdtParamPath[0] = '\0';
  });
  StartControls controls = f.Controls("00FF");
  controls.modelName.clear();
  EXPECT_EQ(f.Run(controls), StartOutcome::kStarted) << f.page.messages.size();
}

TEST(Preflight, SinglePortStartIsCheckedToo) {
  RunFixture f(EightDrives());
  f.Options([&](settings::MpSettings& s) {
    Put(s.SysFwPath, sizeof s.SysFwPath, (f.folder / "gone.bin").string());
  });
  f.sim->ClearTrace();
  EXPECT_EQ(f.control->StartSinglePort(2), SinglePortOutcome::kRefused);
  EXPECT_TRUE(f.sim->Trace().empty());
  EXPECT_FALSE(f.control->AnyWorkerRunning());
  ASSERT_EQ(f.page.messages.size(), 1u);
  EXPECT_NE(f.page.messages[0].text.find("Download FW: the image"), std::string::npos);
}

}  // namespace
}  // namespace qelvar::engine
