#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/system_parameter_block.h"

namespace qelvar::engine {
namespace {

using Image = std::vector<uint8_t>;

void PutLe32(Image& image, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetLe32(const Image& image, size_t at) {
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t{image[at + 3]} << 24;
}

// The plain CRC-32 of zlib, complemented, over `bytes` with the 4-byte field
// at `field` taken as FFFFFFFFh: what the drive recomputes.
uint32_t ExpectedCrc(const uint8_t* bytes, size_t length, size_t field) {
  std::vector<uint8_t> copy(bytes, bytes + length);
  std::memset(copy.data() + field, 0xFF, 4);
  return ~static_cast<uint32_t>(crc32(0, copy.data(), static_cast<uInt>(copy.size())));
}

// An image whose every byte differs from its neighbours, so a byte written in
// the wrong place shows.
Image PatternImage(size_t size) {
  Image image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  return image;
}

void PutEntry(Image& image, uint32_t index, const char tag[6], uint32_t sectionOffset) {
  const size_t at = 64 + 32 * index;
  std::memcpy(image.data() + at, tag, 6);
  PutLe32(image, at + 24, sectionOffset);
}

// Two directory entries, the second one naming the block at 96 + 100h.
Image ImageWithDirectory(size_t size = 4096) {
  Image image = PatternImage(size);
  PutLe32(image, 24, 2);
  PutEntry(image, 0, "CODE_0", 0x800);
  PutEntry(image, 1, "FE_HDR", 0x100);
  return image;
}
constexpr size_t kBlock = 96 + 0x100;

struct Texts {
  char serial[21] = "AB123456";
  char version[9] = "V1.2";
};

settings::MpSettings Options() {
  settings::MpSettings s;
  std::strcpy(s.ModelName, "QELVAR SSD 256GB");
  s.Tem54 = 0x36;
  s.SetCapacity = 0x0102;
  return s;
}

std::string Bytes(const Image& image, size_t at, size_t n) {
  return std::string(reinterpret_cast<const char*>(image.data() + at), n);
}

TEST(BuildSystemParameterBlock, WritesTheIdentityAsAtaStringsAndTheBinAndCapacityCode) {
  Image image = ImageWithDirectory();
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 4096, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  // Words 10-19, 23-26, 27-46: each pair of characters stored second first.
  EXPECT_EQ(Bytes(image, kBlock + 96, 20), "BA214365            ");
  EXPECT_EQ(Bytes(image, kBlock + 122, 8), "1V2.    ");
  EXPECT_EQ(Bytes(image, kBlock + 130, 40), "EQVLRAS DS2 65BG                        ");
  // The worker shows its texts padded afterwards.
  EXPECT_EQ(std::string(t.serial), "AB123456            ");
  EXPECT_EQ(std::string(t.version), "V1.2    ");
  // 54TEM, the bin and the capacity code follow the IDENTIFY page.
  EXPECT_EQ(Bytes(image, kBlock + 668, 4), "\x36\x02\x02\x01");
}

TEST(BuildSystemParameterBlock, SetsFlagBitZeroAndBitTwoOnlyForAUserDefinedVersion) {
  for (int userDefined : {0, 1}) {
    Image image = ImageWithDirectory();
    image[kBlock + 24] = 0x12;
    const Image before = image;
    settings::MpSettings s = Options();
    s.FWVersionUserDefine = static_cast<uint8_t>(userDefined);
    Texts t;
    ASSERT_EQ(BuildSystemParameterBlock(image, 4096, s, t.serial, 1, t.version),
              ParameterBlockResult::kBuilt);
    EXPECT_EQ(image[kBlock + 24], userDefined ? 0x17 : 0x13);
    EXPECT_EQ(Bytes(image, kBlock + 25, 3), Bytes(before, kBlock + 25, 3));
  }
}

TEST(BuildSystemParameterBlock, PowerManagementWordsAreReplacedWhenSetAndKeptWhenNot) {
  struct Case {
    uint8_t bdipm, bhipm;
    const char* word76;
    const char* word78;
  };
  for (const Case& c : {Case{0, 0, "\x34\x12", "\xF1\x00"}, Case{1, 1, "\x00\x02", "\x08\x00"},
                        Case{1, 0, "\x00\x02", "\xF1\x00"}}) {
    Image image = ImageWithDirectory();
    image[kBlock + 76 + 152] = 0x34;  // word 76 = 1234h
    image[kBlock + 76 + 153] = 0x12;
    image[kBlock + 76 + 156] = 0xF1;  // word 78 = 00F1h
    image[kBlock + 76 + 157] = 0x00;
    settings::MpSettings s = Options();
    s.BDIPM = c.bdipm;
    s.BHIPM = c.bhipm;
    Texts t;
    ASSERT_EQ(BuildSystemParameterBlock(image, 4096, s, t.serial, 1, t.version),
              ParameterBlockResult::kBuilt);
    EXPECT_EQ(Bytes(image, kBlock + 228, 2), std::string(c.word76, 2)) << int(c.bdipm);
    EXPECT_EQ(Bytes(image, kBlock + 232, 2), std::string(c.word78, 2)) << int(c.bhipm);
  }
}

TEST(BuildSystemParameterBlock, IntegrityWordIsA5AndThePlainSumOfPageBytes0To510) {
  Image image = ImageWithDirectory();
  const uint8_t oldLow = image[kBlock + 76 + 510];
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 4096, Options(), t.serial, 3, t.version),
            ParameterBlockResult::kBuilt);
  unsigned sum = oldLow;
  for (size_t i = 0; i < 510; ++i) sum += image[kBlock + 76 + i];
  EXPECT_EQ(image[kBlock + 76 + 510], 0xA5);
  EXPECT_EQ(image[kBlock + 76 + 511], sum % 256);
}

TEST(BuildSystemParameterBlock, ChecksumsCoverTheFinishedBlockAndTheWholeImage) {
  Image image = ImageWithDirectory(5000);
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 4800, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(GetLe32(image, kBlock + 16), ExpectedCrc(image.data() + kBlock, 856, 16));
  // The image checksum covers the image length only, block checksum included.
  EXPECT_EQ(GetLe32(image, 40), ExpectedCrc(image.data(), 4800, 40));
}

TEST(BuildSystemParameterBlock, TouchesNothingOutsideTheBlockButTheImageChecksum) {
  Image image = ImageWithDirectory();
  const Image before = image;
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 4096, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  for (size_t i = 0; i < image.size(); ++i) {
    const bool inBlock = i >= kBlock && i < kBlock + 856;
    const bool checksum = i >= 40 && i < 44;
    if (!inBlock && !checksum) {
      ASSERT_EQ(image[i], before[i]) << "byte " << i;
    }
  }
  // Inside the block, the bytes nobody owns stay too.
  EXPECT_EQ(Bytes(image, kBlock, 16), Bytes(before, kBlock, 16));
  EXPECT_EQ(Bytes(image, kBlock + 588, 80), Bytes(before, kBlock + 588, 80));
  EXPECT_EQ(Bytes(image, kBlock + 672, 184), Bytes(before, kBlock + 672, 184));
}

TEST(BuildSystemParameterBlock, WithoutAnFeHdrEntryTheBlockStartsAt96) {
  Image image = PatternImage(2048);
  PutLe32(image, 24, 1);
  PutEntry(image, 0, "FE_HDX", 0x100);
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 2048, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(Bytes(image, 96 + 96, 8), "BA214365");
  EXPECT_EQ(GetLe32(image, 96 + 16), ExpectedCrc(image.data() + 96, 856, 16));
}

TEST(BuildSystemParameterBlock, ADirectoryCountPastTheImageSearchesOnlyTheEntriesInIt) {
  // The count claims four billion entries; the image holds 8 whole ones and
  // the seventh is the block's.
  Image image = PatternImage(64 + 8 * 32 + 16);
  image.resize(2048, 0);
  PutLe32(image, 24, 0xFFFFFFFF);
  PutEntry(image, 6, "FE_HDR", 0x200);
  Texts t;
  EXPECT_EQ(BuildSystemParameterBlock(image, 2048, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(Bytes(image, 96 + 0x200 + 96, 8), "BA214365");
}

TEST(BuildSystemParameterBlock, AnFeHdrEntryBeyondTheImageLengthIsNotSeen) {
  Image image = PatternImage(4096);
  PutLe32(image, 24, 31);
  PutEntry(image, 30, "FE_HDR", 0x100);  // lies at 1024-1055
  Texts t;
  ASSERT_EQ(BuildSystemParameterBlock(image, 1000, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(Bytes(image, 96 + 96, 8), "BA214365");
}

TEST(BuildSystemParameterBlock, RefusesImagesThatCannotHoldHeaderOrBlockAndLeavesAllAlone) {
  struct Case {
    const char* what;
    size_t buffer;
    uint32_t length;
    uint32_t sectionOffset;
    ParameterBlockResult expected;
  };
  const Case cases[] = {
      {"empty", 4096, 0, 0, ParameterBlockResult::kImageTooShort},
      {"63 bytes", 4096, 63, 0, ParameterBlockResult::kImageTooShort},
      {"block one byte short", 4096, 96 + 0x100 + 855, 0x100,
       ParameterBlockResult::kBlockOutsideImage},
      {"offset wraps 32 bits", 4096, 4096, 0xFFFFFFF0u, ParameterBlockResult::kBlockOutsideImage},
      {"length past the buffer", 1000, 1001, 0, ParameterBlockResult::kLengthPastBuffer},
  };
  for (const Case& c : cases) {
    Image image = PatternImage(c.buffer);
    PutLe32(image, 24, 1);
    PutEntry(image, 0, "FE_HDR", c.sectionOffset);
    const Image before = image;
    Texts t;
    EXPECT_EQ(BuildSystemParameterBlock(image, c.length, Options(), t.serial, 2, t.version),
              c.expected)
        << c.what;
    EXPECT_EQ(image, before) << c.what;
    EXPECT_STREQ(t.serial, "AB123456") << c.what;
    EXPECT_STREQ(t.version, "V1.2") << c.what;
  }
}

TEST(BuildSystemParameterBlock, ABlockEndingExactlyAtTheImageLengthIsBuilt) {
  Image image = ImageWithDirectory();
  Texts t;
  EXPECT_EQ(BuildSystemParameterBlock(image, 96 + 0x100 + 856, Options(), t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(GetLe32(image, 40), ExpectedCrc(image.data(), 96 + 0x100 + 856, 40));
}

TEST(BuildSystemParameterBlock, FullLengthTextsAreStoredWithoutPadding) {
  Image image = ImageWithDirectory();
  Texts t;
  std::memcpy(t.serial, "ABCDEFGHIJKLMNOPQRST", 21);
  std::memcpy(t.version, "12345678", 9);
  settings::MpSettings s = Options();
  std::memcpy(s.ModelName, "0123456789012345678901234567890123456789", 41);
  ASSERT_EQ(BuildSystemParameterBlock(image, 4096, s, t.serial, 2, t.version),
            ParameterBlockResult::kBuilt);
  EXPECT_EQ(Bytes(image, kBlock + 96, 20), "BADCFEHGJILKNMPORQTS");
  EXPECT_EQ(Bytes(image, kBlock + 122, 8), "21436587");
  EXPECT_EQ(Bytes(image, kBlock + 130, 40), "1032547698103254769810325476981032547698");
}

}  // namespace
}  // namespace qelvar::engine
