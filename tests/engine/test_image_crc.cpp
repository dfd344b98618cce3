#include <gtest/gtest.h>

#include <string_view>

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

}  // namespace
}  // namespace qelvar::engine
