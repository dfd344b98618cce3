// One drive's partition table: an empty MBR first, then the one-partition
// layout, each followed by a re-read so the system's view follows the disk.

#include <algorithm>
#include <cstdio>

#include "format/format_drives.h"

namespace qelvar::format {

namespace {

// The first partition starts this many sectors after the end of the first
// track: sector 2048 with the usual 63 sectors per track, where every disk
// tool since has put it.
constexpr uint32_t kStartAfterFirstTrack = 1985;
constexpr uint8_t kTypeNtfs = 0x07;
constexpr uint64_t kMaxMbrSectors = 0xFFFFFFFF;

// The diagnostic line of a failed step, "<request> Error:<number> \r\n", for
// the caller's diagnostics and the log. Never printed here: standard output
// belongs to the program (a line tool's table or JSON).
struct Diagnostics {
  const DebugLog& log;
  const DebugLog& diagnostics;
  void operator()(const char* request, int error) const {
    char line[96];
    std::snprintf(line, sizeof line, "%s Error:%ld \r\n", request, static_cast<long>(error));
    if (diagnostics) diagnostics(line);
    if (log) log(line);
  }
};

}  // namespace

bool BuildDriveLayout(const platform::DiskGeometry& geometry, uint32_t signature,
                      platform::DriveLayout* out) {
  *out = platform::DriveLayout{};
  out->signature = signature;
  uint64_t bytesPerSector = geometry.bytesPerSector;
  if (bytesPerSector == 0) return false;
  uint64_t hidden = uint64_t{geometry.sectorsPerTrack} + kStartAfterFirstTrack;
  uint64_t diskSectors = geometry.diskBytes / bytesPerSector;
  if (diskSectors <= hidden) return false;
  uint64_t sectors =
      geometry.cylinders * geometry.tracksPerCylinder * uint64_t{geometry.sectorsPerTrack};
  // Whole cylinders counted from sector 0 can end up to a track-and-a-bit
  // past the disk once the partition starts at sector 2048.
  sectors = std::min({sectors, diskSectors - hidden, kMaxMbrSectors});
  if (sectors == 0) return false;

  platform::PartitionEntry& first = out->entries[0];
  first.type = kTypeNtfs;
  first.bootable = false;
  first.recognized = true;
  first.number = 1;
  first.startOffset = hidden * bytesPerSector;
  first.length = sectors * bytesPerSector;
  first.hiddenSectors = static_cast<uint32_t>(hidden);
  return true;
}

int PartitionDisk(platform::VolumeOps& volumes, platform::Clock& clock, std::string_view path,
                  const DebugLog& log, const DebugLog& diagnostics) {
  const Diagnostics Diagnose{log, diagnostics};
  int error = 0;
  std::unique_ptr<platform::DiskHandle> disk = volumes.OpenDisk(path, &error);
  if (!disk) {
    Diagnose("CreateFile()", error);
    return kOpenFailed;
  }
  // The same second gives the same signature: two drives partitioned within
  // one second carry equal signatures, as they always have.
  auto signature = static_cast<uint32_t>(clock.CalendarSeconds());
  if (!disk->CreateDisk(signature, &error)) {
    Diagnose("IOCTL_DISK_CREATE_DISK", error);
    return kCreateDiskFailed;
  }
  if (!disk->UpdateProperties(&error)) {
    Diagnose("IOCTL_DISK_UPDATE_PROPERTIES", error);
    return kUpdatePropertiesFailed;
  }
  platform::DiskGeometry geometry;
  if (!disk->GetGeometry(&geometry, &error)) {
    Diagnose("IOCTL_DISK_GET_DRIVE_GEOMETRY", error);
    return kGeometryFailed;
  }
  platform::DriveLayout layout;
  if (!BuildDriveLayout(geometry, signature, &layout)) {
    // Like a layout that cannot be allocated: no request was made, so there
    // is no platform error to print.
    if (log) log("The disk is too small for the partition layout\r\n");
    return kSetLayoutFailed;
  }
  if (!disk->SetDriveLayout(layout, &error)) {
    Diagnose("IOCTL_DISK_SET_DRIVE_LAYOUT_EX", error);
    return kSetLayoutFailed;
  }
  if (!disk->UpdateProperties(&error)) {
    Diagnose("IOCTL_DISK_UPDATE_PROPERTIES", error);
    return kSecondUpdateFailed;
  }
  disk.reset();
  // The system needs the time to bring up the new volume.
  clock.SleepMs(kAfterPartitionMs);
  return kPartitioned;
}

}  // namespace qelvar::format
