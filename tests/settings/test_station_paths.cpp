#include <gtest/gtest.h>

#include <filesystem>

#include "settings/station_paths.h"

namespace qelvar::settings {
namespace {

TEST(StationPaths, EveryPathIsBuiltFromTheStationFolder) {
  StationPaths p = MakeStationPaths("/srv/station/");
  EXPECT_EQ(p.gExeDir, "/srv/station");
  EXPECT_EQ(p.gSettingsPath, "/srv/station/speedQelvar.ini");
  EXPECT_EQ(p.gFlashIniPath, "/srv/station/flash.ini");
  EXPECT_EQ(p.FirmwareDir(), "/srv/station/Firmware");
  EXPECT_EQ(p.FirmwarePath("bnr.bin"), "/srv/station/Firmware/bnr.bin");
  EXPECT_EQ(p.DbugDir(), "/srv/station/dbug");
}

TEST(StationPaths, RelativeFolderIsTakenFromTheCurrentFolder) {
  StationPaths p = MakeStationPaths("station");
  EXPECT_EQ(p.gExeDir, (std::filesystem::current_path() / "station").string());
}

TEST(StationPaths, WithoutAFolderTheExecutablesOwnFolderIsUsed) {
  StationPaths p = MakeStationPaths();
  EXPECT_TRUE(std::filesystem::is_regular_file(p.gExeDir + "/test_settings")) << p.gExeDir;
}

TEST(StationPaths, FirmwarePathHoldsAtMost259Characters) {
  StationPaths p = MakeStationPaths("/s");  // "/s/Firmware/" is 12 characters
  EXPECT_EQ(p.FirmwarePath(std::string(247, 'f')).size(), 259u);
  EXPECT_EQ(p.FirmwarePath(std::string(248, 'f')), "");
}

}  // namespace
}  // namespace qelvar::settings
