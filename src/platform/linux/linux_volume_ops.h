// VolumeOps on Linux.
//
// - Disks are block device nodes ("/dev/sdb"), opened read-write and
//   exclusively: a disk with a mounted partition cannot be opened, so its
//   table is never rewritten under a live file system.
// - The MBR is written directly into sector 0 and synced; "update the
//   properties" is BLKRRPART, which makes the kernel re-read the table.
// - The geometry is the one the kernel reports for a disk of its size:
//   BLKSSZGET and BLKGETSIZE64 with 255 heads and 63 sectors per track.
//   HDIO_GETGEO is not used: its 16-bit cylinder count cuts a large disk.
// - Linux has no drive letters. A fixed volume is a partition of a
//   non-removable disk in /sys/block; its name is the kernel's ("sdb1").
// - Formats run `mkntfs` from ntfs-3g in a child process started with
//   posix_spawn; its exit status is collected with waitpid(WNOHANG), and the
//   last line it wrote to its error output becomes the failure's detail.
#pragma once

#include <string>
#include <vector>

#include "platform/volume_ops.h"

namespace qelvar::platform::linux_backend {

class LinuxVolumeOps final : public VolumeOps {
 public:
  // `sysfsRoot` lets tests list volumes from a fake tree. `mkntfs` names the
  // program to run; empty: /usr/sbin/mkntfs when it exists, else "mkntfs"
  // looked up on PATH.
  explicit LinuxVolumeOps(std::string sysfsRoot = "/sys", std::string mkntfs = "");
  // Collects what has ended; formats still running are left to finish.
  ~LinuxVolumeOps() override;
  LinuxVolumeOps(const LinuxVolumeOps&) = delete;
  LinuxVolumeOps& operator=(const LinuxVolumeOps&) = delete;

  std::unique_ptr<DiskHandle> OpenDisk(std::string_view path, int* error) override;
  std::vector<FixedVolume> ListFixedVolumes() override;
  bool StartFormat(const FixedVolume& volume, std::string_view label, std::string* detail) override;
  std::vector<FormatOutcome> CollectFinishedFormats() override;
  size_t FormatsRunning() const override { return jobs_.size(); }

  // The command line a format runs (program first), for the log and tests.
  [[nodiscard]] std::vector<std::string> FormatCommand(const FixedVolume& volume,
                                                       std::string_view label) const;

 private:
  struct Job {
    int pid = -1;  // a pid_t
    std::string volume;
    std::string label;
    int errorsFd = -1;  // an unlinked temporary file holding the child's error output
  };

  std::string sysfsRoot_;
  std::string mkntfs_;
  bool searchPath_ = false;
  std::vector<Job> jobs_;
};

}  // namespace qelvar::platform::linux_backend
