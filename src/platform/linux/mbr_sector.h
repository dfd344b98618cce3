// The 512-byte MBR sector for a drive layout, as a disk carries it at offset 0:
// the disk signature at byte 440, four 16-byte partition entries at 446 and
// the boot signature 55h AAh at 510. Boot code bytes are left zero: the
// station's drives are data drives.
#pragma once

#include <cstdint>
#include <span>

#include "platform/volume_ops.h"

namespace qelvar::platform::linux_backend {

inline constexpr size_t kMbrSectorBytes = 512;

// The three CHS bytes of an entry (head; sector with the cylinder's bits 8-9;
// cylinder bits 0-7) for a sector address, with 255 heads and 63 sectors per
// track. Addresses past cylinder 1023 give FE FF FF, the usual "use the LBA
// fields" marker.
void ChsFromLba(uint64_t lba, uint8_t chs[3]);

// Encodes the layout for a disk with `bytesPerSector`-byte logical sectors.
// Entries of type 00h are written as 16 zero bytes. False, with nothing
// written, when a non-empty entry does not fit the MBR: a start or length not
// a whole number of sectors, or a start or sector count beyond 32 bits.
[[nodiscard]] bool EncodeMbrSector(const DriveLayout& layout, uint32_t bytesPerSector,
                                   std::span<uint8_t, kMbrSectorBytes> out);

}  // namespace qelvar::platform::linux_backend
