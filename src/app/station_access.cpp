// The checks of station_access.h that read no system: the capability sets
// and the sentences for the operator.
#include "app/station_access.h"

#include "platform/user_rights.h"

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
  const std::optional<platform::FolderRights> rights = platform::RightsInFolder(folder);
  if (!rights || rights->writable) return {};
  const std::string& group = rights->group;
  std::string text = "this user cannot write the station folder " + folder +
                     " (the settings file and the run reports are written there)";
  if (group.empty()) {
    text += ": give the user write access to it, or choose another station folder with --dir";
  } else if (group == kGroup) {
    text += ": add the user to the group " + group + " (usermod -aG " + group +
            " USER) and log in again, or choose another station folder with --dir";
  } else {
    text += ": give the user write access to it (its group is " + group +
            "), or choose another station folder with --dir";
  }
  return text;
}

}  // namespace qelvar::app
