// The Windows RightsInFolder of platform/user_rights.h: the access rules of a
// folder are easiest asked by trying, with a file the system removes again
// when its handle closes.
#include <atomic>
#include <string>

#include "platform/user_rights.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform {

std::optional<FolderRights> RightsInFolder(const std::string& folder) {
  if (folder.empty()) return std::nullopt;
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  static std::atomic<unsigned> serial{0};
  const std::string probe = folder + "\\.qelvar-write-check-" +
                            std::to_string(::GetCurrentProcessId()) + "-" +
                            std::to_string(serial.fetch_add(1));
  FolderRights rights;
  HANDLE h = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    rights.writable = true;
    return rights;
  }
  // Only a refusal counts; other failures are for the writes themselves to name.
  const DWORD error = ::GetLastError();
  rights.writable = error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
  return rights;
}

}  // namespace qelvar::platform
