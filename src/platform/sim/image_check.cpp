#include "platform/sim/image_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace qelvar::platform::sim {
namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// zlib's crc32 inverts the register on entry and on exit, so feeding it the
// complement of our register continues our computation.
uLong Feed(uLong z, const uint8_t* data, size_t n) {
  while (n > 0) {
    uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    z = crc32(z, data, piece);
    data += piece;
    n -= piece;
  }
  return z;
}

}  // namespace

uint32_t ImageCrc(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(~Feed(crc32(0L, Z_NULL, 0), bytes.data(), bytes.size()));
}

bool ChecksumMatchesSomeLength(std::span<const uint8_t> received, uint32_t field, uint32_t window,
                               uint32_t minLength) {
  const uint64_t total = received.size();
  if (total < static_cast<uint64_t>(field) + 4) return false;
  const uint32_t stored = Le32(received.data() + field);
  uint64_t first = total >= window ? total - window + 1 : 1;
  first = std::max<uint64_t>({first, static_cast<uint64_t>(field) + 4, minLength});
  if (first > total) return false;
  const uint8_t ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  uLong z = crc32(0L, Z_NULL, 0);
  z = Feed(z, received.data(), field);
  z = Feed(z, ff, 4);
  z = Feed(z, received.data() + field + 4, first - field - 4);
  for (uint64_t length = first;; ++length) {
    if (static_cast<uint32_t>(~z) == stored) return true;
    if (length == total) return false;
    z = Feed(z, received.data() + length, 1);
  }
}

bool FindParameterBlock(std::span<const uint8_t> image, uint64_t* offset) {
  if (image.size() < 64) return false;
  const uint32_t entries = Le32(image.data() + 24);
  uint64_t section = 0;
  for (uint64_t i = 0; i < entries; ++i) {
    uint64_t at = 64 + 32 * i;
    if (at + 32 > image.size()) break;
    if (std::memcmp(image.data() + at, "FE_HDR", 6) == 0) {
      section = Le32(image.data() + at + 24);
      break;
    }
  }
  *offset = 96 + section;
  return true;
}

bool RdtParametersValid(std::span<const uint8_t> received) {
  return ChecksumMatchesSomeLength(received, 40, 512, 44);
}

bool SystemFirmwareValid(std::span<const uint8_t> received) {
  uint64_t block = 0;
  if (!FindParameterBlock(received, &block)) return false;
  if (block + kParameterBlockBytes > received.size()) return false;
  std::span<const uint8_t> b = received.subspan(block, kParameterBlockBytes);
  if (!ChecksumMatchesSomeLength(b, 16, 1, kParameterBlockBytes)) return false;
  return ChecksumMatchesSomeLength(received, 40, 4096,
                                   static_cast<uint32_t>(block + kParameterBlockBytes));
}

}  // namespace qelvar::platform::sim
