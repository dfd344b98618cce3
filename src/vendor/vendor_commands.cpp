#include "vendor/vendor_commands.h"

#include <algorithm>
#include <cstring>

namespace qelvar::vendor {
namespace {

using platform::DataDirection;
using transport::VendorCommand;

// ATA PASS-THROUGH (16) images of the FFh protocol and the vendor log reads.
constexpr std::array<uint8_t, 16> kFirstPhase = {0x85, 0x0B, 0x06, 0x00, 0xFC, 0x00, 0x01, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr std::array<uint8_t, 16> kSecondNoData = {0x85, 0x06, 0x04, 0x00, 0xFD, 0x00, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr std::array<uint8_t, 16> kSecondIn512 = {0x85, 0x09, 0x0E, 0x00, 0xFD, 0x00, 0x01, 0x00,
                                                  0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr std::array<uint8_t, 16> kSecondIn4096 = {0x85, 0x09, 0x0E, 0x00, 0xFD, 0x00, 0x08, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr std::array<uint8_t, 16> kSecondOut512 = {0x85, 0x0B, 0x06, 0x00, 0xFD, 0x00, 0x01, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr std::array<uint8_t, 16> kRdtResultRead = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x21, 0x01,
                                                    0xDE, 0x00, 0x80, 0x00, 0x00, 0xE0, 0x2F, 0x00};
constexpr std::array<uint8_t, 16> kFctTableRead = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x40, 0x00,
                                                   0xDE, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x2F, 0x00};
constexpr std::array<uint8_t, 16> kDftTableRead = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x40, 0x00,
                                                   0xDE, 0x00, 0x40, 0x00, 0x00, 0xE0, 0x2F, 0x00};

constexpr std::array<uint8_t, 12> kActivateMicrocode = {0xA1, 0x06, 0x00, 0x0F, 0x00, 0x00,
                                                        0x00, 0x00, 0xE0, 0x92, 0x00, 0x00};

using CommandBlock = std::array<uint8_t, kCommandBlockBytes>;

// Bytes 0-6 of a command block: sub-command and its fixed pattern.
using BlockHead = std::array<uint8_t, 7>;
constexpr BlockHead kTriggerBurnHead = {0x15, 0x01, 0x11, 0x00, 0xC4, 0x00, 0x10};
constexpr BlockHead kCalibrateHead = {0x16, 0x01, 0x43, 0x00, 0xC4, 0x00, 0x42};
constexpr BlockHead kEnterRomHead = {0x0E, 0x01, 0x7D, 0x00, 0xC4, 0x00, 0x7B};
constexpr BlockHead kRebootHead = {0x11, 0x01, 0x7D, 0x00, 0xC4, 0x00, 0x7B};
constexpr BlockHead kEraseHead = {0x12, 0x01, 0x56, 0x00, 0xC4, 0x00, 0x54};
constexpr BlockHead kSkipRunBadHead = {0x22, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kReadPattern[6] = {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57};
constexpr uint8_t kVendorIdentify = 0x14;
constexpr uint8_t kNandInfo = 0x13;
constexpr uint8_t kBin = 0xB0;
constexpr uint8_t kCeBinTable = 0xB2;
constexpr uint8_t kCeMrTable = 0xB3;
constexpr uint8_t kInjectStatus = 0x21;
constexpr uint8_t kSetCapacity = 0xB1;

// The tail several blocks carry (and the erase block too).
void AddTail(uint8_t* block) {
  block[9] = 0x02;
  block[12] = 0x0A;
  block[20] = 0x28;
  block[33] = 0x01;
  block[38] = 0xEC;
}

CommandBlock MakeBlock(const BlockHead& head, bool tail) {
  CommandBlock block{};
  std::copy(head.begin(), head.end(), block.begin());
  if (tail) AddTail(block.data());
  return block;
}

CommandBlock MakeReadBlock(uint8_t subCommand) {
  CommandBlock block{};
  block[0] = subCommand;
  std::copy(std::begin(kReadPattern), std::end(kReadPattern), block.begin() + 1);
  return block;
}

VendorCommand Command16(PortTarget port, const std::array<uint8_t, 16>& image,
                        DataDirection direction, uint8_t* buffer, uint32_t length) {
  VendorCommand command;
  command.path = port.path;
  command.image = image;
  command.imageLength = 16;
  command.extended = true;
  command.direction = direction;
  command.buffer = buffer;
  command.length = length;
  return command;
}

// Copies `length` bytes of `source` from `offset` into `chunk`; bytes past the
// end of the source are zero, as they would be in a zero-filled buffer.
void FillChunk(std::span<const uint8_t> source, size_t offset, uint8_t* chunk, size_t length) {
  size_t available = offset < source.size() ? std::min(length, source.size() - offset) : 0;
  if (available) std::memcpy(chunk, source.data() + offset, available);
  if (available < length) std::memset(chunk + available, 0, length - available);
}

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

// --- Downloads -------------------------------------------------------------

namespace {

struct ChunkPlan {
  uint32_t length;  // bytes covered by the download
  uint8_t mode;
  uint32_t pauseMs;
  bool lastChunkByBlocks;  // RDT parameters: the last chunk is cut to whole blocks
};

}  // namespace

static int DownloadChunks(transport::PassThroughTransport& transport, PortTarget port,
                          std::span<const uint8_t> source, const ChunkPlan& plan) {
  // Past 32 MiB the block offset would wrap and overwrite the image's start;
  // near 4 GiB the offset itself would wrap and the loop never end.
  if (plan.length > kMaxDownloadBytes) return 0;
  uint8_t chunk[kChunkBytes];
  for (uint32_t offset = 0; offset < plan.length; offset += kChunkBytes) {
    uint32_t remaining = plan.length - offset;
    uint16_t blocks = 8;
    if (plan.lastChunkByBlocks && remaining <= kChunkBytes) {
      blocks = static_cast<uint16_t>((remaining + 511) / 512);
    }
    uint32_t bytes = blocks * 512u;
    FillChunk(source, offset, chunk, bytes);

    const uint32_t blockOffset = offset / 512;
    VendorCommand command;
    command.path = port.path;
    command.image = {0xA1,
                     0x0A,
                     0x03,
                     plan.mode,
                     static_cast<uint8_t>(blocks & 0xFF),
                     static_cast<uint8_t>(blocks >> 8),
                     static_cast<uint8_t>(blockOffset & 0xFF),
                     static_cast<uint8_t>((blockOffset >> 8) & 0xFF),
                     0xE0,
                     0x92,
                     0x00,
                     0x00};
    command.imageLength = 12;
    command.direction = DataDirection::Out;
    command.buffer = chunk;
    command.length = bytes;
    if (transport.Send(command, port.interfaceType, port.route, port.timeouts) != 1) return 0;
    transport.clock().SleepMs(plan.pauseMs);
  }
  return 1;
}

int VendorCommands::DownloadBurnerImage(PortTarget port, std::span<const uint8_t> burner) {
  // Always the whole buffer, whatever the burner file's size.
  return DownloadChunks(
      transport_, port, burner,
      {static_cast<uint32_t>(kBurnerImageSize), kModeSaveImmediate, kBurnerChunkPauseMs, false});
}

int VendorCommands::DownloadSystemFirmware(PortTarget port, std::span<const uint8_t> image,
                                           uint32_t length, uint8_t mode) {
  return DownloadChunks(transport_, port, image, {length, mode, kChunkPauseMs, false});
}

int VendorCommands::DownloadSpiRom(PortTarget port, std::span<const uint8_t> image, uint32_t length,
                                   uint8_t mode) {
  return DownloadChunks(transport_, port, image, {length, mode, kChunkPauseMs, false});
}

int VendorCommands::DownloadRdtParameters(PortTarget port, std::span<const uint8_t> image,
                                          uint32_t length) {
  return DownloadChunks(transport_, port, image, {length, kModeSaveImmediate, kChunkPauseMs, true});
}

int VendorCommands::DownloadMicrocode(PortTarget port) {
  VendorCommand command;
  command.path = port.path;
  std::copy(kActivateMicrocode.begin(), kActivateMicrocode.end(), command.image.begin());
  command.imageLength = 12;
  command.direction = DataDirection::None;
  return transport_.Send(command, port.interfaceType, port.route, port.timeouts) == 1 ? 1 : 0;
}

// --- The FFh protocol ------------------------------------------------------

namespace {

enum class SecondPhase { None, NoData, In512, In4096, Out512 };

int SendFirstPhase(transport::PassThroughTransport& transport, PortTarget port,
                   CommandBlock& block) {
  return transport.Send(
      Command16(port, kFirstPhase, DataDirection::Out, block.data(), kCommandBlockBytes),
      port.interfaceType, port.route, port.timeouts);
}

// First phase, the command's pause (taken whatever the first phase returned),
// then the second phase. Returns 1, 2 or 3.
int TwoPhase(transport::PassThroughTransport& transport, PortTarget port, CommandBlock block,
             SecondPhase second, uint8_t* data, uint32_t pauseMs) {
  int first = SendFirstPhase(transport, port, block);
  transport.clock().SleepMs(pauseMs);
  if (first != 1) return kFirstPhaseFailed;
  if (second == SecondPhase::None) return kCommandOk;

  VendorCommand command;
  switch (second) {
    case SecondPhase::NoData:
      command = Command16(port, kSecondNoData, DataDirection::None, nullptr, 0);
      break;
    case SecondPhase::In512:
      std::memset(data, 0, 512);
      command = Command16(port, kSecondIn512, DataDirection::In, data, 512);
      break;
    case SecondPhase::In4096:
      std::memset(data, 0, kInjectStatusBytes);
      command = Command16(port, kSecondIn4096, DataDirection::In, data, kInjectStatusBytes);
      break;
    case SecondPhase::Out512:
      command = Command16(port, kSecondOut512, DataDirection::Out, data, 512);
      break;
    case SecondPhase::None:
      break;
  }
  return transport.Send(command, port.interfaceType, port.route, port.timeouts) == 1
             ? kCommandOk
             : kSecondPhaseFailed;
}

}  // namespace

int VendorCommands::EnterRomMode(PortTarget port) {
  return TwoPhase(transport_, port, MakeBlock(kEnterRomHead, true), SecondPhase::NoData, nullptr,
                  kFirstPhasePauseMs);
}

int VendorCommands::TriggerBurn(PortTarget port) {
  return TwoPhase(transport_, port, MakeBlock(kTriggerBurnHead, true), SecondPhase::NoData, nullptr,
                  kFirstPhasePauseMs);
}

int VendorCommands::CalibrateNand(PortTarget port) {
  return TwoPhase(transport_, port, MakeBlock(kCalibrateHead, true), SecondPhase::NoData, nullptr,
                  kFirstPhasePauseMs);
}

int VendorCommands::RebootDrive(PortTarget port) {
  return TwoPhase(transport_, port, MakeBlock(kRebootHead, true), SecondPhase::NoData, nullptr,
                  kRebootPauseMs);
}

int VendorCommands::EraseNand(PortTarget port, EraseSelector selector) {
  std::array<uint8_t, 512> eraseBlock{};
  std::memcpy(eraseBlock.data(), "bnrfmt", 6);
  eraseBlock[6] = static_cast<uint8_t>(selector);
  AddTail(eraseBlock.data());
  return TwoPhase(transport_, port, MakeBlock(kEraseHead, false), SecondPhase::Out512,
                  eraseBlock.data(), kFirstPhasePauseMs);
}

int VendorCommands::GetVendorIdentify(PortTarget port, std::span<uint8_t, 512> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kVendorIdentify), SecondPhase::In512,
                  answer.data(), kFirstPhasePauseMs);
}

int VendorCommands::GetNandInfo(PortTarget port, std::span<uint8_t, 512> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kNandInfo), SecondPhase::In512, answer.data(),
                  kFirstPhasePauseMs);
}

int VendorCommands::GetBin(PortTarget port, std::span<uint8_t, 512> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kBin), SecondPhase::In512, answer.data(),
                  kFirstPhasePauseMs);
}

int VendorCommands::GetCeBinTable(PortTarget port, std::span<uint8_t, 512> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kCeBinTable), SecondPhase::In512, answer.data(),
                  kFirstPhasePauseMs);
}

int VendorCommands::GetCeMrTable(PortTarget port, std::span<uint8_t, 512> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kCeMrTable), SecondPhase::In512, answer.data(),
                  kFirstPhasePauseMs);
}

int VendorCommands::GetInjectStatus(PortTarget port, std::span<uint8_t, 4096> answer) {
  return TwoPhase(transport_, port, MakeReadBlock(kInjectStatus), SecondPhase::In4096,
                  answer.data(), kFirstPhasePauseMs);
}

int VendorCommands::SkipRunBadBlocks(PortTarget port) {
  return TwoPhase(transport_, port, MakeBlock(kSkipRunBadHead, false), SecondPhase::None, nullptr,
                  kFirstPhasePauseMs);
}

int VendorCommands::SetDriveCapacity(PortTarget port, uint16_t value) {
  CommandBlock block{};
  block[0] = kSetCapacity;
  block[1] = static_cast<uint8_t>(value & 0xFF);
  block[2] = static_cast<uint8_t>(value >> 8);
  return TwoPhase(transport_, port, block, SecondPhase::None, nullptr, kFirstPhasePauseMs);
}

// --- Log reads -------------------------------------------------------------

int VendorCommands::GetRdtResult(PortTarget port, std::span<uint8_t, 16896> answer) {
  std::memset(answer.data(), 0, answer.size());
  auto command = Command16(port, kRdtResultRead, DataDirection::In, answer.data(),
                           static_cast<uint32_t>(answer.size()));
  return transport_.Send(command, port.interfaceType, port.route, port.timeouts) == 1 ? 1 : 0;
}

int VendorCommands::ReadFctTableBlock(PortTarget port, std::span<uint8_t, 32768> answer) {
  std::memset(answer.data(), 0, answer.size());
  auto command = Command16(port, kFctTableRead, DataDirection::In, answer.data(),
                           static_cast<uint32_t>(answer.size()));
  return transport_.Send(command, port.interfaceType, port.route, port.timeouts) == 1 ? 1 : 0;
}

int VendorCommands::ReadDftTableBlock(PortTarget port, std::span<uint8_t, 32768> answer) {
  std::memset(answer.data(), 0, answer.size());
  auto command = Command16(port, kDftTableRead, DataDirection::In, answer.data(),
                           static_cast<uint32_t>(answer.size()));
  return transport_.Send(command, port.interfaceType, port.route, port.timeouts) == 1 ? 1 : 0;
}

// --- Values ----------------------------------------------------------------

int32_t VendorCommands::GetBadBlockNumber(PortTarget port) {
  std::array<uint8_t, 512> answer{};
  if (GetVendorIdentify(port, answer) != kCommandOk) return -1;
  return static_cast<int32_t>(LittleEndian32(answer.data() + 72));
}

int32_t VendorCommands::GetCapacityMb(PortTarget port) {
  std::array<uint8_t, 512> answer{};
  if (GetVendorIdentify(port, answer) != kCommandOk) return -1;
  // Unsigned: a drive of 2^31 sectors or more must not read as negative. The
  // largest 32-bit count gives 2,199,023 MB, far from the -1 of a failure.
  uint64_t sectors = LittleEndian32(answer.data() + 68);
  uint64_t megabytes = sectors * 512 / 1000 / 1000;
  return static_cast<int32_t>(megabytes);
}

}  // namespace qelvar::vendor
