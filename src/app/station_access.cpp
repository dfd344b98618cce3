#include "app/station_access.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qelvar::app {
namespace {

constexpr const char* kGroup = "qelvar";
constexpr const char* kCapabilities = "cap_sys_rawio,cap_sys_admin+ep";

// The value of the line "Key:\t..." in /proc/<pid>/status text.
std::optional<std::string_view> StatusField(std::string_view text, std::string_view key) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      std::string_view value = line.substr(key.size() + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      return value;
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::string GroupName(gid_t gid) {
  std::array<char, 4096> buffer{};
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::optional<uint64_t> EffectiveCapabilities(std::string_view procStatus) {
  std::optional<std::string_view> value = StatusField(procStatus, "CapEff");
  if (!value || value->empty() || value->size() > 16) return std::nullopt;
  uint64_t bits = 0;
  for (char c : *value) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return std::nullopt;
    bits = bits << 4 | static_cast<uint64_t>(digit);
  }
  return bits;
}

bool NoNewPrivs(std::string_view procStatus) {
  std::optional<std::string_view> value = StatusField(procStatus, "NoNewPrivs");
  return value && *value == "1";
}

CapabilityFacts ThisProgramsCapabilities() {
  CapabilityFacts facts;
  std::error_code ec;
  facts.program = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  facts.root = ::geteuid() == 0;
  std::string status = ReadAll("/proc/self/status");
  facts.effective = EffectiveCapabilities(status).value_or(0);
  facts.noNewPrivs = NoNewPrivs(status);
  facts.fileHasCaps = !facts.program.empty() &&
                      ::getxattr(facts.program.c_str(), "security.capability", nullptr, 0) > 0;
  return facts;
}

CapabilityProblem FindCapabilityProblem(const CapabilityFacts& facts) {
  const bool rawio = facts.effective >> kCapSysRawio & 1;
  const bool admin = facts.effective >> kCapSysAdmin & 1;
  if (rawio && admin) return {};
  CapabilityProblem problem;
  problem.fatal = !rawio;
  std::string missing = !rawio && !admin ? "CAP_SYS_RAWIO (the vendor commands through SG_IO) and "
                                           "CAP_SYS_ADMIN (re-reading a formatted drive's "
                                           "partition table)"
                        : !rawio         ? "CAP_SYS_RAWIO (the vendor commands through SG_IO)"
                                 : "CAP_SYS_ADMIN (re-reading a formatted drive's partition "
                                   "table, so formatting fails)";
  const std::string program = facts.program.empty() ? "the program" : facts.program;
  std::string why;
  if (facts.noNewPrivs) {
    why =
        "it was started with no_new_privs set, which ignores the capabilities of program "
        "files: start it without that restriction";
  } else if (facts.fileHasCaps) {
    why =
        "the program file carries capabilities but they were not granted: its file system "
        "is mounted nosuid, or they do not include these; as root: setcap " +
        std::string(kCapabilities) + " " + program;
  } else {
    why = "the program file " + program +
          " carries no file capabilities (its file system does not keep them, or it is a "
          "copy): as root run setcap " +
          std::string(kCapabilities) + " " + program + ", or reinstall the package";
  }
  problem.text = "this program lacks " + missing + ": " + why;
  return problem;
}

std::string StationFolderProblem(const std::string& folder) {
  struct stat st {};
  if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return {};
  std::string group = GroupName(st.st_gid);
  std::string text = "this user cannot write the station folder " + folder +
                     " (the settings file and the run reports are written there)";
  if (group == kGroup) {
    text += ": add the user to the group " + group + " (usermod -aG " + group +
            " USER) and log in again, or choose another station folder with --dir";
  } else {
    text += ": give the user write access to it (its group is " + group +
            "), or choose another station folder with --dir";
  }
  return text;
}

std::string DriveAccessProblem(const std::string& sysfsRoot, const std::string& devRoot) {
  namespace fs = std::filesystem;
  std::vector<std::string> refused;
  std::error_code ec;
  fs::directory_iterator disks(fs::path(sysfsRoot) / "block", ec);
  for (; !ec && disks != fs::directory_iterator(); disks.increment(ec)) {
    std::error_code linkEc;
    // /sys/block/sdb -> ../devices/pci.../usb2/2-1/2-1:1.0/host0/.../block/sdb
    std::string target = fs::read_symlink(disks->path(), linkEc).string();
    if (linkEc || target.find("/usb") == std::string::npos) continue;
    std::string node = devRoot + "/" + disks->path().filename().string();
    if (::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES) {
      refused.push_back(node);
    }
  }
  if (refused.empty()) return {};
  std::sort(refused.begin(), refused.end());
  std::string list;
  for (const std::string& node : refused) list += (list.empty() ? "" : ", ") + node;
  return "this user cannot open the disks behind USB bridges for reading and writing (" + list +
         "): add the user to the group " + kGroup + " (usermod -aG " + kGroup +
         " USER) and log in again; the package's udev rule gives that group those disks";
}

StationAccess CheckStationAccess(const std::string& stationFolder, bool realDrives,
                                 bool writesFolder) {
  StationAccess access;
  if (realDrives) {
    CapabilityProblem caps = FindCapabilityProblem(ThisProgramsCapabilities());
    if (!caps.text.empty()) (caps.fatal ? access.errors : access.warnings).push_back(caps.text);
    if (std::string drives = DriveAccessProblem(); !drives.empty()) {
      access.warnings.push_back(drives);
    }
  }
  if (std::string folder = StationFolderProblem(stationFolder); !folder.empty()) {
    (writesFolder ? access.errors : access.warnings).push_back(folder);
  }
  return access;
}

}  // namespace qelvar::app
