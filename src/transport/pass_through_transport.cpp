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
    bool dma = dataIn ? (command == kReadDmaExt || command == kReadLogDmaExt)
                      : command == kReadLogDmaExt;
    if (dma) flags |= platform::kAtaFlagUseDma;
  }
  return flags;
}

}  // namespace

int LastAtaError() { return tLastAtaError; }

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
                                          uint32_t* transferred, bool dataIn) {
  uint32_t started = recorder_ ? clock_.TickMs() : 0;
  int openError = 0;
  std::unique_ptr<platform::DeviceHandle> handle =
      io_.Open(path, ShareMode::SharedReadWrite, &openError);

  ScsiRequest request;
  request.cdb = std::span<const uint8_t>(image, imageLength);
  request.timeoutSeconds = dataIn ? SatInTimeout(path) : kSatOutTimeoutSeconds;
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
    recorder_(record);
  }
  return answer;
}

uint8_t PassThroughTransport::AtaPassThrough(std::string_view path, bool dataIn,
                                             const uint8_t* image, uint8_t* buffer,
                                             uint32_t length, bool extended) {
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
                                         const TaskFile& previous, uint8_t* buffer,
                                         uint32_t length, bool dataIn, bool is48) {
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
  if (interfaceType == 3) {
    return AtaPassThrough(command.path, command.direction == DataDirection::In,
                          command.image.data(), command.buffer, command.length,
                          command.extended);
  }
  uint32_t transferred = 0;
  if (command.direction == DataDirection::In) {
    return ScsiPassThroughIn(command.path, command.image.data(), command.imageLength,
                             command.buffer, command.length, &transferred);
  }
  return ScsiPassThroughOut(command.path, command.image.data(), command.imageLength,
                            command.buffer, command.length, &transferred);
}

}  // namespace qelvar::transport
