#include "engine/image_crc.h"

#include <zlib.h>

#include <algorithm>

namespace qelvar::engine {

uint32_t ImageCrc(std::span<const uint8_t> bytes) {
  // zlib starts from the complemented initial register and complements at the
  // end; undoing the final complement leaves the register itself.
  uLong crc = crc32(0, nullptr, 0);
  while (!bytes.empty()) {
    // zlib takes a uInt length; feed it in pieces that always fit.
    size_t piece = std::min<size_t>(bytes.size(), 1u << 30);
    crc = crc32(crc, bytes.data(), static_cast<uInt>(piece));
    bytes = bytes.subspan(piece);
  }
  return ~static_cast<uint32_t>(crc);
}

}  // namespace qelvar::engine
