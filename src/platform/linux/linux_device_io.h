// DeviceIo on Linux: SG_IO on the disk's block device node.
//
// The disk number N is the Nth sd name (sda = 0, ..., sdz = 25, sdaa = 26).
// Nodes are opened read-only: a read-write open makes udev's watch rule fire a
// change event and re-read the partition table at every close, that is after
// every command. Vendor commands through SG_IO on a read-only node need
// CAP_SYS_RAWIO, which in practice means running as root.
#pragma once

#include <functional>
#include <string>

#include "platform/device_io.h"

struct sg_io_hdr;

namespace qelvar::platform::linux_backend {

// The one SG_IO call on an open node: returns what ioctl returns and leaves
// the kernel's answer in the header. Tests put literal outcomes here.
using SgIoCall = std::function<int(int fd, sg_io_hdr* io)>;

class LinuxDeviceIo final : public DeviceIo {
 public:
  // `sysfsRoot` lets tests point the storage descriptor at a fake tree;
  // `sgIo` replaces the ioctl (empty: the kernel's).
  explicit LinuxDeviceIo(std::string sysfsRoot = "/sys", SgIoCall sgIo = {});

  std::unique_ptr<DeviceHandle> Open(std::string_view path, ShareMode mode, int* error) override;
  std::string DiskPath(uint32_t diskNumber) const override;

 private:
  std::string sysfsRoot_;
  SgIoCall sgIo_;
};

// "sda" for 0, "sdz" for 25, "sdaa" for 26.
std::string SdName(uint32_t diskNumber);

// True when vendor commands can be sent: the calling thread's effective
// capabilities hold CAP_SYS_RAWIO (root has it unless it was dropped, and a
// program granted cap_sys_rawio has it without root); otherwise *why says what
// to do.
bool CanSendVendorCommands(std::string* why);

// The ATA PASS-THROUGH (16) command block for a task file, with CK_COND set so
// the drive's registers come back in the sense data (not on a PIO data-in,
// whose success is GOOD and whose failure still comes with sense).
std::array<uint8_t, 16> AtaPassThrough16Cdb(const AtaRequest& request);

// The returned registers from ATA Status Return sense data (descriptor or
// fixed format). False when the sense data carries none, including a
// descriptor cut short (a bridge that fetches only 18 sense bytes loses the
// status byte): missing registers are never read as zeros.
bool TaskFileFromSense(const uint8_t* sense, size_t length, TaskFile* out);

}  // namespace qelvar::platform::linux_backend
