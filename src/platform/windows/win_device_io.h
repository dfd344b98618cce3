// DeviceIo on Windows: "\\.\PhysicalDrive%d" handles with the SCSI and ATA
// pass-through requests.
//
// The SAT path opens the disk shared for reading and writing and sends
// IOCTL_SCSI_PASS_THROUGH_DIRECT (the data moves straight from or to the
// caller's buffer); the ATA path opens it without sharing, so a second ATA
// request to a drive fails to open while one is in flight, and sends
// IOCTL_ATA_PASS_THROUGH with the data after the header in one block. Both
// need an administrator's rights.
//
// The storage adapter under a disk says how long a transfer it takes and how
// its data buffers must be aligned (STORAGE_ADAPTER_DESCRIPTOR); they are asked
// once per disk. A SCSI request longer than the adapter takes is not sent; a
// caller's buffer the adapter cannot use is exchanged through an aligned copy.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/device_io.h"
#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {

// What the adapter under a disk takes; 0: not known, no limit applied.
struct AdapterLimits {
  uint32_t maxTransferBytes = 0;
  uint32_t alignmentMask = 0;  // the low address bits a data buffer must have clear
};

class WinDeviceIo final : public DeviceIo {
 public:
  explicit WinDeviceIo(Win32Api& api = SystemWin32Api()) : api_(api) {}

  std::unique_ptr<DeviceHandle> Open(std::string_view path, ShareMode mode, int* error) override;
  // "\\.\PhysicalDrive3" for 3.
  std::string DiskPath(uint32_t diskNumber) const override;

 private:
  AdapterLimits LimitsOf(const std::string& path, HANDLE h);

  Win32Api& api_;
  std::mutex limitsMutex_;  // workers open their disks at the same time
  std::map<std::string, AdapterLimits> limits_;
};

// The limits in the bytes of a STORAGE_ADAPTER_DESCRIPTOR; all 0 when they
// are too few to hold them. An alignment mask that is not a run of low bits
// (or above 4 KiB) is not trusted.
AdapterLimits ParseAdapterDescriptor(const uint8_t* bytes, size_t length);

// The storage descriptor's bus type and removable flag from the bytes
// IOCTL_STORAGE_QUERY_PROPERTY returned. False when they are too few to hold
// them.
bool ParseStorageDescriptor(const uint8_t* bytes, size_t length, StorageDescriptor* out);

// True when this process may send vendor commands (it runs elevated); otherwise
// *why says what to do.
bool CanSendVendorCommands(std::string* why);

}  // namespace qelvar::platform::windows
