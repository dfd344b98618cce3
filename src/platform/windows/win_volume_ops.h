// VolumeOps on Windows.
//
// - Disks are "\\.\PhysicalDrive%d" handles opened for reading and writing,
//   shared, existing only, after each of the disk's mounted volumes ("\\.\E:")
//   has been locked (where nothing else holds it) and dismounted; the four disk requests are IOCTL_DISK_CREATE_DISK
//   (an empty MBR with the signature), IOCTL_DISK_UPDATE_PROPERTIES,
//   IOCTL_DISK_GET_DRIVE_GEOMETRY (with IOCTL_DISK_GET_LENGTH_INFO for the
//   disk's size) and IOCTL_DISK_SET_DRIVE_LAYOUT_EX.
// - Fixed volumes are the drive letters whose drive type is fixed; each is
//   tied to its disk through IOCTL_STORAGE_GET_DEVICE_NUMBER on "\\.\E:", so
//   the format only ever touches volumes of the disks it partitioned.
// - A format is the command interpreter, started hidden through
//   ShellExecuteExA, running format.com; its process is kept so its exit
//   status can be collected without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/volume_ops.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {

class WinVolumeOps final : public VolumeOps {
 public:
  explicit WinVolumeOps(Win32Api& api = SystemWin32Api()) : api_(api) {}
  // Formats still running are left to finish; their handles are released.
  ~WinVolumeOps() override;
  WinVolumeOps(const WinVolumeOps&) = delete;
  WinVolumeOps& operator=(const WinVolumeOps&) = delete;

  std::unique_ptr<DiskHandle> OpenDisk(std::string_view path, int* error) override;
  std::vector<FixedVolume> ListFixedVolumes() override;
  bool StartFormat(const FixedVolume& volume, std::string_view label, std::string* detail) override;
  std::vector<FormatOutcome> CollectFinishedFormats() override;
  size_t FormatsRunning() const override { return jobs_.size(); }

 private:
  struct Job {
    HANDLE process = nullptr;
    std::string volume;
    std::string label;
  };
  Win32Api& api_;
  std::vector<Job> jobs_;
};

// The parameters given to CMD.EXE to format the volume of drive `letter`
// quickly as NTFS with 64 KiB clusters and `label`. Empty when the letter is
// not A to Z or the label is not 1 to 32 letters, digits, "-" or "_" (the
// text goes through the command interpreter).
std::string FormatParameters(char letter, std::string_view label);

// The IOCTL_DISK_SET_DRIVE_LAYOUT_EX block for an MBR layout: the
// DRIVE_LAYOUT_INFORMATION_EX header and its four partition entries.
std::vector<uint8_t> EncodeDriveLayout(const DriveLayout& layout);

}  // namespace qelvar::platform::windows
