// SHA-256 against the published test vectors, whole and fed in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "digest/sha256.h"

namespace qelvar::digest {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Sha256, KnownDigestsIncludingBlockBoundaries) {
  EXPECT_EQ(Sha256Hex(Bytes("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Bytes("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padding block.
  EXPECT_EQ(Sha256Hex(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string million(1'000'000, 'a');
  EXPECT_EQ(Sha256Hex(Bytes(million)),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Fed in uneven pieces, the same digest.
  Sha256 pieces;
  for (size_t at = 0; at < million.size();) {
    size_t n = std::min<size_t>(million.size() - at, 1 + at % 97);
    pieces.Update(Bytes(million).subspan(at, n));
    at += n;
  }
  auto digest = pieces.Finish();
  EXPECT_EQ(digest[0], 0xcd);
  EXPECT_EQ(digest[31], 0xd0);
}

TEST(HexLower, TwoLowerCaseDigitsAByte) {
  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(HexLower(bytes), "000fa5ff");
  EXPECT_EQ(HexLower({}), "");
}

}  // namespace
}  // namespace qelvar::digest
