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

StationPaths MakeStationPaths(std::string_view dir) {
  std::string folder(dir);
  if (folder.empty()) folder = platform::ExecutableDir();
  std::error_code ec;
  if (folder.empty()) {
    folder = std::filesystem::current_path(ec).string();
  } else if (std::filesystem::path(folder).is_relative()) {
    auto absolute = std::filesystem::absolute(folder, ec);
    if (!ec) folder = absolute.lexically_normal().string();
  }
#ifdef _WIN32
  // An absolute folder ends in a backslash on Windows ("C:\\station\\").
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
#else
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
#endif
  if (folder == "/") folder.clear();

  StationPaths paths;
  paths.gExeDir = folder;
  paths.gSettingsPath = folder + "/speedQelvar.ini";
  paths.gFlashIniPath = folder + "/flash.ini";
  return paths;
}

}  // namespace qelvar::settings
