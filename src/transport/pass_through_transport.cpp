#include "transport/pass_through_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace qelvar::transport {
namespace {

using platform::AtaRequest;
using platform::DataDirection;
using platform::ScsiRequest;
using platform::ShareMode;
using platform::TaskFile;

thread_local int tLastAtaError = 0;

constexpr uint8_t kStatusErr = 0x01;
constexpr uint8_t kErrorUnc = 0x40;
constexpr uint8_t kReadDmaExt = 0x25;
constexpr uint8_t kReadLogDmaExt = 0x47;

uint32_t SatInTimeout(std::string_view path) {
  // Paths that name a USB device get the long time-out; the search is
  // case-sensitive, as the station has always done it.
  return path.find("usb") != std::string_view::npos ? kSatInTimeoutUsbSeconds
                                                    : kSatInTimeoutSeconds;
}

uint16_t AtaFlags(bool dataIn, bool is48, uint32_t length, uint8_t command) {
  if (length == 0) return is48 ? platform::kAtaFlag48Bit : 0;
  uint16_t flags = platform::kAtaFlagDrdyRequired |
                   (dataIn ? platform::kAtaFlagDataIn : platform::kAtaFlagDataOut);
  if (is48) {
    flags |= platform::kAtaFlag48Bit;
    bool dma =
        dataIn ? (command == kReadDmaExt || command == kReadLogDmaExt) : command == kReadLogDmaExt;
    if (dma) flags |= platform::kAtaFlagUseDma;
  }
  return flags;
}

}  // namespace

uint32_t SatTimeoutSeconds(std::string_view path, bool dataIn, BridgeTimeouts bridge) {
  return dataIn ? std::max(SatInTimeout(path), bridge.dataIn)
                : std::max(kSatOutTimeoutSeconds, bridge.dataOut);
}

int LastAtaError() {
  return tLastAtaError;
}

const char* RouteName(Route route) {
  switch (route) {
    case Route::kBoth:
      return "12+16";
    case Route::k16Only:
      return "16";
    case Route::k12Only:
      return "12";
    case Route::kNone:
      return "none";
  }
  return "none";
}

namespace {
constexpr uint8_t kCkCond = 0x20;
}  // namespace

bool ToImage12(std::span<const uint8_t, 16> i, std::array<uint8_t, 16>* out) {
  if (i[0] != 0x85) return false;
  if ((i[3] | i[5] | i[7] | i[9] | i[11]) != 0) return false;
  const uint8_t protocol = static_cast<uint8_t>((i[1] >> 1) & 0x0F);
  // The (12) protocol bytes the station uses: non-data, or PIO with the
  // length in bytes from the transport.
  uint8_t transfer;
  switch (protocol) {
    case 3:
      transfer = 0x00;
      break;
    case 4:
      transfer = 0x0B;
      break;
    case 5:
      transfer = 0x03;
      break;
    default:
      return false;
  }
  *out = {0xA1,
          static_cast<uint8_t>(protocol << 1),
          static_cast<uint8_t>(transfer | (i[2] & kCkCond)),
          i[4],
          i[6],
          i[8],
          i[10],
          i[12],
          i[13],
          i[14],
          0x00,
          i[15],
          0,
          0,
          0,
          0};
  return true;
}

bool ToImage16(std::span<const uint8_t, 12> i, uint32_t length, std::array<uint8_t, 16>* out) {
  if (i[0] != 0xA1) return false;
  const uint8_t protocol = static_cast<uint8_t>((i[1] >> 1) & 0x0F);
  uint8_t transfer;
  switch (protocol) {
    case 3:
      transfer = 0x04;
      break;
    case 4:
    case 5:
      // The length goes in the count field, in 512-byte blocks.
      if (length != i[4] * 512u) return false;
      transfer = protocol == 4 ? 0x0E : 0x06;
      break;
    default:
      return false;
  }
  *out = {0x85,
          static_cast<uint8_t>(protocol << 1),
          static_cast<uint8_t>(transfer | (i[2] & kCkCond)),
          0x00,
          i[3],
          0x00,
          i[4],
          0x00,
          i[5],
          0x00,
          i[6],
          0x00,
          i[7],
          i[8],
          i[9],
          i[11]};
  return true;
}

int PassThroughTransport::ScsiPassThroughIn(std::string_view path, const uint8_t* image,
                                            uint8_t imageLength, uint8_t* buffer, uint32_t length,
                                            uint32_t* transferred) {
  return ScsiPassThrough(path, image, imageLength, buffer, length, transferred, true);
}

int PassThroughTransport::ScsiPassThroughOut(std::string_view path, const uint8_t* image,
                                             uint8_t imageLength, const uint8_t* buffer,
                                             uint32_t length, uint32_t* transferred) {
  // The platform takes one buffer pointer for both directions; a data-out
  // request never writes through it.
  return ScsiPassThrough(path, image, imageLength, const_cast<uint8_t*>(buffer), length,
                         transferred, false);
}

int PassThroughTransport::ScsiPassThrough(std::string_view path, const uint8_t* image,
                                          uint8_t imageLength, uint8_t* buffer, uint32_t length,
                                          uint32_t* transferred, bool dataIn, Route route,
                                          BridgeTimeouts timeouts, platform::ScsiResult* full,
                                          bool probe) {
  uint32_t started = recorder_ ? clock_.TickMs() : 0;
  int openError = 0;
  std::unique_ptr<platform::DeviceHandle> handle =
      io_.Open(path, ShareMode::SharedReadWrite, &openError);

  ScsiRequest request;
  request.cdb = std::span<const uint8_t>(image, imageLength);
  request.timeoutSeconds = SatTimeoutSeconds(path, dataIn, timeouts);
  request.length = length;
  request.data = buffer;
  if (length == 0 || buffer == nullptr) {
    request.direction = DataDirection::None;
    request.length = 0;
    request.data = nullptr;
  } else {
    request.direction = dataIn ? DataDirection::In : DataDirection::Out;
  }

  // Some bridges cannot move a single byte: a one-byte transfer travels as two
  // through a scratch buffer, the caller's byte followed by a zero on the way
  // out, and only the first byte received handed back on the way in.
  uint8_t scratch[2] = {0, 0};
  bool oneByte = request.length == 1;
  if (oneByte) {
    if (!dataIn) scratch[0] = buffer[0];
    request.data = scratch;
    request.length = 2;
  }

  platform::ScsiResult result;
  int answer = 0;
  if (handle) {
    result = handle->SendScsi(request);
    handle.reset();
    if (oneByte && dataIn) buffer[0] = scratch[0];
    answer = (result.completed && result.errorCode == 0) ? 1 : 0;
  } else {
    result.errorCode = openError;
  }
  if (transferred) *transferred = result.transferred;
  if (full) *full = result;

  if (recorder_) {
    ExchangeRecord record;
    record.path = std::string(path);
    std::copy_n(image, std::min<size_t>(imageLength, record.image.size()), record.image.begin());
    record.imageLength = imageLength;
    record.direction = request.direction;
    record.length = request.length;
    record.timeoutSeconds = request.timeoutSeconds;
    record.result = answer;
    record.errorCode = result.errorCode;
    record.transferred = result.transferred;
    record.scsiStatus = result.scsiStatus;
    record.hostStatus = result.hostStatus;
    record.driverStatus = result.driverStatus;
    record.senseLength = result.senseLength;
    record.sense = result.sense;
    record.elapsedMs = clock_.TickMs() - started;
    record.route = route;
    record.probe = probe;
    recorder_(record);
  }
  return answer;
}

void PassThroughTransport::RecordNotSent(const VendorCommand& command, Route route,
                                         std::string_view why) {
  if (!recorder_) return;
  ExchangeRecord record;
  record.path = std::string(command.path);
  std::copy_n(command.image.begin(), command.imageLength, record.image.begin());
  record.imageLength = command.imageLength;
  record.direction = command.direction;
  record.length = command.length;
  record.result = 0;
  record.errorCode = EINVAL;
  record.route = route;
  record.notSent = why;
  recorder_(record);
}

platform::ScsiResult PassThroughTransport::ProbeScsi(std::string_view path,
                                                     std::span<const uint8_t> cdb,
                                                     DataDirection direction, uint8_t* buffer,
                                                     uint32_t length, BridgeTimeouts timeouts) {
  platform::ScsiResult full;
  uint32_t transferred = 0;
  const bool dataIn = direction == DataDirection::In;
  (void)ScsiPassThrough(path, cdb.data(), static_cast<uint8_t>(cdb.size()), buffer,
                        direction == DataDirection::None ? 0 : length, &transferred, dataIn,
                        Route::kBoth, timeouts, &full, true);
  return full;
}

uint8_t PassThroughTransport::AtaPassThrough(std::string_view path, bool dataIn,
                                             const uint8_t* image, uint8_t* buffer, uint32_t length,
                                             bool extended) {
  if (path.empty()) return kTransportRejected;

  TaskFile current{};
  TaskFile previous{};
  if (extended) {
    current = {image[4], image[6], image[8], image[10], image[12], image[13], image[14], 0};
    previous = {image[3], image[5], image[7], image[9], image[11], image[13], image[14], 0};
  } else {
    current = {image[3], image[4], image[5], image[6], image[7], image[8], image[9], 0};
  }

  uint32_t before = clock_.TickMs();
  uint8_t variant;
  if (extended) {
    variant = dataIn ? AtaPassThroughIn48(path, current, previous, buffer, length)
                     : AtaPassThroughOut48(path, current, previous, buffer, length);
    if (dataIn && variant == kTransportUncorrectable) return kTransportUncorrectable;
  } else {
    variant = dataIn ? AtaPassThroughIn28(path, current, buffer, length)
                     : AtaPassThroughOut28(path, current, buffer, length);
  }
  uint32_t after = clock_.TickMs();
  // Elapsed time on the wrapping tick, in whole seconds: an exchange that took
  // more than 30 s is not trusted, whatever it returned.
  if ((after - before) / 1000u > 30u) return kTransportTimedOut;
  if (variant == 0) return kTransportDriveError;
  return variant;
}

uint8_t PassThroughTransport::AtaPassThroughIn28(std::string_view path, TaskFile& current,
                                                 uint8_t* buffer, uint32_t length) {
  return AtaVariant(path, current, TaskFile{}, buffer, length, true, false);
}
uint8_t PassThroughTransport::AtaPassThroughOut28(std::string_view path, TaskFile& current,
                                                  uint8_t* buffer, uint32_t length) {
  return AtaVariant(path, current, TaskFile{}, buffer, length, false, false);
}
uint8_t PassThroughTransport::AtaPassThroughIn48(std::string_view path, TaskFile& current,
                                                 const TaskFile& previous, uint8_t* buffer,
                                                 uint32_t length) {
  return AtaVariant(path, current, previous, buffer, length, true, true);
}
uint8_t PassThroughTransport::AtaPassThroughOut48(std::string_view path, TaskFile& current,
                                                  const TaskFile& previous, uint8_t* buffer,
                                                  uint32_t length) {
  return AtaVariant(path, current, previous, buffer, length, false, true);
}

uint8_t PassThroughTransport::AtaVariant(std::string_view path, TaskFile& current,
                                         const TaskFile& previous, uint8_t* buffer, uint32_t length,
                                         bool dataIn, bool is48) {
  uint32_t started = recorder_ ? clock_.TickMs() : 0;
  const uint8_t command = current[platform::kTaskCommand];
  AtaRequest request;
  request.previous = is48 ? previous : TaskFile{};
  request.current = current;
  request.flags = AtaFlags(dataIn, is48, length, command);
  request.length = length;
  request.data = length ? buffer : nullptr;
  request.timeoutSeconds = kAtaTimeoutSeconds;

  // Every ATA request is recorded, also one that never reached the drive.
  auto record = [&](uint8_t answer, int errorCode, const TaskFile* returned) {
    if (!recorder_) return;
    ExchangeRecord r;
    r.path = std::string(path);
    r.ataPath = true;
    std::copy(request.previous.begin(), request.previous.end(), r.image.begin());
    std::copy(request.current.begin(), request.current.end(), r.image.begin() + 8);
    r.imageLength = 16;
    r.direction = !length ? DataDirection::None : dataIn ? DataDirection::In : DataDirection::Out;
    r.length = length;
    r.timeoutSeconds = request.timeoutSeconds;
    r.result = answer;
    r.errorCode = errorCode;
    if (returned) r.returned = *returned;
    r.elapsedMs = clock_.TickMs() - started;
    recorder_(r);
  };

  tLastAtaError = 0;
  int openError = 0;
  std::unique_ptr<platform::DeviceHandle> handle = io_.Open(path, ShareMode::Exclusive, &openError);
  if (!handle) {
    tLastAtaError = openError;
    record(0, openError, nullptr);
    return 0;
  }
  if (length > kMaxAtaTransfer) {
    tLastAtaError = EINVAL;
    record(kTransportRejected, EINVAL, nullptr);
    return kTransportRejected;
  }

  platform::AtaResult result = handle->SendAta(request);
  handle.reset();

  uint8_t answer;
  if (!result.completed) {
    tLastAtaError = result.errorCode;
    answer = kTransportRejected;
  } else {
    current = result.current;
    const uint8_t status = current[platform::kTaskCommand];
    const uint8_t error = current[platform::kTaskFeatures];
    if (status & kStatusErr) {
      answer = 0;
    } else if (is48 && dataIn && command == kReadDmaExt && (error & kErrorUnc)) {
      answer = kTransportUncorrectable;
    } else {
      answer = kTransportOk;
    }
  }
  record(answer, result.errorCode, result.completed ? &result.current : nullptr);
  return answer;
}

int PassThroughTransport::Send(const VendorCommand& command, int32_t interfaceType) {
  return Send(command, interfaceType, Route::kBoth);
}

int PassThroughTransport::Send(const VendorCommand& command, int32_t interfaceType, Route route,
                               BridgeTimeouts timeouts) {
  if (interfaceType == 3) {
    return AtaPassThrough(command.path, command.direction == DataDirection::In,
                          command.image.data(), command.buffer, command.length, command.extended);
  }
  std::array<uint8_t, 16> image = command.image;
  uint8_t imageLength = command.imageLength;
  if (route == Route::kNone) {
    RecordNotSent(command, route, kNoRoute);
    return 0;
  }
  if (route == Route::k12Only && imageLength == 16) {
    if (!ToImage12(std::span<const uint8_t, 16>(command.image.data(), 16), &image)) {
      RecordNotSent(command, route, kDoesNotFit12);
      return 0;
    }
    imageLength = 12;
  } else if (route == Route::k16Only && imageLength == 12) {
    std::array<uint8_t, 16> wide{};
    if (ToImage16(std::span<const uint8_t, 12>(command.image.data(), 12), command.length, &wide)) {
      image = wide;
      imageLength = 16;
    }
  }
  uint32_t transferred = 0;
  return ScsiPassThrough(command.path, image.data(), imageLength, command.buffer, command.length,
                         &transferred, command.direction == DataDirection::In, route, timeouts);
}

}  // namespace qelvar::transport
