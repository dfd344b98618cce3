// The post-run format: every station drive gets a fresh MBR with one NTFS
// partition, and the volume the system then shows for it is formatted with
// the label "UDISK-" and the volume's letter. Runs at the end of a run when
// "Format" is checked and blocks its caller: 3 s after each partitioned
// drive, 5 s after each started format (the window runs it on a thread of its
// own, see background_format.h).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/ports.h"
#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/topology.h"
#include "platform/volume_ops.h"
#include "settings/settings_view.h"

namespace qelvar::format {

// Results of PartitionDisk.
inline constexpr int kPartitioned = 0;
inline constexpr int kOpenFailed = 2;
inline constexpr int kCreateDiskFailed = 3;
inline constexpr int kUpdatePropertiesFailed = 4;
inline constexpr int kGeometryFailed = 5;
inline constexpr int kSetLayoutFailed = 6;
inline constexpr int kSecondUpdateFailed = 7;

// FormatNewVolumes: no new volume of a partitioned drive showed up.
inline constexpr int kNoNewVolume = 255;

inline constexpr uint32_t kAfterPartitionMs = 3000;
inline constexpr uint32_t kAfterFormatStartMs = 5000;

// What the operator reads when nothing could be formatted. The caption is
// left empty: the message sink shows the application's own title.
inline constexpr std::string_view kFormatErrorText = "Format para error!";
inline constexpr std::string_view kFormatErrorCaption = "";
// A format that could not be started or ended with a failure.
inline constexpr std::string_view kFormatFailCaption = "Format Fail";

// Receives the diagnostic lines of PartitionDisk and a line per skipped port,
// left-alone volume and finished format. Empty: dropped. Nothing of the format
// is ever printed by the format itself: a line tool's standard output carries
// only its own table.
using DebugLog = std::function<void(std::string_view line)>;

// A station drive whose disk was partitioned in this format.
struct PartitionedDisk {
  int port = 0;
  std::string disk;  // device path, as VolumeOps lists it for the disk's volumes
};

// The layout written to a disk of this geometry: entry 1 type 07h, number 1,
// starting at sector (sectors per track + 1985) and reaching over the whole
// cylinders, cut where it would pass the disk's last sector or the 2^32 - 1
// sectors an MBR entry can count; entries 2 to 4 empty. False when the disk
// is too small to hold a sector after the start.
[[nodiscard]] bool BuildDriveLayout(const platform::DiskGeometry& geometry, uint32_t signature,
                                    platform::DriveLayout* out);

// Gives the disk at `path` an empty MBR with a signature from the calendar
// time, then the layout, re-reading the table after each, and waits 3 s.
// Returns 0 or the number of the failed step (2 open, 3 create disk, 4 first
// re-read, 5 geometry, 6 layout, 7 second re-read); each failure sends its
// diagnostic line ("CreateFile() Error:2 \r\n") with the platform's error
// number to `diagnostics` (a line tool's standard error) and to `log`.
[[nodiscard]] int PartitionDisk(platform::VolumeOps& volumes, platform::Clock& clock,
                                std::string_view path, const DebugLog& log = {},
                                const DebugLog& diagnostics = {});

// Every fixed volume the system shows, sorted by name, into *out. Returns how
// many.
size_t ListFixedDriveLetters(platform::VolumeOps& volumes, std::vector<platform::FixedVolume>* out);

// Formats the volumes that appeared since `snapshot` on the disks just
// partitioned, in name order, waiting 5 s after each start. Returns 255, and
// formats nothing, when the number of fixed volumes has not grown; also 255
// when none of the new volumes lies on a partitioned disk. Otherwise 0.
// Volumes on other disks are never touched. Formats that cannot be started or
// that have already failed are reported to the operator.
[[nodiscard]] int FormatNewVolumes(platform::VolumeOps& volumes, platform::Clock& clock,
                                   settings::MessageSink& messages,
                                   std::span<const platform::FixedVolume> snapshot,
                                   std::span<const PartitionedDisk> partitioned,
                                   const DebugLog& log = {});

// The whole post-run format. Covers every port number ever assigned. Each
// port that held a drive at the last scan has its disk found again from its
// hub port (the drives have rebooted since, and the system may have renamed
// them); a port whose hub port no longer holds a fixed USB disk is skipped.
// A port without a drive fails at the open, as it always has. Failed ports
// get their flag set to 1. Shows "Format para error!" when nothing new could
// be formatted. Returns the number of ports whose partitioning failed.
// PartitionDisk's diagnostic lines go to `diagnostics` as well as to `log`.
int FormatDrives(discovery::PortState& ports, platform::Topology& topology, platform::DeviceIo& io,
                 platform::VolumeOps& volumes, platform::Clock& clock,
                 settings::MessageSink& messages,
                 std::span<uint8_t, discovery::kPortCount> failedPorts, const DebugLog& log = {},
                 const DebugLog& diagnostics = {});

// Reports formats that have ended: each failure to the operator ("Format
// Fail"), each success to the log.
void ReportFormatOutcomes(std::span<const platform::FormatOutcome> ended,
                          settings::MessageSink& messages, const DebugLog& log = {});

// Reports the formats that have ended since the last collection (failures to
// the operator, successes to the log). Returns how many still run. Cheap; a
// timer or the next run may call it.
size_t CollectFormatResults(platform::VolumeOps& volumes, settings::MessageSink& messages,
                            const DebugLog& log = {});

// Collects until every format has ended or `timeoutMs` has passed, polling
// every 250 ms; for a headless run that must not exit under a running format.
// Returns how many still run.
size_t WaitForFormats(platform::VolumeOps& volumes, platform::Clock& clock,
                      settings::MessageSink& messages, uint32_t timeoutMs,
                      const DebugLog& log = {});

}  // namespace qelvar::format
