// The checks of station_access.h on Linux: the program's capabilities and the
// device nodes of the disks behind USB bridges.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "app/station_access.h"
#include "platform/linux/process_rights.h"

namespace qelvar::app {
namespace {

// The group the package gives the disks behind USB bridges.
constexpr const char* kGroup = "qelvar";

}  // namespace

CapabilityFacts ThisProgramsCapabilities() {
  const platform::linux_backend::ProcessRights rights = platform::linux_backend::ThisProcessRights();
  CapabilityFacts facts;
  facts.program = rights.program;
  facts.root = rights.root;
  facts.effective = EffectiveCapabilities(rights.status).value_or(0);
  facts.noNewPrivs = NoNewPrivs(rights.status);
  facts.fileHasCaps = rights.fileHasCaps;
  return facts;
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
    if (platform::linux_backend::ReadWriteRefused(node)) refused.push_back(node);
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
