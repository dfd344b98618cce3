// The checksum of every image the station patches: CRC-32 with the reflected
// polynomial EDB88320h and initial register FFFFFFFFh, without the final
// inversion. The stored value is the register after the last byte, that is
// the bitwise complement of the usual CRC-32 ("abc" gives CADBBE3Dh).
#pragma once

#include <cstdint>
#include <span>

namespace qelvar::engine {

inline constexpr uint32_t kImageCrcStart = 0xFFFFFFFFu;

// Runs the register over `bytes`, starting from `reg`. Feeding an image in
// pieces gives the same value as feeding it whole.
[[nodiscard]] uint32_t ImageCrcUpdate(uint32_t reg, std::span<const uint8_t> bytes);

[[nodiscard]] inline uint32_t ImageCrc(std::span<const uint8_t> bytes) {
  return ImageCrcUpdate(kImageCrcStart, bytes);
}

}  // namespace qelvar::engine
