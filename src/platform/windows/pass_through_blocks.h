// The request blocks of the two Windows pass-through requests, written and
// read byte by byte for either pointer width.
//
// SCSI_PASS_THROUGH_DIRECT and ATA_PASS_THROUGH_EX carry a pointer-sized field
// (the data buffer address, the data buffer offset), so the two layouts
// differ: 44 and 40 bytes for 32-bit programs, 56 and 48 for 64-bit ones.
// The backend fills the native layout; win_device_io.cpp checks at compile
// time, on each architecture, that the layout below is the one the system
// headers declare, so the byte-for-byte tests of both layouts (which can only
// run as a 64-bit program) speak for the 32-bit build too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/device_io.h"

namespace qelvar::platform::windows {

struct SptdLayout {
  uint32_t size;             // sizeof(SCSI_PASS_THROUGH_DIRECT)
  uint32_t dataBuffer;       // offsetof(.., DataBuffer), pointer-sized
  uint32_t senseInfoOffset;  // offsetof(.., SenseInfoOffset)
  uint32_t cdb;              // offsetof(.., Cdb), 16 bytes
  uint32_t pointerBytes;
};
// Fixed part of both: Length 0 (16 bits), ScsiStatus 2, PathId 3, TargetId 4,
// Lun 5, CdbLength 6, SenseInfoLength 7, DataIn 8, DataTransferLength 12,
// TimeOutValue 16.
inline constexpr SptdLayout kSptd32{44, 20, 24, 28, 4};
inline constexpr SptdLayout kSptd64{56, 24, 32, 36, 8};

struct AtaLayout {
  uint32_t size;              // sizeof(ATA_PASS_THROUGH_EX)
  uint32_t dataBufferOffset;  // offsetof(.., DataBufferOffset), pointer-sized
  uint32_t previousTaskFile;  // offsetof(.., PreviousTaskFile), 8 bytes
  uint32_t currentTaskFile;   // offsetof(.., CurrentTaskFile), 8 bytes
  uint32_t pointerBytes;
};
// Fixed part of both: Length 0, AtaFlags 2 (16 bits each), PathId 4,
// TargetId 5, Lun 6, DataTransferLength 8, TimeOutValue 12.
inline constexpr AtaLayout kAta32{40, 20, 24, 32, 4};
inline constexpr AtaLayout kAta64{48, 24, 32, 40, 8};

inline constexpr SptdLayout kSptdNative = sizeof(void*) == 8 ? kSptd64 : kSptd32;
inline constexpr AtaLayout kAtaNative = sizeof(void*) == 8 ? kAta64 : kAta32;

// The SCSI request's addressing as the station has always sent it: path 0,
// target 1, LUN 0. The bridge's driver routes by handle, not by these.
inline constexpr uint8_t kSptdTargetId = 1;
// DataIn values of the SCSI request.
inline constexpr uint8_t kScsiDataOut = 0, kScsiDataIn = 1, kScsiDataUnspecified = 2;

// Sense bytes asked for with every SCSI request; they follow the request in
// the same block, at the first 8-byte boundary after it.
inline constexpr uint32_t kSenseBytes = 32;
[[nodiscard]] constexpr uint32_t SenseOffset(const SptdLayout& layout) {
  return (layout.size + 7u) & ~7u;
}
[[nodiscard]] constexpr uint32_t SptdBlockBytes(const SptdLayout& layout) {
  return SenseOffset(layout) + kSenseBytes;
}
inline constexpr uint32_t kMaxSptdBlock = SptdBlockBytes(kSptd64);

// The largest data phase of one ATA request; its data follows the header.
inline constexpr uint32_t kMaxAtaData = 65536;

// Writes the SCSI request for `request` into `block` (SptdBlockBytes(layout)
// bytes, zeroed first). `dataAddress` is the data buffer's address as the
// system will see it. A request with no data phase goes out with its
// direction unspecified, length 0 and no buffer (a data-out of length 0 is
// refused by some storage drivers). False when the block is too small or the CDB longer than 16 bytes.
[[nodiscard]] bool EncodeSptd(const SptdLayout& layout, const ScsiRequest& request,
                              uint64_t dataAddress, std::span<uint8_t> block);

// Reads the system's answer from a SCSI request block: status, transferred
// bytes (at most the requested length) and the sense bytes it reports (at most
// kSenseBytes and the block's size). Leaves `completed` and `errorCode` alone.
void DecodeSptd(const SptdLayout& layout, std::span<const uint8_t> block, uint32_t requested,
                ScsiResult* out);

// Writes the ATA request header for `request` into the first layout.size bytes
// of `block`, the data offset pointing just past it; a data-out request's data
// is copied after the header. `block` must hold layout.size + request.length
// bytes. False when it does not or the length exceeds kMaxAtaData.
[[nodiscard]] bool EncodeAtaPassThrough(const AtaLayout& layout, const AtaRequest& request,
                                        std::span<uint8_t> block);

// The current task file as the system left it in a returned ATA request: the
// command position holds the status register, the features position the
// error register.
[[nodiscard]] TaskFile DecodeAtaTaskFile(const AtaLayout& layout, std::span<const uint8_t> block);

}  // namespace qelvar::platform::windows
