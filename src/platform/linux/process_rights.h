// The facts of this process that decide whether it may reach the drives on
// Linux: its capabilities and the device nodes' permissions.
#pragma once

#include <string>

namespace qelvar::platform::linux_backend {

struct ProcessRights {
  std::string program;       // the program file; empty when the system does not say
  bool root = false;         // effective user ID 0
  std::string status;        // the text of /proc/self/status
  bool fileHasCaps = false;  // the program file carries file capabilities
};

[[nodiscard]] ProcessRights ThisProcessRights();

// True when this user is refused opening `node` for reading and writing
// (any other failure is for the open itself to name).
[[nodiscard]] bool ReadWriteRefused(const std::string& node);

}  // namespace qelvar::platform::linux_backend
