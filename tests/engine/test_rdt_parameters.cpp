#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/rdt_parameters.h"

namespace qelvar::engine {
namespace {

std::vector<uint8_t> ParamFile(size_t size = 4096) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  return image;
}

uint32_t ExpectedCrc(std::vector<uint8_t> bytes, size_t length) {
  bytes.resize(std::max<size_t>(bytes.size(), 44));
  std::memset(bytes.data() + 40, 0xFF, 4);
  return ~static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(length)));
}

uint32_t StoredCrc(const std::vector<uint8_t>& image) {
  return image[40] | image[41] << 8 | image[42] << 16 | uint32_t{image[43]} << 24;
}

settings::MpSettings RdtOptions() {
  settings::MpSettings s;
  s.ErrBitSlc = 60;
  s.PeCycSlc = 4;
  s.ErrBitTlc = 160;
  s.PeCycTlc = 4;
  s.MaxRunHours = 3;
  s.MaxLaterBadLun = 256;
  s.StartWeru = 0x1234;
  s.EndWeru = 0xFFFF;
  s.Resv1 = 0;
  s.Resv2 = 0xA55A;
  return s;
}

TEST(UpdateRdtParameters, StoresTheTenValuesLittleEndianAt96) {
  std::vector<uint8_t> image = ParamFile();
  UpdateRdtParameters(image, RdtOptions(), 1024);
  const std::string expected(
      "\x3C\x00\x04\x00\xA0\x00\x04\x00\x03\x00\x00\x01\x34\x12\xFF\xFF\x00\x00\x5A\xA5", 20);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + 96), 20), expected);
}

TEST(UpdateRdtParameters, ChecksumCoversTheFirstLBytesWithItsFieldAsOnes) {
  for (uint32_t length : {1024u, 116u, 4096u, 40u}) {
    std::vector<uint8_t> image = ParamFile();
    const std::vector<uint8_t> before = image;
    UpdateRdtParameters(image, RdtOptions(), length);
    EXPECT_EQ(StoredCrc(image), ExpectedCrc(image, length)) << length;
    for (size_t i = 0; i < image.size(); ++i) {
      if ((i >= 40 && i < 44) || (i >= 96 && i < 116)) continue;
      ASSERT_EQ(image[i], before[i]) << "byte " << i;
    }
  }
}

TEST(UpdateRdtParameters, LengthZeroStoresAllOnes) {
  std::vector<uint8_t> image = ParamFile();
  UpdateRdtParameters(image, RdtOptions(), 0);
  EXPECT_EQ(StoredCrc(image), 0xFFFFFFFFu);
}

TEST(UpdateRdtParameters, ALengthPastTheBufferCoversTheBufferOnly) {
  std::vector<uint8_t> image = ParamFile(4096);
  UpdateRdtParameters(image, RdtOptions(), 100000);
  EXPECT_EQ(StoredCrc(image), ExpectedCrc(image, 4096));
}

TEST(UpdateRdtParameters, ABufferTooShortForTheFieldsKeepsWithinIt) {
  std::vector<uint8_t> image = ParamFile(100);
  UpdateRdtParameters(image, RdtOptions(), 100);
  // Room for ErrBitSlc and PeCycSlc only.
  EXPECT_EQ(image[96], 0x3C);
  EXPECT_EQ(image[98], 0x04);
  EXPECT_EQ(StoredCrc(image), ExpectedCrc(image, 100));
}

}  // namespace
}  // namespace qelvar::engine
