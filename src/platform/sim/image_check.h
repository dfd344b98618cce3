// What a drive checks in the images it receives. The host sends whole 4,096-
// byte chunks (system firmware) or whole 512-byte blocks (RDT parameters), so
// the drive does not know the image's exact length: an image passes when some
// length within the last chunk or block makes its stored checksum match.
#pragma once

#include <cstdint>
#include <span>

namespace qelvar::platform::sim {

// The controller's checksum: CRC-32, reflected polynomial EDB88320h, register
// starting at FFFFFFFFh, no final inversion ("abc" gives CADBBE3Dh).
[[nodiscard]] uint32_t ImageCrc(std::span<const uint8_t> bytes);

// True when, for some length L with received - window < L <= received, the
// CRC over the first L bytes, with the four bytes at `field` taken as
// FFFFFFFFh, equals the little-endian value stored there. One pass over the
// data. `minLength` excludes lengths that cannot hold what must be inside.
[[nodiscard]] bool ChecksumMatchesSomeLength(std::span<const uint8_t> received, uint32_t field,
                                             uint32_t window, uint32_t minLength);

// The system parameter block's offset in a system firmware image: 96 plus the
// section offset of the first "FE_HDR" directory entry, or 96 when there is
// none among the entries that lie inside `image`. False when even the header
// is missing or the offset overflows.
[[nodiscard]] bool FindParameterBlock(std::span<const uint8_t> image, uint64_t* offset);

inline constexpr uint32_t kParameterBlockBytes = 856;

// The RDT parameter image: the image checksum at bytes 40-43 matches within
// the last 512-byte block.
[[nodiscard]] bool RdtParametersValid(std::span<const uint8_t> received);

// A system firmware image: the image checksum at bytes 40-43 matches within
// the last 4,096-byte chunk, and the parameter block's checksum (block bytes
// 16-19, over its 856 bytes) matches, the block lying inside the image.
[[nodiscard]] bool SystemFirmwareValid(std::span<const uint8_t> received);

}  // namespace qelvar::platform::sim
