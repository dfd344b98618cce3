// Carries one vendor command to one drive and reports whether it went through.
//
// Every command is described once as a SAT ATA PASS-THROUGH command image (12
// bytes, opcode A1h, or 16 bytes, opcode 85h) and travels one of two paths:
//  - the SAT path sends the image unchanged as a SCSI command;
//  - the ATA path translates it into task-file registers.
// Each request opens the device, sends, and closes it again; nothing survives
// a request. This is the one choke point where every exchange with a drive
// passes, so diagnostics (CDB, status, sense, duration) are recorded here when
// a recorder is attached, and never printed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/device_io.h"

namespace qelvar::transport {

using platform::DataDirection;

// One vendor command for one drive.
struct VendorCommand {
  std::string_view path;
  std::array<uint8_t, 16> image{};
  uint8_t imageLength = 12;  // 12 or 16
  DataDirection direction = DataDirection::None;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  bool extended = false;  // set for every 16-byte image

  [[nodiscard]] std::span<const uint8_t> Image() const { return {image.data(), imageLength}; }
};

// The one-byte result of the ATA path.
enum TransportResult : uint8_t {
  kTransportTimedOut = 0x00,  // exchange took more than 30 s, whatever its outcome
  kTransportOk = 0x01,
  kTransportUncorrectable = 0xFD,  // READ DMA EXT ended with UNC but without ERR
  kTransportDriveError = 0xFE,     // cannot open, or the drive set ERR
  kTransportRejected = 0xFF,       // empty path, more than 64 KiB, or platform refusal
};

inline constexpr uint32_t kMaxAtaTransfer = 65536;

// Which form of ATA PASS-THROUGH a port's bridge carries, as the scan found
// it. kBoth sends every image as it was built.
enum class Route : uint8_t {
  kBoth = 0,
  k16Only,  // 12-byte images go as their 16-byte equal
  k12Only,  // 16-byte images go as (12) when their fields fit it
  kNone,    // the bridge carries no ATA command at all
};
[[nodiscard]] const char* RouteName(Route route);

// The same ATA command in the other form of ATA PASS-THROUGH. False when it
// has no such form: (12) has no room for the upper bytes of a 48-bit
// command, and a data phase the count field cannot state does not fit (16)'s
// count-based length. `out` gets the image and its length.
[[nodiscard]] bool ToImage12(std::span<const uint8_t, 16> image16, std::array<uint8_t, 16>* out);
[[nodiscard]] bool ToImage16(std::span<const uint8_t, 12> image12, uint32_t length,
                             std::array<uint8_t, 16>* out);

// Why a command was not sent on its port's route (in its ExchangeRecord).
inline constexpr std::string_view kDoesNotFit12 =
    "the command does not fit ATA PASS-THROUGH (12), the only form this bridge carries";
inline constexpr std::string_view kNoRoute = "the bridge carries no ATA PASS-THROUGH";
inline constexpr uint32_t kSatInTimeoutUsbSeconds = 300;
inline constexpr uint32_t kSatInTimeoutSeconds = 5;
inline constexpr uint32_t kSatOutTimeoutSeconds = 20;
inline constexpr uint32_t kAtaTimeoutSeconds = 30;

// The SAT-path time-outs a port's bridge needs, in seconds, as the line's
// bridge table names them; 0 leaves the station's own. They only ever
// lengthen: a request gets the longer of the station's time-out and the
// bridge's, since the station's own data-in time-out depends on the device
// path, which the table cannot know.
struct BridgeTimeouts {
  uint32_t dataIn = 0;
  uint32_t dataOut = 0;  // data-out and non-data
};
inline constexpr uint32_t kMaxBridgeTimeoutSeconds = 3600;

// The time-out a SAT-path request on `path` gets.
[[nodiscard]] uint32_t SatTimeoutSeconds(std::string_view path, bool dataIn, BridgeTimeouts bridge);

// What the choke point saw of one exchange, for an engineer's diagnosis.
struct ExchangeRecord {
  std::string path;
  bool ataPath = false;
  // SAT path: the command image. ATA path: the task files as sent, previous
  // then current (16 bytes).
  std::array<uint8_t, 16> image{};
  uint8_t imageLength = 0;
  DataDirection direction = DataDirection::None;
  uint32_t length = 0;
  uint32_t timeoutSeconds = 0;
  int result = 0;
  int errorCode = 0;
  uint32_t transferred = 0;
  uint8_t scsiStatus = 0;
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  uint8_t senseLength = 0;
  std::array<uint8_t, 32> sense{};
  platform::TaskFile returned{};
  uint32_t elapsedMs = 0;
  Route route = Route::kBoth;  // the form the port's bridge carries
  bool probe = false;          // sent by the scan's probe of the bridge
  std::string_view notSent;    // why the command was not sent (empty: it was)
};

class PassThroughTransport {
 public:
  using Recorder = std::function<void(const ExchangeRecord&)>;

  PassThroughTransport(platform::DeviceIo& io, platform::Clock& clock) : io_(io), clock_(clock) {}

  // Attach before any worker starts; called from every thread that sends.
  void SetRecorder(Recorder recorder) { recorder_ = std::move(recorder); }

  // SAT path, data-in. Returns 1 or 0; *transferred gets the platform's count.
  [[nodiscard]] int ScsiPassThroughIn(std::string_view path, const uint8_t* image,
                                      uint8_t imageLength, uint8_t* buffer, uint32_t length,
                                      uint32_t* transferred);
  // SAT path, data-out or non-data (length 0, no buffer). Returns 1 or 0.
  [[nodiscard]] int ScsiPassThroughOut(std::string_view path, const uint8_t* image,
                                       uint8_t imageLength, const uint8_t* buffer, uint32_t length,
                                       uint32_t* transferred);
  // ATA path. Returns a TransportResult.
  [[nodiscard]] uint8_t AtaPassThrough(std::string_view path, bool dataIn, const uint8_t* image,
                                       uint8_t* buffer, uint32_t length, bool extended);

  // The four ATA requests. `current` is updated in place with the registers
  // the drive returns.
  [[nodiscard]] uint8_t AtaPassThroughIn28(std::string_view path, platform::TaskFile& current,
                                           uint8_t* buffer, uint32_t length);
  [[nodiscard]] uint8_t AtaPassThroughOut28(std::string_view path, platform::TaskFile& current,
                                            uint8_t* buffer, uint32_t length);
  [[nodiscard]] uint8_t AtaPassThroughIn48(std::string_view path, platform::TaskFile& current,
                                           const platform::TaskFile& previous, uint8_t* buffer,
                                           uint32_t length);
  [[nodiscard]] uint8_t AtaPassThroughOut48(std::string_view path, platform::TaskFile& current,
                                            const platform::TaskFile& previous, uint8_t* buffer,
                                            uint32_t length);

  // Sends a VendorCommand by its interface type: 3 takes the ATA path, every
  // other value the SAT path. Returns the path's result (1 is success).
  [[nodiscard]] int Send(const VendorCommand& command, int32_t interfaceType);
  // The same on a port whose bridge carries only `route`: the SAT path sends
  // the image in the form the bridge takes, and a command with no such form
  // fails at once (0) without reaching the drive. The SAT path gives the
  // bridge's time-outs where they are longer than the station's.
  [[nodiscard]] int Send(const VendorCommand& command, int32_t interfaceType, Route route,
                         BridgeTimeouts timeouts = {});

  // One SAT-path request with everything the platform returned (status and
  // sense), for the scan's probe of a bridge. Recorded like every exchange.
  [[nodiscard]] platform::ScsiResult ProbeScsi(std::string_view path, std::span<const uint8_t> cdb,
                                               DataDirection direction, uint8_t* buffer,
                                               uint32_t length, BridgeTimeouts timeouts = {});

  [[nodiscard]] platform::Clock& clock() { return clock_; }
  [[nodiscard]] platform::DeviceIo& io() { return io_; }

 private:
  int ScsiPassThrough(std::string_view path, const uint8_t* image, uint8_t imageLength,
                      uint8_t* buffer, uint32_t length, uint32_t* transferred, bool dataIn,
                      Route route = Route::kBoth, BridgeTimeouts timeouts = {},
                      platform::ScsiResult* full = nullptr, bool probe = false);
  void RecordNotSent(const VendorCommand& command, Route route, std::string_view why);
  uint8_t AtaVariant(std::string_view path, platform::TaskFile& current,
                     const platform::TaskFile& previous, uint8_t* buffer, uint32_t length,
                     bool dataIn, bool is48);

  platform::DeviceIo& io_;
  platform::Clock& clock_;
  Recorder recorder_;
};

// The error number the last ATA request of the calling thread recorded
// (22, EINVAL, for a transfer above 64 KiB); 0 otherwise.
[[nodiscard]] int LastAtaError();

}  // namespace qelvar::transport
