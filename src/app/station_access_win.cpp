// The checks of station_access.h on Windows (station_access.cpp is the Linux
// one): the drives' pass-through requests need an administrator, and the
// station folder must take new files.
#include <atomic>
#include <string>

#include "app/station_access.h"
#include "platform/windows/win32_api.h"
#include "platform/windows/win_device_io.h"

namespace qelvar::app {

std::string StationFolderProblem(const std::string& folder) {
  if (folder.empty()) return {};
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  // The access rules of a folder are easiest asked by trying: a file the
  // system removes again when its handle closes.
  static std::atomic<unsigned> serial{0};
  const std::string probe = folder + "\\.qelvar-write-check-" +
                            std::to_string(::GetCurrentProcessId()) + "-" +
                            std::to_string(serial.fetch_add(1));
  HANDLE h = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return {};
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT) return {};
  return "this user cannot write the station folder " + folder +
         " (the settings file and the run reports are written there): give the user write "
         "access to it, or choose another station folder with --dir";
}

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
