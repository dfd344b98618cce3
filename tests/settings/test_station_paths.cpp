#include <gtest/gtest.h>

#include <filesystem>

#include "settings/station_paths.h"

namespace qelvar::settings {
namespace {

#ifdef _WIN32
const std::string kBase = "C:\\srv\\station";  // absolute only with its drive
const std::string kRoot = "C:\\";
#else
const std::string kBase = "/srv/station";
const std::string kRoot = "/s";
#endif

TEST(StationPaths, EveryPathIsBuiltFromTheStationFolder) {
#ifdef _WIN32
  StationPaths p = MakeStationPaths(kBase + "\\");
#else
  StationPaths p = MakeStationPaths(kBase + "/");
#endif
  EXPECT_EQ(p.gExeDir, kBase);
  EXPECT_EQ(p.gSettingsPath, kBase + "/speedQelvar.ini");
  EXPECT_EQ(p.gFlashIniPath, kBase + "/flash.ini");
  EXPECT_EQ(p.FirmwareDir(), kBase + "/Firmware");
  EXPECT_EQ(p.FirmwarePath("bnr.bin"), kBase + "/Firmware/bnr.bin");
  EXPECT_EQ(p.DbugDir(), kBase + "/dbug");
}

TEST(StationPaths, RelativeFolderIsTakenFromTheCurrentFolder) {
  StationPaths p = MakeStationPaths("station");
  EXPECT_EQ(p.gExeDir, (std::filesystem::current_path() / "station").string());
}

TEST(StationPaths, WithoutAFolderTheExecutablesOwnFolderIsUsed) {
  StationPaths p = MakeStationPaths();
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::is_regular_file(p.gExeDir + "/test_settings.exe")) << p.gExeDir;
#else
  EXPECT_TRUE(std::filesystem::is_regular_file(p.gExeDir + "/test_settings")) << p.gExeDir;
#endif
}

TEST(StationPaths, FirmwarePathHoldsAtMost259Characters) {
  StationPaths p = MakeStationPaths(kRoot);  // "/s/Firmware/", "C:/Firmware/": 12 characters
  EXPECT_EQ(p.FirmwarePath(std::string(247, 'f')).size(), 259u);
  EXPECT_EQ(p.FirmwarePath(std::string(248, 'f')), "");
}

}  // namespace
}  // namespace qelvar::settings
