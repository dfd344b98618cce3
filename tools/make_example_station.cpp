// Writes the firmware images of the example station folder.
//
// The images are deterministic, so the files kept in examples/station/Firmware
// can be checked against this program's output. Each image is laid out the way
// the controller reads it and carries valid checksums, so a simulated drive
// accepts it:
//  - burner.bin      the burner (shorter than its 384 KiB buffer)
//  - rdtparam.bin    RDT parameters: checksum at 40 over the file, the ten
//                    RDT values at 96-115
//  - sysfw.bin       system firmware: 64-byte header (directory count at 24,
//                    image checksum at 40), a three-entry directory with an
//                    "FE_HDR" entry, and the 856-byte system parameter block
//                    (block checksum at 16) with an IDENTIFY page template
//  - rdtfw.bin       RDT firmware, same layout, other code
//  - spi.bin         SPI ROM image
//
// Usage: make_example_station OUTPUT_FOLDER
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// CRC-32 as the controller keeps it: the register after the last byte, without
// the final inversion, computed with the checksum field taken as FFFFFFFFh.
uint32_t ControllerCrc(const uint8_t* data, size_t length) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (length > 0) {
    uInt piece = static_cast<uInt>(length > (1u << 30) ? (1u << 30) : length);
    crc = crc32(crc, data, piece);
    data += piece;
    length -= piece;
  }
  return ~static_cast<uint32_t>(crc);
}

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Seal(Bytes& b, size_t fieldAt, size_t from, size_t length) {
  Put32(b, fieldAt, 0xFFFFFFFFu);
  Put32(b, fieldAt, ControllerCrc(b.data() + from, length));
}

// A repeatable byte stream (xorshift), so images look like code, not zeros.
Bytes Noise(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed ? seed : 1;
  for (auto& byte : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  return out;
}

void PutText(Bytes& b, size_t at, const char* text) { std::memcpy(b.data() + at, text, std::strlen(text)); }

Bytes Firmware(size_t size, uint32_t seed, const char* name) {
  Bytes image = Noise(size, seed);
  std::memset(image.data(), 0, 64);
  PutText(image, 0, name);
  Put32(image, 24, 3);  // directory entries
  // Directory at 64: section offsets count from image offset 96.
  const char* tags[3] = {"CODE00", "FE_HDR", "DATA00"};
  const uint32_t offsets[3] = {0x1000, 0x0800, 0x4000};
  for (size_t i = 0; i < 3; ++i) {
    size_t entry = 64 + 32 * i;
    std::memset(image.data() + entry, 0, 32);
    PutText(image, entry, tags[i]);
    Put32(image, entry + 24, offsets[i]);
  }
  // The system parameter block: a plausible IDENTIFY page template.
  size_t block = 96 + 0x0800;
  std::memset(image.data() + block, 0, 856);
  Put32(image, block + 24, 0x00000010);
  size_t page = block + 76;
  Put16(image, page + 2 * 0, 0x0040);
  Put16(image, page + 2 * 47, 0x8010);
  Put16(image, page + 2 * 76, 0x0106);
  Put16(image, page + 2 * 78, 0x0040);
  for (size_t w = 10; w < 47; ++w) Put16(image, page + 2 * w, 0x2020);
  Seal(image, block + 16, block, 856);
  Seal(image, 40, 0, image.size());
  return image;
}

Bytes RdtParameters() {
  Bytes image = Noise(1000, 0x52445450);
  std::memset(image.data(), 0, 128);
  PutText(image, 0, "QELVAR RDT PARAMETERS");
  const uint16_t values[10] = {60, 4, 160, 4, 3, 256, 0, 0, 0, 0};
  for (size_t i = 0; i < 10; ++i) Put16(image, 96 + 2 * i, values[i]);
  Seal(image, 40, 0, image.size());
  return image;
}

bool Write(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::path aside = path;
  aside += ".tmp";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(aside, path, ec);
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::path dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  Bytes burner = Noise(100000, 0x424E5231);
  PutText(burner, 0, "QELVAR BURNER");
  bool ok = Write(dir / "burner.bin", burner) && Write(dir / "rdtparam.bin", RdtParameters()) &&
            Write(dir / "sysfw.bin", Firmware(196608, 0x53595346, "QELVAR SYSFW")) &&
            Write(dir / "rdtfw.bin", Firmware(131072, 0x52445446, "QELVAR RDTFW")) &&
            Write(dir / "spi.bin", Noise(65536, 0x53504931));
  if (!ok) {
    std::fprintf(stderr, "cannot write the images into %s\n", dir.string().c_str());
    return 1;
  }
  return 0;
}
