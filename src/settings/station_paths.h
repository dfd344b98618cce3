// The station folder and the paths built from it. `gExeDir` is the folder of
// the running program unless the operator points the program at another
// station folder (the `--dir` option), so a station can live anywhere.
#pragma once

#include <string>
#include <string_view>

namespace qelvar::settings {

// Paths stored in the option record hold at most 259 characters.
inline constexpr size_t kPathCapacity = 260;
// A flash part name is used as a section name of at most 31 characters.
inline constexpr size_t kFlashNameChars = 31;

struct StationPaths {
  std::string gExeDir;        // no trailing "/"
  std::string gSettingsPath;  // gExeDir + "/speedQelvar.ini"
  std::string gFlashIniPath;  // gExeDir + "/flash.ini"

  [[nodiscard]] std::string FirmwareDir() const { return gExeDir + "/Firmware"; }
  [[nodiscard]] std::string DbugDir() const { return gExeDir + "/dbug"; }
  // gExeDir + "/Firmware/" + fileName; empty when that is longer than 259
  // characters, so an over-long name is never cut into another file's name.
  [[nodiscard]] std::string FirmwarePath(std::string_view fileName) const;
};

// The paths for the station folder `dir`, or for the default station folder
// when `dir` is empty. A relative `dir` is taken from the current folder.
[[nodiscard]] StationPaths MakeStationPaths(std::string_view dir = {});

// The default station folder of a program in `exeDir`: the program's own
// folder, except for an installed program (one in `installedBinDir`), whose
// station lives in `installedStationDir` (the package's
// /var/lib/qelvar/station). Both installed folders come from the build's
// install prefix; empty ones mean the build knows of no installed layout.
[[nodiscard]] std::string DefaultStationDir(std::string_view exeDir,
                                            std::string_view installedBinDir,
                                            std::string_view installedStationDir);

// DefaultStationDir for this program with the install folders it was built for.
[[nodiscard]] std::string DefaultStationDir();

}  // namespace qelvar::settings
