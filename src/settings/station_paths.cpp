#include "settings/station_paths.h"

#include <filesystem>

#include "platform/files.h"

namespace qelvar::settings {

std::string StationPaths::FirmwarePath(std::string_view fileName) const {
  std::string path = FirmwareDir();
  path += '/';
  path += fileName;
  if (path.size() > kPathCapacity - 1) return {};
  return path;
}

std::string DefaultStationDir(std::string_view exeDir, std::string_view installedBinDir,
                              std::string_view installedStationDir) {
  if (exeDir.empty() || installedBinDir.empty() || installedStationDir.empty()) {
    return std::string(exeDir);
  }
  // Compared as real folders: /bin may be a link to /usr/bin, and the
  // executable's own path is already resolved.
  std::error_code ec;
  auto real = [&ec](std::string_view folder) {
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::path(folder), ec);
    return ec ? std::filesystem::path(folder).lexically_normal() : p;
  };
  if (real(exeDir) == real(installedBinDir)) return std::string(installedStationDir);
  return std::string(exeDir);
}

std::string DefaultStationDir() {
#if defined(QELVAR_INSTALLED_BINDIR) && defined(QELVAR_INSTALLED_STATION_DIR)
  return DefaultStationDir(platform::ExecutableDir(), QELVAR_INSTALLED_BINDIR,
                           QELVAR_INSTALLED_STATION_DIR);
#else
  return platform::ExecutableDir();
#endif
}

StationPaths MakeStationPaths(std::string_view dir) {
  std::string folder(dir);
  if (folder.empty()) folder = DefaultStationDir();
  std::error_code ec;
  if (folder.empty()) {
    folder = std::filesystem::current_path(ec).string();
  } else if (std::filesystem::path(folder).is_relative()) {
    auto absolute = std::filesystem::absolute(folder, ec);
    if (!ec) folder = absolute.lexically_normal().string();
  }
  // An absolute folder ends in a backslash on Windows ("C:\\station\\").
  while (folder.size() > 1 && platform::kPathSeparators.find(folder.back()) != std::string::npos) {
    folder.pop_back();
  }
  if (folder == "/") folder.clear();

  StationPaths paths;
  paths.gExeDir = folder;
  paths.gSettingsPath = folder + "/speedQelvar.ini";
  paths.gFlashIniPath = folder + "/flash.ini";
  return paths;
}

}  // namespace qelvar::settings
