// The seam between the station and the drives: one request on one open device.
//
// A backend opens a device path for exactly one request (the transport opens,
// sends and closes every time) and carries either a SCSI command block or an
// ATA task file to the drive. Nothing above this header knows which operating
// system, or which simulated station, is underneath.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace qelvar::platform {

enum class DataDirection : uint8_t { None, In, Out };

// Sharing asked for when a device is opened. The SAT path lets other handles
// read and write the drive at the same time; the ATA path wants the drive for
// itself, so a second open of the same drive fails while the first is held.
enum class ShareMode : uint8_t { SharedReadWrite, Exclusive };

// One SCSI pass-through request. `data` is the caller's buffer of `length`
// bytes (null when length is 0).
struct ScsiRequest {
  std::span<const uint8_t> cdb;
  DataDirection direction = DataDirection::None;
  uint8_t* data = nullptr;
  uint32_t length = 0;
  uint32_t timeoutSeconds = 0;
};

// What came back. `completed` is true when the platform accepted the request
// and the transport under it carried it out (no host or driver error). The
// SCSI status and sense bytes are diagnostics only: a drive that rejects a
// command still yields a completed request.
struct ScsiResult {
  bool completed = false;
  int errorCode = 0;          // platform error number; 0 when completed
  uint32_t transferred = 0;   // bytes moved, as the platform reports them
  uint8_t scsiStatus = 0;
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  uint8_t senseLength = 0;
  std::array<uint8_t, 32> sense{};
};

// An ATA task file in the order the station uses everywhere: features, sector
// count, LBA low, LBA mid, LBA high, device, command, reserved.
using TaskFile = std::array<uint8_t, 8>;
inline constexpr size_t kTaskFeatures = 0, kTaskCount = 1, kTaskLbaLow = 2, kTaskLbaMid = 3,
                        kTaskLbaHigh = 4, kTaskDevice = 5, kTaskCommand = 6;

// Request flags of an ATA pass-through request.
inline constexpr uint16_t kAtaFlagDrdyRequired = 0x01;
inline constexpr uint16_t kAtaFlagDataIn = 0x02;
inline constexpr uint16_t kAtaFlagDataOut = 0x04;
inline constexpr uint16_t kAtaFlag48Bit = 0x08;
inline constexpr uint16_t kAtaFlagUseDma = 0x10;

struct AtaRequest {
  TaskFile previous{};
  TaskFile current{};
  uint16_t flags = 0;
  uint8_t* data = nullptr;
  uint32_t length = 0;
  uint32_t timeoutSeconds = 0;
};

// `completed` false: the platform refused or could not carry the request.
// Otherwise `current` holds the registers the drive returned: the command
// position carries the status register and the features position the error
// register.
struct AtaResult {
  bool completed = false;
  int errorCode = 0;
  TaskFile current{};
};

// Bus types of the storage descriptor; only USB matters to the station.
enum class BusType : uint8_t { Unknown = 0, Ata = 3, Usb = 7, Sata = 11, Other = 255 };

struct StorageDescriptor {
  BusType busType = BusType::Unknown;
  bool removableMedia = false;
};

// One open device. Closing is the destructor.
class DeviceHandle {
 public:
  virtual ~DeviceHandle() = default;
  [[nodiscard]] virtual ScsiResult SendScsi(const ScsiRequest& request) = 0;
  [[nodiscard]] virtual AtaResult SendAta(const AtaRequest& request) = 0;
  // False when the platform cannot answer the query.
  [[nodiscard]] virtual bool QueryStorageDescriptor(StorageDescriptor* out) = 0;
};

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;
  // Opens an existing device; null with *error set when it cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<DeviceHandle> Open(std::string_view path, ShareMode mode,
                                                           int* error) = 0;
  // The device path of disk number N on this platform.
  [[nodiscard]] virtual std::string DiskPath(uint32_t diskNumber) const = 0;
};

}  // namespace qelvar::platform
