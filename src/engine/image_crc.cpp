#include "engine/image_crc.h"

#include <zlib.h>

#include <algorithm>

namespace qelvar::engine {

uint32_t ImageCrcUpdate(uint32_t reg, std::span<const uint8_t> bytes) {
  // zlib keeps the complemented register between calls.
  uLong crc = ~reg & 0xFFFFFFFFu;
  while (!bytes.empty()) {
    // zlib takes a uInt length; feed it in pieces that always fit.
    size_t piece = std::min<size_t>(bytes.size(), 1u << 30);
    crc = crc32(crc, bytes.data(), static_cast<uInt>(piece));
    bytes = bytes.subspan(piece);
  }
  return ~static_cast<uint32_t>(crc);
}

}  // namespace qelvar::engine
