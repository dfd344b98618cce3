// The POSIX RightsInFolder of platform/user_rights.h.
#include "platform/user_rights.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace qelvar::platform {
namespace {

std::string GroupName(gid_t gid) {
  std::array<char, 4096> buffer{};
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

}  // namespace

std::optional<FolderRights> RightsInFolder(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return std::nullopt;
  }
  FolderRights rights;
  rights.writable = ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  if (!rights.writable) rights.group = GroupName(st.st_gid);
  return rights;
}

}  // namespace qelvar::platform
