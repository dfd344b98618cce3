// The MBR sector the Linux backend writes, byte for byte.

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/linux/mbr_sector.h"
#include "support/fake_device_io.h"

namespace qelvar::platform::linux_backend {
namespace {

using testing::Bytes;

DriveLayout OneNtfsPartition(uint64_t startSector, uint64_t sectors, uint32_t sectorBytes = 512) {
  DriveLayout layout;
  layout.signature = 0x12345678;
  layout.entries[0].type = 0x07;
  layout.entries[0].number = 1;
  layout.entries[0].startOffset = startSector * sectorBytes;
  layout.entries[0].length = sectors * sectorBytes;
  return layout;
}

std::vector<uint8_t> Slice(const std::array<uint8_t, 512>& s, size_t from, size_t n) {
  return {s.begin() + static_cast<ptrdiff_t>(from), s.begin() + static_cast<ptrdiff_t>(from + n)};
}

TEST(MbrSector, SignatureEntryOneAndBootSignatureWhereAnMbrKeepsThem) {
  std::array<uint8_t, 512> s{};
  s.fill(0xCC);
  ASSERT_TRUE(EncodeMbrSector(OneNtfsPartition(2048, 192780), 512, s));

  EXPECT_EQ(Slice(s, 0, 440), std::vector<uint8_t>(440, 0x00)) << "no boot code";
  EXPECT_EQ(Slice(s, 440, 6), Bytes("78 56 34 12 00 00"));
  // Not bootable; CHS 0/32/33 (sector 2048) to 12/32/32 (sector 194827);
  // type 07h; LBA 2048; 192780 sectors.
  EXPECT_EQ(Slice(s, 446, 16), Bytes("00 20 21 00 07 20 20 0C 00 08 00 00 0C F1 02 00"));
  EXPECT_EQ(Slice(s, 462, 48), std::vector<uint8_t>(48, 0x00)) << "entries 2 to 4 empty";
  EXPECT_EQ(Slice(s, 510, 2), Bytes("55 AA"));
}

TEST(MbrSector, AddressesPastCylinder1023UseTheLbaMarker) {
  std::array<uint8_t, 512> s{};
  // A 1 TB partition: starts inside the CHS range, ends far beyond it.
  ASSERT_TRUE(EncodeMbrSector(OneNtfsPartition(2048, 1953520065), 512, s));
  EXPECT_EQ(Slice(s, 446, 16), Bytes("00 20 21 00 07 FE FF FF 00 08 00 00 C1 59 70 74"));

  uint8_t chs[3];
  ChsFromLba(1023ull * 255 * 63 + 254 * 63 + 62, chs);  // the last CHS-addressable sector
  EXPECT_EQ(std::vector<uint8_t>(chs, chs + 3), Bytes("FE FF FF"));
  ChsFromLba(1024ull * 255 * 63, chs);
  EXPECT_EQ(std::vector<uint8_t>(chs, chs + 3), Bytes("FE FF FF"));
  ChsFromLba(300ull * 255 * 63, chs);  // cylinder 300 = 12Ch: bits 8-9 go to the sector byte
  EXPECT_EQ(std::vector<uint8_t>(chs, chs + 3), Bytes("00 41 2C"));
}

TEST(MbrSector, FourKibSectorsCountInTheirOwnUnits) {
  std::array<uint8_t, 512> s{};
  ASSERT_TRUE(EncodeMbrSector(OneNtfsPartition(2048, 100, 4096), 4096, s));
  EXPECT_EQ(Slice(s, 454, 8), Bytes("00 08 00 00 64 00 00 00"));
}

TEST(MbrSector, EntriesAnMbrCannotHoldAreRefusedAndNothingIsWritten) {
  struct Case {
    const char* what;
    DriveLayout layout;
  } cases[] = {
      {"start inside a sector",
       [] {
         DriveLayout l = OneNtfsPartition(2048, 100);
         l.entries[0].startOffset += 1;
         return l;
       }()},
      {"length inside a sector",
       [] {
         DriveLayout l = OneNtfsPartition(2048, 100);
         l.entries[0].length -= 1;
         return l;
       }()},
      {"no sectors", OneNtfsPartition(2048, 0)},
      {"more than 2^32 - 1 sectors", OneNtfsPartition(2048, 0x100000000ull)},
      {"start beyond 2^32 - 1", OneNtfsPartition(0x100000000ull, 8)},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 512> s{};
    s.fill(0xCC);
    EXPECT_FALSE(EncodeMbrSector(c.layout, 512, s)) << c.what;
    EXPECT_EQ(s[0], 0xCC) << c.what;
  }
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
