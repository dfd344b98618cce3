// The checksum of every image the station patches: CRC-32 with the reflected
// polynomial EDB88320h and initial register FFFFFFFFh, without the final
// inversion. The stored value is the register after the last byte, that is
// the bitwise complement of the usual CRC-32 ("abc" gives CADBBE3Dh).
#pragma once

#include <cstdint>
#include <span>

namespace qelvar::engine {

[[nodiscard]] uint32_t ImageCrc(std::span<const uint8_t> bytes);

}  // namespace qelvar::engine
