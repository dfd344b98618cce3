#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "settings/option_table.h"
#include "settings/page_options.h"
#include "settings/profile.h"
#include "settings_fixtures.h"

namespace qelvar::settings {
namespace {

using testing::ReadFile;
using testing::Station;
using testing::WriteFile;

using K = OptionKind;
using W = OptionWrite;

// What each key holds in the file before the load: numbers "258" (its low 8
// bits are 2), texts this 50-character line.
constexpr std::string_view kStoredNumber = "258";
constexpr std::string_view kStoredText = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx";

std::string AsText(int64_t value) {
  return std::to_string(value);
}
template <size_t N>
std::string AsText(const char (&text)[N]) {
  return std::string(text, strnlen(text, N));
}
// The record's field, named here rather than taken from the table.
#define FIELD(name) [](const MpSettings& s) { return AsText(s.name); }

struct KeyCase {
  std::string_view section;
  std::string_view key;
  std::string (*field)(const MpSettings&);
  OptionKind kind;
  int32_t fallback;
  OptionWrite write;
  OptionPage page;
  int control;
  std::string_view loaded;  // the field after loading the stored value
  std::string_view saved;   // the key after the page was shown and saved
};

constexpr OptionPage kMp = OptionPage::kMp;
constexpr OptionPage kParam = OptionPage::kParameter;
constexpr OptionPage kNone = OptionPage::kNone;

// Every key of the settings file, in the order the page saves them.
constexpr KeyCase kKeys[] = {
    {"FlashSelect", "FlashIndex", FIELD(FlashIndex), K::kIndex, 0, W::kAtClose, kMp,
     ctl::kFlashSelect, "258", "-1"},
    {"MPOption", "DownloadBurner", FIELD(DownloadBurner), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kDownloadBurner, "2", "1"},
    {"MPOption", "DownloadSysFW", FIELD(DownloadSysFW), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kDownloadSysFW, "2", "1"},
    {"MPOption", "NandErase", FIELD(NandErase), K::kFlag, 0, W::kAtClose, kMp, ctl::kNandErase, "2",
     "1"},
    {"MPOption", "NandEraseSelect", FIELD(NandEraseSelect), K::kChoice, 0, W::kAtClose, kMp,
     ctl::kNandEraseSelect, "2", "2"},
    {"MPOption", "NandCalibration", FIELD(NandCalibration), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kNandCalibration, "2", "1"},
    {"MPOption", "NandEraseAll", FIELD(NandEraseAll), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kNandEraseAll, "2", "1"},
    {"MPOption", "ScanRDT", FIELD(ScanRDT), K::kFlag, 0, W::kAtOnce, kMp, ctl::kScanRDT, "2",
     "258"},
    {"MPOption", "OP7", FIELD(OP7), K::kFlag, 0, W::kAtOnce, kMp, ctl::kOP7, "2", "258"},
    {"Identify", "SetBin", FIELD(SetBin), K::kChoice, 0, W::kAtClose, kMp, ctl::kSetBin, "2", "2"},
    {"Identify", "ModelName", FIELD(ModelName), K::kText, 0, W::kAtClose, kMp, ctl::kModelName,
     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn"},
    {"Identify", "SN", FIELD(SN), K::kText, 0, W::kAtClose, kMp, ctl::kSN, "ABCDEFGHIJKLMNOPQRST",
     "ABCDEFGHIJKLMNOPQRST"},
    {"Identify", "SNAutoIncrease", FIELD(SNAutoIncrease), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kSNAutoIncrease, "2", "1"},
    {"Identify", "SNFix", FIELD(SNFix), K::kFlag, 0, W::kAtClose, kMp, ctl::kSNFix, "2", "1"},
    {"Identify", "FWVersion", FIELD(FWVersion), K::kText, 0, W::kAtClose, kMp, ctl::kFWVersion,
     "ABCDEFGH", "ABCDEFGH"},
    {"Identify", "FWVersionUserDefine", FIELD(FWVersionUserDefine), K::kFlag, 0, W::kAtClose, kMp,
     ctl::kFWVersionUserDefine, "2", "1"},
    {"Identify", "FWOriver", FIELD(FWOriver), K::kText, 0, W::kNever, kNone, 0, "ABCDEFGH",
     kStoredText},
    {"RDTParam", "ErrBitSlc", FIELD(ErrBitSlc), K::kNumber16, 60, W::kAtOnce, kParam, ctl::param::kErrBitSlc, "258",
     "258"},
    {"RDTParam", "PeCycSlc", FIELD(PeCycSlc), K::kNumber16, 4, W::kAtOnce, kParam, ctl::param::kPeCycSlc, "258",
     "258"},
    {"RDTParam", "ErrBitTlc", FIELD(ErrBitTlc), K::kNumber16, 160, W::kAtOnce, kParam, ctl::param::kErrBitTlc, "258",
     "258"},
    {"RDTParam", "PeCycTlc", FIELD(PeCycTlc), K::kNumber16, 4, W::kAtOnce, kParam, ctl::param::kPeCycTlc, "258",
     "258"},
    {"RDTParam", "MaxRunHours", FIELD(MaxRunHours), K::kNumber16, 3, W::kAtOnce, kParam, ctl::param::kMaxRunHours,
     "258", "258"},
    {"RDTParam", "MaxLaterBadLun", FIELD(MaxLaterBadLun), K::kNumber16, 256, W::kAtOnce, kParam,
     ctl::param::kMaxLaterBadLun, "258", "258"},
    {"RDTParam", "StartWeru", FIELD(StartWeru), K::kNumber16, 0, W::kAtOnce, kParam, ctl::param::kStartWeru, "258",
     "258"},
    {"RDTParam", "EndWeru", FIELD(EndWeru), K::kNumber16, 0, W::kAtOnce, kParam, ctl::param::kEndWeru, "258",
     "258"},
    {"RDTParam", "Resv1", FIELD(Resv1), K::kNumber16, 0, W::kAtOnce, kParam, ctl::param::kResv1, "258", "258"},
    {"RDTParam", "Resv2", FIELD(Resv2), K::kNumber16, 0, W::kAtOnce, kParam, ctl::param::kResv2, "258", "258"},
    {"DelayTime", "DelayBurner", FIELD(DelayBurner), K::kDelay, 0, W::kAtClose, kNone, 0, "258",
     "258"},
    {"DelayTime", "DelayNandCali", FIELD(DelayNandCali), K::kDelay, 0, W::kAtClose, kNone, 0, "258",
     "258"},
    {"DelayTime", "DelayNandErase", FIELD(DelayNandErase), K::kDelay, 0, W::kAtClose, kNone, 0,
     "258", "258"},
    {"DelayTime", "DelayReboot", FIELD(DelayReboot), K::kDelay, 0, W::kAtClose, kNone, 0, "258",
     "258"},
    {"FormatVolume", "FormatEn", FIELD(FormatEn), K::kFlag, 0, W::kAtClose, kMp, ctl::kFormatEn,
     "2", "1"},
    {"FormatVolume", "FileType", FIELD(FileType), K::kText, 0, W::kNever, kNone, 0, "ABCDEFGHI",
     kStoredText},
    {"Debug", "KeepSN", FIELD(KeepSN), K::kFlag, 0, W::kAtClose, kMp, ctl::kKeepSN, "2", "1"},
    {"Debug", "SpiDisable", FIELD(SpiDisable), K::kFlag, 0, W::kAtClose, kMp, ctl::kSpiDisable, "2",
     "1"},
    {"Debug", "Skip_RunBad", FIELD(Skip_RunBad), K::kFlag, 0, W::kAtClose, kMp, ctl::kSkipRunBad,
     "2", "1"},
    {"Debug", "JumpToFT3", FIELD(JumpToFT3), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kJumpToFT3, "2", "258"},
    {"Debug", "RdtParamEn", FIELD(RdtParamEn), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kRdtParamEnable, "2", "258"},
    {"Debug", "RDTRecordEn", FIELD(RDTRecordEn), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kRdtRecordEn, "2", "258"},
    {"Debug", "PrintBBT", FIELD(PrintBBT), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kPrintBbt, "2", "258"},
    {"Debug", "54TEM", FIELD(Tem54), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kTem54, "2", "258"},
    {"Debug", "BDIPM", FIELD(BDIPM), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kBdipm, "2", "258"},
    {"Debug", "BHIPM", FIELD(BHIPM), K::kFlag, 0, W::kAtOnce, kParam, ctl::param::kBhipm, "2", "258"},
};

// A page as the window has it at start: the catalogue and both fixed lists
// filled.
void FillCombos(Station& st) {
  WriteFile(st.paths.gFlashIniPath,
            "[TOSHIBA]\r\nFlash_000=T0\r\nFlash_001=T1\r\nFlash_002=T2\r\n");
  for (const char* name : {"T0", "T1", "T2"}) st.view.AddComboItem(ctl::kFlashSelect, name);
  for (const char* item : {"Whole", "Without WPB0", "Without Keep"}) {
    st.view.AddComboItem(ctl::kNandEraseSelect, item);
  }
  for (const char* bin : {"Default", "Bin12", "Bin23"}) st.view.AddComboItem(ctl::kSetBin, bin);
}

TEST(OptionTable, EveryKeyLoadsItsDefaultAndItsValueAndIsSavedFromItsControl) {
  const std::span<const OptionRow> table = OptionTable();
  ASSERT_EQ(table.size(), std::size(kKeys));
  for (size_t i = 0; i < table.size(); ++i) {
    const OptionRow& row = table[i];
    const KeyCase& c = kKeys[i];
    SCOPED_TRACE(std::string(c.section) + "/" + std::string(c.key));
    EXPECT_EQ(row.section, c.section);
    EXPECT_EQ(row.key, c.key);
    EXPECT_EQ(row.kind, c.kind);
    EXPECT_EQ(row.fallback, c.fallback);
    EXPECT_EQ(row.write, c.write);
    EXPECT_EQ(row.page, c.page);
    EXPECT_EQ(row.control, c.control);

    // Missing from its section: the default.
    Station empty;
    WriteFile(empty.paths.gSettingsPath, "[" + std::string(c.section) + "]\r\nOther=7\r\n");
    ASSERT_TRUE(LoadSettings(empty.paths, empty.messages, empty.settings));
    EXPECT_EQ(c.field(empty.settings),
              c.kind == K::kText ? std::string() : std::to_string(c.fallback));

    // Stored: the field keeps what its width holds; the page shows it, and
    // what the page saves reads back.
    Station st;
    FillCombos(st);
    const std::string_view stored = c.kind == K::kText ? kStoredText : kStoredNumber;
    WriteFile(st.paths.gSettingsPath, "[" + std::string(c.section) + "]\r\n" + std::string(c.key) +
                                          "=" + std::string(stored) + "\r\n");
    LoadSettings(st.page);
    EXPECT_EQ(c.field(st.settings), c.loaded);
    ASSERT_TRUE(SaveSettings(st.page));
    const Profile saved = Profile::FromText(ReadFile(st.paths.gSettingsPath));
    EXPECT_EQ(saved.GetString(c.section, c.key, "(missing)", 100), c.saved);
  }
}

TEST(OptionTable, KeysWrittenAtOnceAreWrittenByTheirHandlers) {
  const std::span<const OptionRow> table = OptionTable();
  ASSERT_EQ(table.size(), std::size(kKeys));
  for (size_t i = 0; i < table.size(); ++i) {
    const OptionRow& row = table[i];
    if (row.write != W::kAtOnce) continue;
    SCOPED_TRACE(std::string(row.section) + "/" + std::string(row.key));
    Station st;
    WriteFile(st.paths.gSettingsPath, "[MPOption]\r\nMPVERSION=1\r\n");
    if (row.page == kMp) {
      st.view.checks[row.control] = true;
      OnOptionChanged(st.page, row);
    } else if (row.kind == K::kNumber16) {
      EXPECT_TRUE(OnRdtParamEdited(st.paths, st.settings, row.control, "70001"));
    } else {
      EXPECT_TRUE(OnDebugFlagClicked(st.paths, st.settings, row.control, true));
    }
    const Profile file = Profile::FromText(ReadFile(st.paths.gSettingsPath));
    const bool number = row.kind == K::kNumber16;
    EXPECT_EQ(file.GetString(row.section, row.key, "(missing)", 20), number ? "70001" : "1");
    EXPECT_EQ(kKeys[i].field(st.settings), number ? "4465" : "1");
  }
}

}  // namespace
}  // namespace qelvar::settings
