#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "engine/image_crc.h"

namespace qelvar::engine {
namespace {

std::span<const uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(ImageCrc, IsTheComplementOfTheUsualCrc32) {
  EXPECT_EQ(ImageCrc(AsBytes("abc")), 0xCADBBE3Du);
  // The usual CRC-32 check value of "123456789" is CBF43926h.
  EXPECT_EQ(ImageCrc(AsBytes("123456789")), ~0xCBF43926u);
}

TEST(ImageCrc, NoBytesLeaveTheInitialRegister) {
  EXPECT_EQ(ImageCrc({}), 0xFFFFFFFFu);
}

TEST(ImageCrc, ContinuingInPiecesGivesTheWholeValue) {
  std::vector<uint8_t> image(40000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
  const uint32_t whole = ImageCrc(image);
  uint32_t reg = kImageCrcStart;
  std::span<const uint8_t> rest(image);
  for (size_t piece : {64u, 16384u, 16384u}) {
    reg = ImageCrcUpdate(reg, rest.first(piece));
    rest = rest.subspan(piece);
  }
  EXPECT_EQ(ImageCrcUpdate(reg, rest), whole);
}

}  // namespace
}  // namespace qelvar::engine
