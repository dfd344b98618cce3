#include "platform/windows/win_device_io.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "platform/windows/pass_through_blocks.h"

namespace qelvar::platform::windows {

// The layouts written byte by byte must be the ones the system headers
// declare, on this architecture.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kSptdNative.size);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kSptdNative.dataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kSptdNative.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == kSptdNative.cdb);
static_assert(sizeof(ATA_PASS_THROUGH_EX) == kAtaNative.size);
// The 32-bit program's blocks, as the station has always sent them.
static_assert(sizeof(void*) != 4 ||
              (sizeof(SCSI_PASS_THROUGH_DIRECT) == 44 && sizeof(ATA_PASS_THROUGH_EX) == 40 &&
               offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20 &&
               offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28 &&
               offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == 20 &&
               offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == 32 &&
               sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVINFO_DATA) == 28 &&
               sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5));
static_assert(sizeof(void*) != 8 ||
              (sizeof(SCSI_PASS_THROUGH_DIRECT) == 56 && sizeof(ATA_PASS_THROUGH_EX) == 48 &&
               sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVINFO_DATA) == 32 &&
               sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8));
static_assert(offsetof(ATA_PASS_THROUGH_EX, AtaFlags) == 2);
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8);
static_assert(offsetof(ATA_PASS_THROUGH_EX, TimeOutValue) == 12);
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == kAtaNative.dataBufferOffset);
static_assert(offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) == kAtaNative.previousTaskFile);
static_assert(offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == kAtaNative.currentTaskFile);
static_assert(ATA_FLAGS_DRDY_REQUIRED == kAtaFlagDrdyRequired &&
              ATA_FLAGS_DATA_IN == kAtaFlagDataIn && ATA_FLAGS_DATA_OUT == kAtaFlagDataOut &&
              ATA_FLAGS_48BIT_COMMAND == kAtaFlag48Bit && ATA_FLAGS_USE_DMA == kAtaFlagUseDma);
static_assert(SCSI_IOCTL_DATA_IN == kScsiDataIn && SCSI_IOCTL_DATA_OUT == kScsiDataOut &&
              SCSI_IOCTL_DATA_UNSPECIFIED == kScsiDataUnspecified);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x0004D014 &&
              IOCTL_ATA_PASS_THROUGH == 0x0004D02C && IOCTL_STORAGE_QUERY_PROPERTY == 0x002D1400);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12 && sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) == 8 &&
              offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == 16 &&
              StorageAdapterProperty == 1);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);

namespace {

// An error number for a request that failed without saying why.
DWORD FailureCode(Win32Api& api) {
  DWORD code = api.GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

class WinHandle final : public DeviceHandle {
 public:
  // `limits` asks the adapter's limits on the first SCSI request.
  WinHandle(Win32Api& api, HANDLE handle, std::function<AdapterLimits(HANDLE)> limits)
      : api_(api), handle_(handle), limitsOf_(std::move(limits)) {}
  ~WinHandle() override { api_.CloseHandle(handle_); }
  WinHandle(const WinHandle&) = delete;
  WinHandle& operator=(const WinHandle&) = delete;

  ScsiResult SendScsi(const ScsiRequest& request) override {
    ScsiResult result;
    if (!limits_) limits_ = limitsOf_(handle_);
    const AdapterLimits& limits = *limits_;
    const bool hasData =
        request.direction != DataDirection::None && request.length != 0 && request.data != nullptr;
    if (hasData && limits.maxTransferBytes != 0 && request.length > limits.maxTransferBytes) {
      result.errorCode = ERROR_INVALID_PARAMETER;
      return result;
    }
    // The adapter's alignment: a misaligned buffer goes through an aligned copy.
    uint8_t* data = request.data;
    std::vector<uint8_t> bounce;
    if (hasData && (reinterpret_cast<uintptr_t>(data) & limits.alignmentMask) != 0) {
      bounce.assign(size_t{request.length} + limits.alignmentMask, 0);
      const uintptr_t base = reinterpret_cast<uintptr_t>(bounce.data());
      const uintptr_t aligned = (base + limits.alignmentMask) & ~uintptr_t{limits.alignmentMask};
      data = bounce.data() + (aligned - base);
      if (request.direction == DataDirection::Out) std::memcpy(data, request.data, request.length);
    }
    alignas(8) std::array<uint8_t, kMaxSptdBlock> block{};
    std::span<uint8_t> used(block.data(), SptdBlockBytes(kSptdNative));
    if (!EncodeSptd(kSptdNative, request, reinterpret_cast<uintptr_t>(data), used)) {
      result.errorCode = ERROR_INVALID_PARAMETER;
      return result;
    }
    // The request counts as carried out exactly when the call succeeds: the
    // thread's error code is only meaningful after a failure (a successful
    // call may leave any code behind).
    DWORD returned = 0;
    DWORD size = static_cast<DWORD>(used.size());
    BOOL ok = api_.DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, used.data(), size,
                                   used.data(), size, &returned);
    const bool in = request.direction == DataDirection::In && request.data != nullptr;
    if (!ok) {
      result.errorCode = static_cast<int>(FailureCode(api_));
      if (in) std::memset(request.data, 0, request.length);
      return result;
    }
    DecodeSptd(kSptdNative, used, request.length, &result);
    if (in && data != request.data) std::memcpy(request.data, data, result.transferred);
    // Only the reported count of a data-in is valid.
    if (in) std::memset(request.data + result.transferred, 0, request.length - result.transferred);
    result.completed = true;
    return result;
  }

  AtaResult SendAta(const AtaRequest& request) override {
    AtaResult result;
    if (request.length > kMaxAtaData) {
      result.errorCode = ERROR_INVALID_PARAMETER;
      return result;
    }
    std::vector<uint8_t> block(kAtaNative.size + size_t{request.length});
    if (!EncodeAtaPassThrough(kAtaNative, request, block)) {
      result.errorCode = ERROR_INVALID_PARAMETER;
      return result;
    }
    DWORD returned = 0;
    DWORD size = static_cast<DWORD>(block.size());
    if (!api_.DeviceIoControl(handle_, IOCTL_ATA_PASS_THROUGH, block.data(), size, block.data(),
                              size, &returned)) {
      result.errorCode = static_cast<int>(FailureCode(api_));
      return result;
    }
    if ((request.flags & kAtaFlagDataIn) && request.data != nullptr) {
      std::memcpy(request.data, block.data() + kAtaNative.size, request.length);
    }
    result.completed = true;
    result.current = DecodeAtaTaskFile(kAtaNative, block);
    return result;
  }

  bool QueryStorageDescriptor(StorageDescriptor* out) override {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) std::array<uint8_t, 1024> answer{};
    DWORD returned = 0;
    if (!api_.DeviceIoControl(handle_, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                              answer.data(), static_cast<DWORD>(answer.size()), &returned)) {
      return false;
    }
    return ParseStorageDescriptor(answer.data(), std::min<size_t>(returned, answer.size()), out);
  }

 private:
  Win32Api& api_;
  HANDLE handle_;
  std::function<AdapterLimits(HANDLE)> limitsOf_;
  std::optional<AdapterLimits> limits_;
};

}  // namespace

AdapterLimits ParseAdapterDescriptor(const uint8_t* bytes, size_t length) {
  auto get32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= uint32_t{bytes[at + i]} << (8 * i);
    return v;
  };
  constexpr size_t kMaxAt = offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength);
  constexpr size_t kMaskAt = offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask);
  AdapterLimits limits;
  // The descriptor's own size field says how much of it the adapter filled.
  if (bytes == nullptr || length < kMaskAt + 4 || get32(4) < kMaskAt + 4) return limits;
  limits.maxTransferBytes = get32(kMaxAt);
  const uint32_t mask = get32(kMaskAt);
  if (mask < 4096 && (mask & (mask + 1)) == 0) limits.alignmentMask = mask;
  return limits;
}

AdapterLimits WinDeviceIo::LimitsOf(const std::string& path, HANDLE h) {
  {
    std::lock_guard lock(limitsMutex_);
    if (auto it = limits_.find(path); it != limits_.end()) return it->second;
  }
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageAdapterProperty;
  query.QueryType = PropertyStandardQuery;
  alignas(8) std::array<uint8_t, 32> answer{};  // the descriptor as Windows 8 and later fill it
  DWORD returned = 0;
  AdapterLimits limits;
  if (api_.DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, answer.data(),
                           static_cast<DWORD>(answer.size()), &returned)) {
    limits = ParseAdapterDescriptor(answer.data(), std::min<size_t>(returned, answer.size()));
  }
  std::lock_guard lock(limitsMutex_);
  return limits_.emplace(path, limits).first->second;
}

bool ParseStorageDescriptor(const uint8_t* bytes, size_t length, StorageDescriptor* out) {
  constexpr size_t kBusTypeAt = 28;
  if (length < kBusTypeAt + 4) return false;
  uint32_t bus = 0;
  for (size_t i = 0; i < 4; ++i) bus |= uint32_t{bytes[kBusTypeAt + i]} << (8 * i);
  switch (bus) {
    case BusTypeUnknown:
      out->busType = BusType::Unknown;
      break;
    case BusTypeAta:
      out->busType = BusType::Ata;
      break;
    case BusTypeUsb:
      out->busType = BusType::Usb;
      break;
    case BusTypeSata:
      out->busType = BusType::Sata;
      break;
    default:
      out->busType = BusType::Other;
      break;
  }
  out->removableMedia = bytes[10] != 0;
  return true;
}

std::string WinDeviceIo::DiskPath(uint32_t diskNumber) const {
  return "\\\\.\\PhysicalDrive" + std::to_string(diskNumber);
}

std::unique_ptr<DeviceHandle> WinDeviceIo::Open(std::string_view path, ShareMode mode, int* error) {
  std::string p(path);
  if (p.empty()) {
    if (error) *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  DWORD share = mode == ShareMode::SharedReadWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE h = api_.CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE, share, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = static_cast<int>(FailureCode(api_));
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<WinHandle>(api_, h, [this, p](HANDLE handle) { return LimitsOf(p, handle); });
}

bool CanSendVendorCommands(std::string* why) {
  HANDLE token = nullptr;
  bool elevated = false;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
      elevated = elevation.TokenIsElevated != 0;
    }
    ::CloseHandle(token);
  }
  if (!elevated && why) {
    *why =
        "the drives' pass-through requests need an administrator: run the station as "
        "administrator";
  }
  return elevated;
}

}  // namespace qelvar::platform::windows
