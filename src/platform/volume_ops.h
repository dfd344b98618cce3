// What the post-run format needs from the operating system: a drive's disk
// opened for writing its partition table, the system's view of its fixed
// volumes, and a volume format that runs on in its own process.
//
// The shape follows the disk requests the station has always used (create an
// empty MBR disk, re-read its properties, read its geometry, write a drive
// layout), so a backend with drive letters and one without both fit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qelvar::platform {

// The geometry a platform reports for a disk of its size: 255 tracks per
// cylinder, 63 sectors per track, the logical sector size, and as many whole
// cylinders as fit. `diskBytes` is the disk's size, so a layout can be kept
// inside the disk whatever the cylinder rounding.
struct DiskGeometry {
  uint64_t cylinders = 0;
  uint32_t tracksPerCylinder = 0;
  uint32_t sectorsPerTrack = 0;
  uint32_t bytesPerSector = 0;
  uint64_t diskBytes = 0;
};

inline constexpr uint32_t kTracksPerCylinder = 255;
inline constexpr uint32_t kSectorsPerTrack = 63;

// The geometry for a disk of `diskBytes` bytes with logical sectors of
// `bytesPerSector` bytes (a zero sector size gives zero cylinders).
[[nodiscard]] DiskGeometry GeometryForSize(uint64_t diskBytes, uint32_t bytesPerSector);

// One entry of an MBR drive layout. Offsets and lengths are in bytes.
struct PartitionEntry {
  uint8_t type = 0;  // 00h: empty entry
  bool bootable = false;
  bool recognized = false;
  bool rewrite = true;
  uint32_t number = 0;
  uint64_t startOffset = 0;
  uint64_t length = 0;
  uint32_t hiddenSectors = 0;
};

inline constexpr size_t kMbrEntries = 4;

struct DriveLayout {
  uint32_t signature = 0;
  std::array<PartitionEntry, kMbrEntries> entries{};
};

// One open disk. Every request returns false with *error set to the
// platform's error number when it fails. Closing is the destructor.
class DiskHandle {
 public:
  virtual ~DiskHandle() = default;
  // Writes an empty MBR partition table carrying `signature`.
  [[nodiscard]] virtual bool CreateDisk(uint32_t signature, int* error) = 0;
  // Makes the system read the disk's partition table again, so its volumes
  // follow what is on the disk now.
  [[nodiscard]] virtual bool UpdateProperties(int* error) = 0;
  [[nodiscard]] virtual bool GetGeometry(DiskGeometry* out, int* error) = 0;
  [[nodiscard]] virtual bool SetDriveLayout(const DriveLayout& layout, int* error) = 0;
};

// A volume on a fixed (non-removable) disk, as the system lists it.
struct FixedVolume {
  std::string name;  // how the system names it ("sdb1"); new volumes are found by name
  std::string disk;  // the device path of its disk, in the form DeviceIo::DiskPath gives
  std::string path;  // what the format is given
  char letter = 0;   // its drive letter; 0 on a platform without drive letters
};

// How a format ended.
struct FormatOutcome {
  std::string volume;  // FixedVolume::name
  std::string label;
  bool succeeded = false;
  std::string detail;  // what went wrong, for the operator; empty on success
};

// Used from one thread at a time (the UI thread, at the end of a run).
class VolumeOps {
 public:
  virtual ~VolumeOps() = default;

  // Opens an existing disk for writing its partition table; null with *error
  // set when it cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<DiskHandle> OpenDisk(std::string_view path, int* error) = 0;

  // Every volume on a fixed disk, sorted by name.
  [[nodiscard]] virtual std::vector<FixedVolume> ListFixedVolumes() = 0;

  // Starts a quick NTFS format of the volume with 64 KiB clusters and the
  // given label, and returns without waiting for it. False with *detail when
  // the format could not be started.
  [[nodiscard]] virtual bool StartFormat(const FixedVolume& volume, std::string_view label,
                                         std::string* detail) = 0;

  // The formats that have ended since the last call, without waiting for any
  // that still run.
  [[nodiscard]] virtual std::vector<FormatOutcome> CollectFinishedFormats() = 0;

  // How many started formats have not been collected yet.
  [[nodiscard]] virtual size_t FormatsRunning() const = 0;
};

}  // namespace qelvar::platform
