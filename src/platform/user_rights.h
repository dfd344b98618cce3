// What this user may do with the station folder.
#pragma once

#include <optional>
#include <string>

namespace qelvar::platform {

struct FolderRights {
  bool writable = false;  // this user may create files in it
  std::string group;      // the folder's group, named; empty where files have none
};

// The rights of this user in `folder`; nothing when it is not a folder (or
// is empty).
[[nodiscard]] std::optional<FolderRights> RightsInFolder(const std::string& folder);

}  // namespace qelvar::platform
