// The checks of station_access.h on Windows (station_access_linux.cpp is the
// Linux one): the drives' pass-through requests need an administrator, and
// the station folder must take new files.
#include <string>

#include "app/station_access.h"
#include "platform/windows/win_device_io.h"

namespace qelvar::app {

StationAccess CheckStationAccess(const std::string& stationFolder, bool realDrives,
                                 bool writesFolder) {
  StationAccess access;
  if (std::string why; realDrives && !platform::windows::CanSendVendorCommands(&why)) {
    access.errors.push_back(why);
  }
  if (std::string folder = StationFolderProblem(stationFolder); !folder.empty()) {
    (writesFolder ? access.errors : access.warnings).push_back(folder);
  }
  return access;
}

}  // namespace qelvar::app
