// The controller's vendor command set: the DOWNLOAD MICROCODE downloads, the
// two-phase FFh protocol with its reads, and the vendor log reads.
//
// Every command is sent by the dispatch rule: interface type 3 takes the ATA
// path, any other value the SAT path; only a transport answer of exactly 1 is
// success. Fixed pauses belong to the commands and go through the Clock.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "transport/pass_through_transport.h"

namespace qelvar::vendor {

// Where a command goes: the port's device path and interface type.
struct PortTarget {
  std::string_view path;
  int32_t interfaceType = 1;
  // The form of ATA PASS-THROUGH the port's bridge carries (from the scan).
  transport::Route route = transport::Route::kBoth;
  // The SAT-path time-outs the port's bridge needs (from the line's table).
  transport::BridgeTimeouts timeouts{};
};

// Results of the two-phase commands. None of them returns 0.
enum VendorCommandResult : int {
  kCommandOk = 1,
  kFirstPhaseFailed = 2,
  kSecondPhaseFailed = 3,
};

inline constexpr size_t kBurnerImageSize = 393216;
inline constexpr size_t kRdtParamImageSize = 4096;
inline constexpr size_t kSysFwImageSize = 786432;
inline constexpr size_t kSpiImageSize = 131072;
inline constexpr size_t kChunkBytes = 4096;
inline constexpr size_t kCommandBlockBytes = 512;
inline constexpr size_t kInjectStatusBytes = 4096;
inline constexpr size_t kRdtResultBytes = 16896;
inline constexpr size_t kBadBlockTableBytes = 32768;
// The chunk image carries its offset as 16 bits of 512-byte blocks: no
// download can reach past 32 MiB. A longer one is refused before anything is
// sent.
inline constexpr uint32_t kMaxDownloadBytes = 65536u * 512u;

inline constexpr uint8_t kModeSaveImmediate = 0x03;  // download with offsets, use now and later
inline constexpr uint8_t kModeSaveDeferred = 0x0E;   // download with offsets, use later

inline constexpr uint32_t kBurnerChunkPauseMs = 10;
inline constexpr uint32_t kChunkPauseMs = 50;
inline constexpr uint32_t kFirstPhasePauseMs = 500;
inline constexpr uint32_t kRebootPauseMs = 4000;

// The erase scope character of EraseNand.
enum class EraseSelector : char { Whole = '0', WithoutWpb0 = '1', WithoutKeep = '2' };

class VendorCommands {
 public:
  explicit VendorCommands(transport::PassThroughTransport& transport) : transport_(transport) {}

  // --- Downloads: 1 on success, 0 on failure (the first chunk that fails, or
  // a length above kMaxDownloadBytes). ---
  // The source of each download is the image the caller passes (a snapshot or
  // the worker's own patched copy). Bytes a chunk needs beyond the end of the
  // passed buffer are sent as zeros, as they would lie in a zero-filled buffer.

  // Always the full 393,216 bytes: 96 chunks of 8 blocks, 10 ms apart.
  [[nodiscard]] int DownloadBurnerImage(PortTarget port, std::span<const uint8_t> burner);
  // The length rounded up to whole 4,096-byte chunks, 50 ms apart.
  [[nodiscard]] int DownloadSystemFirmware(PortTarget port, std::span<const uint8_t> image,
                                           uint32_t length, uint8_t mode);
  [[nodiscard]] int DownloadSpiRom(PortTarget port, std::span<const uint8_t> image, uint32_t length,
                                   uint8_t mode);
  // Exactly the length rounded up to whole 512-byte blocks.
  [[nodiscard]] int DownloadRdtParameters(PortTarget port, std::span<const uint8_t> image,
                                          uint32_t length);
  // Activates the downloaded burner. No pause.
  [[nodiscard]] int DownloadMicrocode(PortTarget port);

  // --- Two-phase FFh commands: 1, 2 (first phase failed) or 3 (second). ---
  [[nodiscard]] int EnterRomMode(PortTarget port);
  [[nodiscard]] int TriggerBurn(PortTarget port);
  [[nodiscard]] int CalibrateNand(PortTarget port);
  [[nodiscard]] int RebootDrive(PortTarget port);
  [[nodiscard]] int EraseNand(PortTarget port, EraseSelector selector);
  [[nodiscard]] int GetVendorIdentify(PortTarget port, std::span<uint8_t, 512> answer);
  [[nodiscard]] int GetNandInfo(PortTarget port, std::span<uint8_t, 512> answer);
  [[nodiscard]] int GetBin(PortTarget port, std::span<uint8_t, 512> answer);
  [[nodiscard]] int GetCeBinTable(PortTarget port, std::span<uint8_t, 512> answer);
  [[nodiscard]] int GetCeMrTable(PortTarget port, std::span<uint8_t, 512> answer);
  [[nodiscard]] int GetInjectStatus(PortTarget port, std::span<uint8_t, 4096> answer);
  // --- One-phase commands: 1 or 2. ---
  [[nodiscard]] int SkipRunBadBlocks(PortTarget port);
  [[nodiscard]] int SetDriveCapacity(PortTarget port, uint16_t value);

  // --- Vendor log reads (READ LOG EXT, log DEh): 1 on success, 0 on failure. ---
  [[nodiscard]] int GetRdtResult(PortTarget port, std::span<uint8_t, 16896> answer);
  [[nodiscard]] int ReadFctTableBlock(PortTarget port, std::span<uint8_t, 32768> answer);
  [[nodiscard]] int ReadDftTableBlock(PortTarget port, std::span<uint8_t, 32768> answer);

  // --- Values read through GetVendorIdentify. ---
  // The bad block number, or -1 when the read fails. The drive's 32-bit field
  // is signed: FFFFFFFFh is the drive's own -1, a failure, never 4 billion
  // bad blocks.
  [[nodiscard]] int32_t GetBadBlockNumber(PortTarget port);
  // Capacity in decimal megabytes, or -1 when the read fails. The sector count
  // is taken as unsigned, so a drive of 2^31 sectors or more reads correctly.
  [[nodiscard]] int32_t GetCapacityMb(PortTarget port);

  [[nodiscard]] transport::PassThroughTransport& transport() { return transport_; }

 private:
  transport::PassThroughTransport& transport_;
};

}  // namespace qelvar::vendor
