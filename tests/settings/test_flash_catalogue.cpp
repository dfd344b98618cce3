#include <gtest/gtest.h>

#include "settings/flash_catalogue.h"
#include "settings_fixtures.h"

namespace qelvar::settings {
namespace {

using testing::Message;
using testing::Station;
using testing::Warning;
using testing::WriteFile;
using Items = std::vector<std::string>;

TEST(FlashCatalogue, ListsToshibaThenMicronThenHynixWhateverTheFileOrder) {
  Station st;
  WriteFile(st.paths.gFlashIniPath,
            "[HYNIX]\r\nFlash_000=HX_V7\r\n"
            "[SAMSUNG]\r\nFlash_000=SS_V6\r\n"
            "[MICRON]\r\nFlash_000=MU_B47R\r\n"
            "[TOSHIBA]\r\nFlash_001=TSB_BICS4\r\nFlash_000=TSB_BICS3\r\n");
  LoadFlashCatalogue(st.page);
  EXPECT_TRUE(st.messages.shown.empty());
  EXPECT_EQ(st.view.items[ctl::kFlashSelect],
            (Items{"TSB_BICS3", "TSB_BICS4", "MU_B47R", "HX_V7"}));
}

TEST(FlashCatalogue, AVendorListEndsAtTheFirstMissingOrEmptyKey) {
  Station st;
  WriteFile(st.paths.gFlashIniPath,
            "[TOSHIBA]\r\nFlash_000=T0\r\nFlash_001=\r\nFlash_002=T2\r\n"
            "[MICRON]\r\nFlash_001=M1\r\nFlash_0=M0\r\n"
            "[hynix]\r\nflash_000 = H0\r\nFlash_001=H1\r\nFlash_003=H3\r\n");
  EXPECT_EQ(ReadFlashCatalogue(st.paths.gFlashIniPath), (Items{"T0", "H0", "H1"}));
}

TEST(FlashCatalogue, MissingFileWarnsAndLeavesTheListEmpty) {
  Station st;
  LoadFlashCatalogue(st.page);
  EXPECT_EQ(st.messages.shown,
            (std::vector<Message>{Warning("No Flash.ini File", "Can NOT Open Ini File")}));
  EXPECT_EQ(st.view.ComboCount(ctl::kFlashSelect), 0);
}

TEST(FlashCatalogue, ItemTextsKeepUpTo259Characters) {
  Station st;
  const std::string longName(300, 'L');
  WriteFile(st.paths.gFlashIniPath, "[MICRON]\r\nFlash_000=" + longName + "\r\n");
  EXPECT_EQ(ReadFlashCatalogue(st.paths.gFlashIniPath), (Items{std::string(259, 'L')}));
}

TEST(OnFlashSelect, SelectedPositionBecomesFlashIndexAndPicksThatPartsFirmware) {
  Station st;
  WriteFile(st.paths.gFlashIniPath,
            "[TOSHIBA]\r\nFlash_000=TSB_A\r\nFlash_001=TSB_B\r\n[MICRON]\r\nFlash_000=MU_B\r\n"
            "[TSB_B]\r\nDefautBnr=tsb.bin\r\n[MU_B]\r\nDefautBnr=mu.bin\r\nSetCapacity=512\r\n");
  LoadFlashCatalogue(st.page);
  st.view.SetComboSelection(ctl::kFlashSelect, 2);
  OnFlashSelect(st.page);
  EXPECT_EQ(st.settings.FlashIndex, 2);
  EXPECT_STREQ(st.settings.DefautBnr, "mu.bin");
  EXPECT_EQ(st.view.EditText(ctl::kBurnerFile), "mu.bin");
  EXPECT_EQ(st.settings.SetCapacity, 512);
}

}  // namespace
}  // namespace qelvar::settings
