// What keeps this user from running the station, said so an operator or a
// technician knows what to fix: the program's capabilities, the station
// folder it writes and the device nodes of the drives. The installed
// programs run without root: they belong to the group qelvar, carry the file
// capabilities the drives need, and a udev rule gives the group the disks
// behind USB bridges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelvar::app {

// On Linux the drives need capabilities, and the disks' device nodes must
// open for this user. Bit numbers of the capability sets in /proc/<pid>/status.
inline constexpr int kCapSysRawio = 17;  // vendor commands through SG_IO
inline constexpr int kCapSysAdmin = 21;  // BLKRRPART when formatting

// The effective capability set from the text of /proc/<pid>/status; nothing
// when the text has no CapEff line.
[[nodiscard]] std::optional<uint64_t> EffectiveCapabilities(std::string_view procStatus);
// The NoNewPrivs flag from the same text.
[[nodiscard]] bool NoNewPrivs(std::string_view procStatus);

struct CapabilityFacts {
  std::string program;       // the program file
  bool root = false;         // effective user ID 0
  uint64_t effective = 0;    // the effective capability set
  bool fileHasCaps = false;  // the program file carries file capabilities
  bool noNewPrivs = false;   // started with no_new_privs: file capabilities ignored
};

// The facts of this process (Linux only).
[[nodiscard]] CapabilityFacts ThisProgramsCapabilities();

// What the drives need and this program lacks: `fatal` is set when the
// vendor commands cannot be sent at all (no CAP_SYS_RAWIO), otherwise a
// missing CAP_SYS_ADMIN only keeps the format from finishing. Empty when
// nothing is missing.
struct CapabilityProblem {
  std::string text;
  bool fatal = false;
};
[[nodiscard]] CapabilityProblem FindCapabilityProblem(const CapabilityFacts& facts);

// Empty when this user may create files in the station folder `folder` (or
// the folder does not exist: that is a setup error of its own); otherwise a
// sentence naming the folder and its group.
[[nodiscard]] std::string StationFolderProblem(const std::string& folder);

// Empty when this user may open every disk behind a USB bridge for reading
// and writing; otherwise a sentence naming those it may not. The disks are
// found under sysfsRoot/block, their nodes under devRoot. Linux only, as
// ThisProgramsCapabilities.
[[nodiscard]] std::string DriveAccessProblem(const std::string& sysfsRoot = "/sys",
                                             const std::string& devRoot = "/dev");

// Every check a program makes before it starts. `realDrives`: the program
// uses this machine's drives (not the simulated station); `writesFolder`:
// what it is about to do writes into the station folder, so an unwritable
// folder stops it. On Windows the drives need an administrator instead of
// capabilities and device-node access. Errors stop the program; warnings are shown and it goes on.
struct StationAccess {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};
[[nodiscard]] StationAccess CheckStationAccess(const std::string& stationFolder, bool realDrives,
                                               bool writesFolder);

}  // namespace qelvar::app
