// The parameter block builder on any image: refuses what cannot hold a block
// and leaves it untouched, and otherwise stores checksums the drive accepts.
//
// Input: 2 bytes of image length (little-endian, may claim more than the
// image), 1 byte of option bits, the bin, 21 bytes of serial number and 9 of
// firmware version (not necessarily terminated), 40 of model name, then the
// image.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "engine/image_crc.h"
#include "engine/system_parameter_block.h"

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t CrcWithFieldAsOnes(std::vector<uint8_t> bytes, size_t field) {
  std::memset(bytes.data() + field, 0xFF, 4);
  return qelvar::engine::ImageCrc(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kPrefix = 2 + 1 + 1 + 21 + 9 + 40;
  if (size < kPrefix) return 0;
  const uint32_t length = static_cast<uint32_t>(data[0] | data[1] << 8);
  const uint8_t options = data[2];
  const uint8_t bin = data[3];
  char serial[21], version[9];
  std::memcpy(serial, data + 4, sizeof serial);
  std::memcpy(version, data + 25, sizeof version);
  qelvar::settings::MpSettings settings;
  std::memcpy(settings.ModelName, data + 34, 40);
  settings.FWVersionUserDefine = options & 1;
  settings.BDIPM = (options >> 1) & 1;
  settings.BHIPM = (options >> 2) & 1;
  settings.Tem54 = options;
  settings.SetCapacity = static_cast<uint16_t>(options * 257u);

  std::vector<uint8_t> image(data + kPrefix, data + size);
  const std::vector<uint8_t> before = image;
  auto result =
      qelvar::engine::BuildSystemParameterBlock(image, length, settings, serial, bin, version);
  if (result != qelvar::engine::ParameterBlockResult::kBuilt) {
    if (image != before) __builtin_trap();
    return 0;
  }
  if (length > image.size() || serial[20] != '\0' || version[8] != '\0') __builtin_trap();
  const std::vector<uint8_t> whole(image.begin(), image.begin() + length);
  if (Le32(image.data() + 40) != CrcWithFieldAsOnes(whole, 40)) __builtin_trap();
  // Where the block must be: the first "FE_HDR" entry lying within the image,
  // read before the build (the block may overlap the directory).
  const uint64_t entries = std::min<uint64_t>(Le32(before.data() + 24), (length - 64) / 32);
  uint64_t start = 96;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* entry = before.data() + 64 + 32 * i;
    if (std::memcmp(entry, "FE_HDR", 6) == 0) {
      start = 96 + uint64_t{Le32(entry + 24)};
      break;
    }
  }
  if (start + 856 > length) __builtin_trap();
  const std::vector<uint8_t> block(image.begin() + static_cast<std::ptrdiff_t>(start),
                                   image.begin() + static_cast<std::ptrdiff_t>(start + 856));
  if (Le32(block.data() + 16) != CrcWithFieldAsOnes(block, 16) || block[76 + 510] != 0xA5 ||
      block[669] != bin) {
    __builtin_trap();
  }
  return 0;
}
