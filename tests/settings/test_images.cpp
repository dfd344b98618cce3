#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "settings/images.h"
#include "settings_fixtures.h"

namespace qelvar::settings {
namespace {

using testing::Message;
using testing::RecordingMessages;
using testing::TempDir;
using testing::Warning;
using testing::WriteFile;
using testing::WriteFileOfSize;

template <size_t N>
void SetPath(char (&field)[N], const std::string& path) {
  ASSERT_LT(path.size(), N);
  std::copy(path.begin(), path.end(), field);
  field[path.size()] = '\0';
}

template <size_t N>
bool AllZeroFrom(const std::array<uint8_t, N>& buffer, size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                     [](uint8_t b) { return b == 0; });
}

TEST(LoadImages, FillsEachBufferWithItsFileAndZerosTheRest) {
  TempDir dir;
  MpSettings s;
  WriteFile(dir / "bnr.bin", "BURN!");
  WriteFileOfSize(dir / "rdtparam.bin", 4096, 'R');
  WriteFile(dir / "sysfw.bin", std::string(1000, 'S'));
  SetPath(s.BurnerPath, dir / "bnr.bin");
  SetPath(s.RdtParamPath, dir / "rdtparam.bin");
  SetPath(s.SysFwPath, dir / "sysfw.bin");
  SetPath(s.SpiPath, dir / "missing_spi.bin");
  RecordingMessages messages;

  LoadedImages loaded = LoadImages(s, messages);

  ASSERT_TRUE(loaded.images);
  const Images& im = *loaded.images;
  EXPECT_TRUE(loaded.runMayStart());
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(std::string(im.gBurnerImage.begin(), im.gBurnerImage.begin() + 5), "BURN!");
  EXPECT_TRUE(AllZeroFrom(im.gBurnerImage, 5));
  EXPECT_EQ(im.RdtParamLength, 4096u);
  EXPECT_EQ(im.gRdtParamImage[4095], 'R');
  EXPECT_EQ(im.SysFwLength, 1000u);
  EXPECT_EQ(im.gSysFwImage[999], 'S');
  EXPECT_TRUE(AllZeroFrom(im.gSysFwImage, 1000));
  EXPECT_EQ(im.SpiLength, 0u);
  EXPECT_TRUE(AllZeroFrom(im.gSpiImage, 0));
}

TEST(LoadImages, RefusesAnOversizeFileWithAWarningAndBlocksTheRun) {
  TempDir dir;
  MpSettings s;
  const std::string big = dir / "sysfw.bin";
  WriteFileOfSize(big, 786433, 'S');
  WriteFile(dir / "spi.bin", "SPI");
  SetPath(s.SysFwPath, big);
  SetPath(s.SpiPath, dir / "spi.bin");
  RecordingMessages messages;

  LoadedImages loaded = LoadImages(s, messages);

  EXPECT_FALSE(loaded.runMayStart());
  ASSERT_EQ(loaded.refused.size(), 1u);
  EXPECT_EQ(loaded.refused[0].path, big);
  EXPECT_EQ(loaded.refused[0].size, 786433u);
  EXPECT_EQ(messages.shown,
            (std::vector<Message>{Warning("Image file " + big +
                                              " is 786433 bytes, larger than its 786432-byte "
                                              "buffer. It was not loaded; the run cannot start.",
                                          "Image Too Large")}));
  EXPECT_EQ(loaded.images->SysFwLength, 0u);
  EXPECT_TRUE(AllZeroFrom(loaded.images->gSysFwImage, 0));
  EXPECT_EQ(loaded.images->SpiLength, 3u);  // the others still load
}

TEST(LoadImages, ALaterLoadNeverChangesAnEarlierSnapshot) {
  TempDir dir;
  MpSettings s;
  WriteFile(dir / "sysfw.bin", "first");
  SetPath(s.SysFwPath, dir / "sysfw.bin");
  RecordingMessages messages;
  std::shared_ptr<const Images> running = LoadImages(s, messages).images;
  WriteFile(dir / "sysfw.bin", "second!");
  std::shared_ptr<const Images> next = LoadImages(s, messages).images;
  EXPECT_EQ(std::string(running->gSysFwImage.begin(), running->gSysFwImage.begin() + 6),
            std::string("first\0", 6));
  EXPECT_EQ(running->SysFwLength, 5u);
  EXPECT_EQ(next->SysFwLength, 7u);
}

struct ReadCase {
  const char* name;
  int64_t fileSize;  // -1: no file; -2: a folder
  ImageRead result;
  uint32_t length;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.name;
}

class ReadImage : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadImage, NeverWritesBeyondTheBufferNorLeavesPartOfAFile) {
  const ReadCase& c = GetParam();
  TempDir dir;
  const std::string path = dir / "image.bin";
  if (c.fileSize == -2) std::filesystem::create_directory(path);
  if (c.fileSize >= 0) WriteFileOfSize(path, static_cast<size_t>(c.fileSize), 'I');
  // A 4096-byte buffer with guard bytes on both sides.
  std::vector<uint8_t> backing(4096 + 64, 0xEE);
  std::span<uint8_t> buffer(backing.data() + 32, 4096);
  std::fill(buffer.begin(), buffer.end(), 0);
  uint32_t length = 12345;
  uint64_t size = 0;
  EXPECT_EQ(ReadImageFile(path, buffer, length, &size), c.result);
  EXPECT_EQ(length, c.length);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 'I'), c.length);
  EXPECT_TRUE(
      std::all_of(backing.begin(), backing.begin() + 32, [](uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(std::all_of(backing.end() - 32, backing.end(), [](uint8_t b) { return b == 0xEE; }));
  if (c.result == ImageRead::kTooLarge) {
    EXPECT_EQ(size, static_cast<uint64_t>(c.fileSize));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadImage,
                         ::testing::Values(ReadCase{"Empty", 0, ImageRead::kRead, 0},
                                           ReadCase{"Partial", 100, ImageRead::kRead, 100},
                                           ReadCase{"ExactlyFull", 4096, ImageRead::kRead, 4096},
                                           ReadCase{"OneByteOver", 4097, ImageRead::kTooLarge, 0},
                                           ReadCase{"FarOver", 100000, ImageRead::kTooLarge, 0},
                                           ReadCase{"Missing", -1, ImageRead::kCannotOpen, 0},
                                           ReadCase{"Folder", -2, ImageRead::kCannotOpen, 0}),
                         [](const ::testing::TestParamInfo<ReadCase>& p) { return p.param.name; });

}  // namespace
}  // namespace qelvar::settings
