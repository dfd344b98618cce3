#include "platform/linux/process_rights.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qelvar::platform::linux_backend {

ProcessRights ThisProcessRights() {
  ProcessRights rights;
  std::error_code ec;
  rights.program = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  rights.root = ::geteuid() == 0;
  std::ifstream in("/proc/self/status");
  std::ostringstream text;
  text << in.rdbuf();
  rights.status = text.str();
  rights.fileHasCaps = !rights.program.empty() &&
                       ::getxattr(rights.program.c_str(), "security.capability", nullptr, 0) > 0;
  return rights;
}

bool ReadWriteRefused(const std::string& node) {
  return ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

}  // namespace qelvar::platform::linux_backend
