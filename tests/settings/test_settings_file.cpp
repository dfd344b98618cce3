#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "settings/page_options.h"
#include "settings/settings_file.h"
#include "settings_fixtures.h"

namespace qelvar::settings {
namespace {

using testing::Message;
using testing::ReadFile;
using testing::Station;
using testing::Warning;
using testing::WriteFile;

// A catalogue of three parts; MU_B has every firmware key.
constexpr std::string_view kCatalogue =
    "[TOSHIBA]\r\nFlash_000=TSB_A\r\nFlash_001=TSB_B\r\n"
    "[MICRON]\r\nFlash_000=MU_B\r\n"
    "[MU_B]\r\nDefautBnr=bnr.bin\r\nDefautRdtParam=rdtparam.bin\r\nSetCapacity=70000\r\n"
    "DefautRdtFw=rdtfw.bin\r\nDefautSysFwOP7=op7fw.bin\r\nDefautSysFw=sysfw.bin\r\n"
    "DownloadSPI=spi.bin\r\n";

void FillCatalogueCombo(Station& st) {
  for (const char* name : {"TSB_A", "TSB_B", "MU_B"}) st.view.AddComboItem(ctl::kFlashSelect, name);
}

void AddAllFirmware(Station& st) {
  for (const char* name :
       {"bnr.bin", "rdtparam.bin", "rdtfw.bin", "op7fw.bin", "sysfw.bin", "spi.bin"}) {
    st.Firmware(name);
  }
}

TEST(LoadSettings, MissingFileGivesOneWarningAndLeavesEveryOptionZero) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  FillCatalogueCombo(st);
  LoadSettings(st.page);
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Open File Fail", "Can NOT Open File")}));
  EXPECT_EQ(st.settings.ErrBitSlc, 0);
  EXPECT_EQ(st.settings.MaxLaterBadLun, 0);
  EXPECT_EQ(st.settings.FlashIndex, 0);
  EXPECT_EQ(st.settings.SpiDisable, 0);
  EXPECT_STREQ(st.settings.BurnerPath, "");
  EXPECT_TRUE(st.view.checks.empty());
  EXPECT_TRUE(st.view.edits.empty());
  EXPECT_TRUE(st.view.selections.empty());
}

TEST(LoadSettings, FileWithoutRdtParamGivesTheParameterDefaults) {
  Station st;
  WriteFile(st.paths.gSettingsPath, "[MPOption]\r\nDownloadBurner=1\r\n");
  LoadSettings(st.page);
  const MpSettings& s = st.settings;
  EXPECT_EQ((std::vector<int>{s.ErrBitSlc, s.PeCycSlc, s.ErrBitTlc, s.PeCycTlc, s.MaxRunHours,
                              s.MaxLaterBadLun, s.StartWeru, s.EndWeru, s.Resv1, s.Resv2}),
            (std::vector<int>{60, 4, 160, 4, 3, 256, 0, 0, 0, 0}));
}

TEST(LoadSettings, RdtParametersKeepTheirLow16BitsAndEmptyMeansDefault) {
  Station st;
  WriteFile(st.paths.gSettingsPath,
            "[RDTParam]\r\nErrBitSlc=65536\r\nPeCycSlc=-1\r\nErrBitTlc=12x\r\nMaxRunHours=\r\n"
            "MaxLaterBadLun=70000\r\n");
  LoadSettings(st.page);
  EXPECT_EQ(st.settings.ErrBitSlc, 0);
  EXPECT_EQ(st.settings.PeCycSlc, 65535);
  EXPECT_EQ(st.settings.ErrBitTlc, 12);
  EXPECT_EQ(st.settings.MaxRunHours, 3);
  EXPECT_EQ(st.settings.MaxLaterBadLun, 4464);
}

struct FlagCase {
  const char* text;
  uint8_t value;
  bool checked;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FlagCase& c, std::ostream* os) {
  *os << "\"" << c.text << "\"";
}

class FlagValue : public ::testing::TestWithParam<FlagCase> {};

TEST_P(FlagValue, KeepsTheLow8BitsAndShowsNonZeroAsChecked) {
  Station st;
  WriteFile(st.paths.gSettingsPath,
            std::string("[MPOption]\r\nNandErase=") + GetParam().text + "\r\n");
  LoadSettings(st.page);
  EXPECT_EQ(st.settings.NandErase, GetParam().value);
  EXPECT_EQ(st.view.IsChecked(ctl::kNandErase), GetParam().checked);
}

INSTANTIATE_TEST_SUITE_P(Values, FlagValue,
                         ::testing::Values(FlagCase{"257", 1, true}, FlagCase{"256", 0, false},
                                           FlagCase{"1", 1, true}, FlagCase{"0", 0, false},
                                           FlagCase{"-1", 255, true}, FlagCase{"2x", 2, true},
                                           FlagCase{"on", 0, false}, FlagCase{"", 0, false}),
                         [](const auto& p) { return testing::CaseName(p.param.text); });

TEST(LoadSettings, EachKeyReachesItsFieldAndItsControl) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  AddAllFirmware(st);
  FillCatalogueCombo(st);
  st.view.AddComboItem(ctl::kNandEraseSelect, "Whole Nand Space");
  st.view.AddComboItem(ctl::kNandEraseSelect, "Whole Nand Space Without WPB0");
  st.view.AddComboItem(ctl::kNandEraseSelect, "Whole Nand Space Without Keep");
  for (const char* bin : {"Default", "Bin12", "Bin23"}) st.view.AddComboItem(ctl::kSetBin, bin);
  WriteFile(
      st.paths.gSettingsPath,
      "[MPOption]\r\nMPVERSION=Qelvar MP 5.1\r\nDownloadBurner=1\r\nDownloadSysFW=1\r\n"
      "NandErase=1\r\nNandEraseSelect=2\r\nNandCalibration=1\r\nNandEraseAll=1\r\n"
      "ScanRDT=0\r\nOP7=1\r\n"
      "[Identify]\r\nModelName=QV 512G SSD\r\nSN=AB0001\r\nSNAutoIncrease=1\r\nSNFix=1\r\n"
      "FWVersion=V1.00ABC\r\nFWOriver=V1.00ABX\r\nFWVersionUserDefine=1\r\nSetBin=1\r\n"
      "[FlashSelect]\r\nFlashIndex=2\r\n"
      "[DelayTime]\r\nDelayBurner=30000\r\nDelayNandCali=200\r\nDelayNandErase=-1294967296\r\n"
      "DelayReboot=5\r\n"
      "[Debug]\r\nRDTRecordEn=1\r\nJumpToFT3=1\r\nPrintBBT=1\r\nRdtParamEn=1\r\n54TEM=1\r\n"
      "BDIPM=1\r\nBHIPM=1\r\nKeepSN=1\r\nSpiDisable=1\r\nSkip_RunBad=1\r\n"
      "[FormatVolume]\r\nFormatEn=1\r\nFileType=NTFS\r\n");
  LoadSettings(st.page);
  const MpSettings& s = st.settings;
  EXPECT_TRUE(st.messages.shown.empty());
  EXPECT_EQ(s.FlashIndex, 2);
  EXPECT_EQ(st.view.ComboSelection(ctl::kFlashSelect), 2);
  for (uint8_t flag : {s.DownloadBurner,  s.DownloadSysFW, s.NandErase,
                       s.NandCalibration, s.NandEraseAll,  s.OP7,
                       s.SNAutoIncrease,  s.SNFix,         s.FWVersionUserDefine,
                       s.RDTRecordEn,     s.JumpToFT3,     s.PrintBBT,
                       s.RdtParamEn,      s.Tem54,         s.BDIPM,
                       s.BHIPM,           s.KeepSN,        s.SpiDisable,
                       s.Skip_RunBad,     s.FormatEn}) {
    EXPECT_EQ(flag, 1);
  }
  EXPECT_EQ(s.ScanRDT, 0);
  EXPECT_EQ(s.NandEraseSelect, 2);
  EXPECT_EQ(st.view.ComboSelection(ctl::kNandEraseSelect), 2);
  EXPECT_EQ(s.SetBin, 1);
  EXPECT_EQ(st.view.ComboSelection(ctl::kSetBin), 1);
  for (int id :
       {ctl::kDownloadBurner, ctl::kDownloadSysFW, ctl::kNandErase, ctl::kNandCalibration,
        ctl::kNandEraseAll, ctl::kOP7, ctl::kSNAutoIncrease, ctl::kSNFix, ctl::kFWVersionUserDefine,
        ctl::kFormatEn, ctl::kKeepSN, ctl::kSpiDisable, ctl::kSkipRunBad}) {
    EXPECT_TRUE(st.view.IsChecked(id)) << id;
  }
  EXPECT_FALSE(st.view.IsChecked(ctl::kScanRDT));
  EXPECT_STREQ(s.ModelName, "QV 512G SSD");
  EXPECT_EQ(st.view.EditText(ctl::kModelName), "QV 512G SSD");
  EXPECT_EQ(st.view.EditText(ctl::kSN), "AB0001");
  EXPECT_STREQ(s.FWVersion, "V1.00ABC");
  EXPECT_EQ(st.view.EditText(ctl::kFWVersion), "V1.00ABC");
  EXPECT_STREQ(s.FWOriver, "V1.00ABX");
  EXPECT_EQ(s.DelayBurner, 30000u);
  EXPECT_EQ(s.DelayNandCali, 200u);
  EXPECT_EQ(s.DelayNandErase, 3000000000u);
  EXPECT_EQ(s.DelayReboot, 5u);
  EXPECT_STREQ(s.FileType, "NTFS");
  // OP7 picked the firmware of the flash at FlashIndex 2.
  EXPECT_STREQ(s.SysFwFile, "op7fw.bin");
  EXPECT_EQ(st.view.EditText(ctl::kSysFwFile), "op7fw.bin");
  EXPECT_EQ(s.SetCapacity, 4464);
  EXPECT_EQ(ReadMpVersion(st.paths), "Qelvar MP 5.1");
}

TEST(LoadSettings, TextsAreCutToTheirFields) {
  Station st;
  WriteFile(st.paths.gSettingsPath,
            "[Identify]\r\nModelName=0123456789012345678901234567890123456789XYZ\r\n"
            "SN=ABCDEFGHIJKLMNOPQRSTUVW\r\nFWVersion=V1.00ABCDEF\r\n"
            "[FormatVolume]\r\nFileType=0123456789AB\r\n");
  LoadSettings(st.page);
  EXPECT_STREQ(st.settings.ModelName, "0123456789012345678901234567890123456789");
  EXPECT_EQ(st.view.EditText(ctl::kSN), "ABCDEFGHIJKLMNOPQRST");
  EXPECT_STREQ(st.settings.FWVersion, "V1.00ABC");
  EXPECT_STREQ(st.settings.FileType, "012345678");
}

class NoFlashSelected : public ::testing::TestWithParam<const char*> {};

TEST_P(NoFlashSelected, LooksUpTheEmptySectionAndWarnsForEachFile) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  AddAllFirmware(st);
  FillCatalogueCombo(st);
  WriteFile(st.paths.gSettingsPath,
            std::string("[FlashSelect]\r\nFlashIndex=") + GetParam() + "\r\n");
  LoadSettings(st.page);
  EXPECT_EQ(st.view.ComboSelection(ctl::kFlashSelect), -1);
  EXPECT_EQ(st.messages.shown, (std::vector<Message>{
                                   Warning("Select Burner File *bat", "Open File Fail"),
                                   Warning("Select Burner File *bat", "Open File Fail"),
                                   Warning("Select FW File *bin", "Open File Fail"),
                                   Warning("Select SPI File *bin", "Open File Fail"),
                               }));
  EXPECT_EQ(std::string(st.settings.BurnerPath), st.dir.str() + "/Firmware/");
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "");
  // The stored SpiDisable key (missing: 0) wins over the missing SPI file.
  EXPECT_EQ(st.settings.SpiDisable, 0);
}

INSTANTIATE_TEST_SUITE_P(Index, NoFlashSelected, ::testing::Values("-1", "3", "2147483647"),
                         [](const auto& p) { return testing::CaseName(p.param); });

TEST(SelectFlashFirmware, ResolvesEveryFileOfTheFlashIntoTheFirmwareFolder) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  AddAllFirmware(st);
  FillCatalogueCombo(st);
  st.settings.SpiDisable = 1;
  SelectFlashFirmware(st.page, 2);
  const MpSettings& s = st.settings;
  const std::string fw = st.dir.str() + "/Firmware/";
  EXPECT_TRUE(st.messages.shown.empty());
  EXPECT_STREQ(s.DefautBnr, "bnr.bin");
  EXPECT_EQ(std::string(s.BurnerPath), fw + "bnr.bin");
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "bnr.bin");
  EXPECT_STREQ(s.DefautRdtParam, "rdtparam.bin");
  EXPECT_EQ(std::string(s.RdtParamPath), fw + "rdtparam.bin");
  EXPECT_EQ(s.SetCapacity, 4464);  // 70000, low 16 bits
  EXPECT_STREQ(s.SysFwFile, "sysfw.bin");
  EXPECT_EQ(std::string(s.SysFwPath), fw + "sysfw.bin");
  EXPECT_EQ(st.view.EditText(ctl::kSysFwFile), "sysfw.bin");
  EXPECT_STREQ(s.DownloadSPI, "spi.bin");
  EXPECT_EQ(std::string(s.SpiPath), fw + "spi.bin");
  EXPECT_EQ(s.SpiDisable, 0);
}

struct FirmwareKeyCase {
  uint8_t scanRdt;
  uint8_t op7;
  const char* file;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FirmwareKeyCase& c, std::ostream* os) {
  *os << c.file;
}

class FirmwareKey : public ::testing::TestWithParam<FirmwareKeyCase> {};

TEST_P(FirmwareKey, RdtRunTakesTheRdtFirmwareOverOp7) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  AddAllFirmware(st);
  FillCatalogueCombo(st);
  st.settings.ScanRDT = GetParam().scanRdt;
  st.settings.OP7 = GetParam().op7;
  SelectFlashFirmware(st.page, 2);
  EXPECT_STREQ(st.settings.SysFwFile, GetParam().file);
  EXPECT_EQ(std::string(st.settings.SysFwPath), st.dir.str() + "/Firmware/" + GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, FirmwareKey,
    ::testing::Values(FirmwareKeyCase{1, 1, "rdtfw.bin"}, FirmwareKeyCase{1, 0, "rdtfw.bin"},
                      FirmwareKeyCase{0, 1, "op7fw.bin"}, FirmwareKeyCase{0, 0, "sysfw.bin"}),
    [](const auto& p) {
      return "ScanRDT" + std::to_string(p.param.scanRdt) + "OP7" + std::to_string(p.param.op7);
    });

TEST(SelectFlashFirmware, MissingSpiFileSetsSpiDisableInMemoryOnly) {
  Station st;
  WriteFile(st.paths.gFlashIniPath, kCatalogue);
  for (const char* name : {"bnr.bin", "rdtparam.bin", "sysfw.bin"}) st.Firmware(name);
  FillCatalogueCombo(st);
  st.view.SetChecked(ctl::kSpiDisable, false);
  SelectFlashFirmware(st.page, 2);
  EXPECT_EQ(st.settings.SpiDisable, 1);
  EXPECT_FALSE(st.view.IsChecked(ctl::kSpiDisable));
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Select SPI File *bin", "Open File Fail")}));
  EXPECT_FALSE(std::filesystem::exists(st.paths.gSettingsPath));
}

TEST(SelectFlashFirmware, FlashWithoutBurnerKeyNamesTheFirmwareFolderAndWarns) {
  Station st;
  WriteFile(st.paths.gFlashIniPath,
            "[MICRON]\r\nFlash_000=MU_C\r\n[MU_C]\r\nDefautRdtParam=r.bin\r\nDefautSysFw=s.bin\r\n"
            "DownloadSPI=p.bin\r\n");
  for (const char* name : {"r.bin", "s.bin", "p.bin"}) st.Firmware(name);
  st.view.AddComboItem(ctl::kFlashSelect, "MU_C");
  SelectFlashFirmware(st.page, 0);
  EXPECT_EQ(std::string(st.settings.BurnerPath), st.dir.str() + "/Firmware/");
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Select Burner File *bat", "Open File Fail")}));
}

TEST(SelectFlashFirmware, LongFlashNameIsLookedUpByItsFirst31Characters) {
  Station st;
  const std::string name = "MICRON_B47R_TLC_512GB_4CE_VARIANT_X";  // 35 characters
  WriteFile(st.paths.gFlashIniPath,
            "[MICRON]\r\nFlash_000=" + name +
                "\r\n[MICRON_B47R_TLC_512GB_4CE_VARIA]\r\nDefautBnr=b47.bin\r\n"
                "[" +
                name + "]\r\nDefautBnr=full.bin\r\n");
  st.view.AddComboItem(ctl::kFlashSelect, name);
  SelectFlashFirmware(st.page, 0);
  EXPECT_STREQ(st.settings.DefautBnr, "b47.bin");
}

TEST(SelectFlashFirmware, PathBeyond259CharactersIsNeverCutIntoAnotherName) {
  Station st;
  // A deep station folder: folder + "/Firmware/" + a 127-character name is
  // longer than 259 characters.
  st.paths = MakeStationPaths(st.dir / std::string(150, 'd'));
  const std::string name(127, 'n');
  WriteFile(st.paths.gFlashIniPath,
            "[HYNIX]\r\nFlash_000=HX\r\n[HX]\r\nDefautBnr=" + name + "\r\n");
  st.view.AddComboItem(ctl::kFlashSelect, "HX");
  SelectFlashFirmware(st.page, 0);
  EXPECT_STREQ(st.settings.DefautBnr, name.c_str());
  EXPECT_STREQ(st.settings.BurnerPath, "");
  EXPECT_EQ(st.messages.shown.at(0), Warning("Select Burner File *bat", "Open File Fail"));
}

TEST(ChooseBurnerFile, PathBeyond259CharactersIsRefusedNotCut) {
  Station st;
  const std::string path = "/" + std::string(300, 'p') + "/burner.bin";
  ChooseBurnerFile(st.page, path);
  EXPECT_STREQ(st.settings.BurnerPath, "");
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "burner.bin");
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Open Burner Firmware Fail", "Open Fail")}));
}

TEST(ChooseBurnerFile, AcceptsAFileThatFillsTheBufferExactly) {
  Station st;
  st.Firmware("picked.bin", 393216);
  const std::string path = st.dir / "Firmware/picked.bin";
  ChooseBurnerFile(st.page, path);
  EXPECT_TRUE(st.messages.shown.empty());
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "picked.bin");
  EXPECT_EQ(std::string(st.settings.BurnerPath), path);
  EXPECT_STREQ(st.settings.DefautBnr, "");
  EXPECT_FALSE(std::filesystem::exists(st.paths.gSettingsPath));
}

TEST(ChooseBurnerFile, WarnsAboutOneByteMoreAndKeepsThePath) {
  Station st;
  st.Firmware("big.bin", 393217);
  const std::string path = st.dir / "Firmware/big.bin";
  ChooseBurnerFile(st.page, path);
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Burner File size > 256KB", "Open Fail")}));
  EXPECT_EQ(std::string(st.settings.BurnerPath), path);
}

TEST(ChooseBurnerFile, WarnsWhenTheFileCannotBeOpened) {
  Station st;
  const std::string path = st.dir / "gone.bin";
  ChooseBurnerFile(st.page, path);
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("Open Burner Firmware Fail", "Open Fail")}));
  EXPECT_EQ(std::string(st.settings.BurnerPath), path);
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "gone.bin");
}

TEST(SaveSettings, WritesThePageControlsAndKeepsTheRestOfTheFile) {
  Station st;
  WriteFile(st.paths.gSettingsPath,
            "; line station 3\r\n[MPOption]\r\nScanRDT=1\r\nDownloadBurner=0\r\n\r\n"
            "[RDTParam]\r\nErrBitSlc=70\r\n");
  testing::FakeSettingsView& v = st.view;
  v.checks = {{ctl::kDownloadBurner, true},
              {ctl::kNandErase, true},
              {ctl::kSNAutoIncrease, true},
              {ctl::kFormatEn, true},
              {ctl::kSpiDisable, true}};
  v.items[ctl::kNandEraseSelect] = {"Whole Nand Space", "Whole Nand Space Without WPB0",
                                    "Whole Nand Space Without Keep"};
  v.items[ctl::kSetBin] = {"Default", "Bin12", "Bin23"};
  v.selections = {{ctl::kNandEraseSelect, 2},
                  {ctl::kSetBin, 1}};  // nothing selected in ctl::kFlashSelect
  v.edits = {{ctl::kModelName, "QV 512G"}, {ctl::kSN, "AB0001"}, {ctl::kFWVersion, "V1.00"}};
  st.settings.NandErase = 0;  // the control, not the record, is saved
  st.settings.DelayBurner = 30000;
  st.settings.DelayNandErase = 3000000000u;
  st.settings.DelayReboot = 5;
  ASSERT_TRUE(SaveSettings(st.page));
  EXPECT_EQ(ReadFile(st.paths.gSettingsPath),
            "; line station 3\r\n"
            "[MPOption]\r\nScanRDT=1\r\nDownloadBurner=1\r\nDownloadSysFW=0\r\nNandErase=1\r\n"
            "NandEraseSelect=2\r\nNandCalibration=0\r\nNandEraseAll=0\r\n"
            "\r\n"
            "[RDTParam]\r\nErrBitSlc=70\r\n"
            "[FlashSelect]\r\nFlashIndex=-1\r\n"
            "[Identify]\r\nSetBin=1\r\nModelName=QV 512G\r\nSN=AB0001\r\nSNAutoIncrease=1\r\n"
            "SNFix=0\r\nFWVersion=V1.00\r\nFWVersionUserDefine=0\r\n"
            "[DelayTime]\r\nDelayBurner=30000\r\nDelayNandCali=0\r\nDelayNandErase=-1294967296\r\n"
            "DelayReboot=5\r\n"
            "[FormatVolume]\r\nFormatEn=1\r\n"
            "[Debug]\r\nKeepSN=0\r\nSpiDisable=1\r\nSkip_RunBad=0\r\n");

  // And what was saved loads back.
  Station again;
  WriteFile(again.paths.gSettingsPath, ReadFile(st.paths.gSettingsPath));
  LoadSettings(again.page);
  EXPECT_EQ(again.settings.DelayNandErase, 3000000000u);
  EXPECT_EQ(again.settings.FlashIndex, -1);
  EXPECT_EQ(again.settings.ErrBitSlc, 70);
}

TEST(SaveSettings, TellsTheOperatorWhyTheFileCouldNotBeWritten) {
  Station st;
  // The station folder has gone (a removed stick, a mount that failed).
  st.paths = MakeStationPaths(st.dir / "gone");
  // The folder, then the system's own reason, which each system words its way.
  const std::string start = "Settings not saved: cannot create a file in the folder ";
  auto expectWhy = [&](const Message& m) {
    EXPECT_EQ(m.caption, "Can NOT Write File");
    EXPECT_EQ(m.icon, MessageIcon::kWarning);
    EXPECT_EQ(m.text.rfind(start, 0), 0u) << m.text;
    EXPECT_NE(m.text.find("gone: "), std::string::npos) << m.text;
#ifndef _WIN32
    EXPECT_EQ(m.text, start + (st.dir / "gone") + ": No such file or directory");
#endif
  };
  EXPECT_FALSE(SaveSettings(st.page));
  ASSERT_EQ(st.messages.shown.size(), 1u);
  expectWhy(st.messages.shown.front());

  // The boxes that write the file the moment they change say so too.
  st.messages.shown.clear();
  st.view.checks[ctl::kOP7] = true;
  OnOp7(st.page);
  ASSERT_FALSE(st.messages.shown.empty());
  expectWhy(st.messages.shown.front());
  st.messages.shown.clear();
  st.view.checks[ctl::kScanRDT] = true;
  OnRdtScan(st.page);
  ASSERT_FALSE(st.messages.shown.empty());
  expectWhy(st.messages.shown.front());
  EXPECT_EQ(st.settings.ScanRDT, 1) << "the option still takes the new state";
}

}  // namespace
}  // namespace qelvar::settings
