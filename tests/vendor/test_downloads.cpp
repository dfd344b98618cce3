#include <gtest/gtest.h>

#include <numeric>
#include <ostream>

#include "support/fake_device_io.h"
#include "vendor/vendor_commands.h"

namespace qelvar::vendor {
namespace {

using platform::DataDirection;
using platform::TaskFile;
using testing::Bytes;
using testing::FakeAnswer;
using testing::FakeDeviceIo;
using testing::FakeRequest;

class DownloadTest : public ::testing::Test {
 protected:
  DownloadTest() { clock.NameThisThread("worker"); }

  // Every pause the commands took, in order.
  std::vector<uint32_t> Pauses() { return clock.PausesOf("worker"); }

  static std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    return v;
  }

  platform::VirtualClock clock;
  FakeDeviceIo io{&clock};
  transport::PassThroughTransport transport{io, clock};
  VendorCommands vendor{transport};
  PortTarget port{"/dev/sdc", 1};
};

// The 12-byte chunk image: mode, blocks, block offset low and high.
std::vector<uint8_t> ChunkImage(uint8_t mode, uint8_t blocks, uint8_t offLow, uint8_t offHigh) {
  return {0xA1, 0x0A, 0x03, mode, blocks, 0x00, offLow, offHigh, 0xE0, 0x92, 0x00, 0x00};
}

TEST_F(DownloadTest, BurnerIsAlwaysNinetySixChunksTenMillisecondsApart) {
  std::vector<uint8_t> burner = Pattern(kBurnerImageSize);
  ASSERT_EQ(vendor.DownloadBurnerImage(port, burner), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 96u);
  EXPECT_EQ(requests.front().cdb, ChunkImage(0x03, 0x08, 0x00, 0x00));
  EXPECT_EQ(requests[1].cdb, ChunkImage(0x03, 0x08, 0x08, 0x00));
  EXPECT_EQ(requests.back().cdb, ChunkImage(0x03, 0x08, 0xF8, 0x02)) << "last chunk at block 760";
  for (size_t i = 0; i < requests.size(); ++i) {
    ASSERT_EQ(requests[i].direction, DataDirection::Out);
    ASSERT_EQ(requests[i].timeoutSeconds, 20u);
    ASSERT_TRUE(std::equal(requests[i].dataOut.begin(), requests[i].dataOut.end(),
                           burner.begin() + static_cast<long>(i * 4096)))
        << "chunk " << i;
  }
  EXPECT_EQ(Pauses(), std::vector<uint32_t>(96, 10));
}

TEST_F(DownloadTest, BurnerShorterThanItsBufferIsPaddedWithZeros) {
  std::vector<uint8_t> shortFile(5000, 0xAB);
  ASSERT_EQ(vendor.DownloadBurnerImage(port, shortFile), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 96u);
  EXPECT_EQ(requests[1].dataOut[903], 0xAB);
  EXPECT_EQ(requests[1].dataOut[904], 0x00);
  EXPECT_EQ(requests[95].dataOut, std::vector<uint8_t>(4096, 0));
}

struct RdtCase {
  uint32_t length;
  std::vector<std::vector<uint8_t>> images;
  std::vector<uint32_t> bytes;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const RdtCase& c, std::ostream* os) {
  *os << c.length << " bytes";
}

class RdtParameterChunks : public DownloadTest, public ::testing::WithParamInterface<RdtCase> {};

TEST_P(RdtParameterChunks, CoverExactlyTheLengthInWholeBlocks) {
  const RdtCase& c = GetParam();
  std::vector<uint8_t> image = Pattern(kRdtParamImageSize * 2);
  ASSERT_EQ(vendor.DownloadRdtParameters(port, image, c.length), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), c.images.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].cdb, c.images[i]);
    EXPECT_EQ(requests[i].length, c.bytes[i]);
  }
  EXPECT_EQ(Pauses(), std::vector<uint32_t>(c.images.size(), 50));
}

INSTANTIATE_TEST_SUITE_P(Lengths, RdtParameterChunks,
                         ::testing::Values(RdtCase{1000, {ChunkImage(0x03, 2, 0, 0)}, {1024}},
                                           RdtCase{4096, {ChunkImage(0x03, 8, 0, 0)}, {4096}},
                                           RdtCase{4097,
                                                   {ChunkImage(0x03, 8, 0, 0),
                                                    ChunkImage(0x03, 1, 8, 0)},
                                                   {4096, 512}},
                                           RdtCase{512, {ChunkImage(0x03, 1, 0, 0)}, {512}}),
                         [](const auto& p) { return "Length" + std::to_string(p.param.length); });

TEST_F(DownloadTest, SystemFirmwareRoundsUpToWholeChunksCarryingTheBytesBeyondTheImage) {
  std::vector<uint8_t> buffer = Pattern(kSysFwImageSize);
  ASSERT_EQ(vendor.DownloadSystemFirmware(port, buffer, 5000, kModeSaveDeferred), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].cdb, ChunkImage(0x0E, 8, 0x00, 0));
  EXPECT_EQ(requests[1].cdb, ChunkImage(0x0E, 8, 0x08, 0));
  EXPECT_EQ(requests[1].length, 4096u);
  EXPECT_TRUE(
      std::equal(requests[1].dataOut.begin(), requests[1].dataOut.end(), buffer.begin() + 4096));
  EXPECT_EQ(Pauses(), (std::vector<uint32_t>{50, 50}));
}

TEST_F(DownloadTest, FullSizeSystemFirmwareReachesBlockOffset1528) {
  std::vector<uint8_t> buffer(kSysFwImageSize, 0x11);
  ASSERT_EQ(vendor.DownloadSystemFirmware(port, buffer, kSysFwImageSize, kModeSaveImmediate), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 192u);
  EXPECT_EQ(requests.back().cdb, ChunkImage(0x03, 8, 0xF8, 0x05));
}

TEST_F(DownloadTest, ThirtyTwoMebibytesIsTheLongestDownloadTheOffsetReaches) {
  std::vector<uint8_t> spi(4096, 0x22);
  ASSERT_EQ(vendor.DownloadSpiRom(port, spi, kMaxDownloadBytes, kModeSaveDeferred), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 8192u);
  EXPECT_EQ(requests.back().cdb, ChunkImage(0x0E, 8, 0xF8, 0xFF));
}

TEST_F(DownloadTest, ALengthTheBlockOffsetCannotReachIsRefusedUnsent) {
  std::vector<uint8_t> buffer(4096, 0x33);
  // One byte more would wrap the offset to block 0 and overwrite the start;
  // near 4 GiB the byte offset itself would wrap and never end the loop.
  for (uint32_t length :
       {kMaxDownloadBytes + 1, kMaxDownloadBytes + 4096, 0xFFFFF001u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(vendor.DownloadSystemFirmware(port, buffer, length, kModeSaveImmediate), 0);
    EXPECT_EQ(vendor.DownloadSpiRom(port, buffer, length, kModeSaveImmediate), 0);
    EXPECT_EQ(vendor.DownloadRdtParameters(port, buffer, length), 0);
  }
  EXPECT_TRUE(io.Requests().empty());
  EXPECT_TRUE(Pauses().empty());
}

TEST_F(DownloadTest, SpiRomUsesTheCallersModeAndExactlyOneChunkFor4096Bytes) {
  std::vector<uint8_t> spi(kSpiImageSize, 0x22);
  ASSERT_EQ(vendor.DownloadSpiRom(port, spi, 4096, kModeSaveDeferred), 1);
  ASSERT_EQ(io.Requests().size(), 1u);
  EXPECT_EQ(io.Requests()[0].cdb, ChunkImage(0x0E, 8, 0, 0));
}

TEST_F(DownloadTest, ZeroLengthSendsNothingAndSucceeds) {
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(vendor.DownloadSystemFirmware(port, buffer, 0, kModeSaveImmediate), 1);
  EXPECT_EQ(vendor.DownloadSpiRom(port, buffer, 0, kModeSaveImmediate), 1);
  EXPECT_EQ(vendor.DownloadRdtParameters(port, buffer, 0), 1);
  EXPECT_TRUE(io.Requests().empty());
  EXPECT_TRUE(Pauses().empty());
}

TEST_F(DownloadTest, FailureOnTheThirdChunkStopsAfterTwoPauses) {
  io.SetScript([n = 0](const FakeRequest&) mutable {
    FakeAnswer a;
    a.completed = ++n != 3;
    return a;
  });
  std::vector<uint8_t> buffer = Pattern(kSysFwImageSize);
  EXPECT_EQ(vendor.DownloadSystemFirmware(port, buffer, 5 * 4096, kModeSaveImmediate), 0);
  EXPECT_EQ(io.Requests().size(), 3u);
  EXPECT_EQ(Pauses(), (std::vector<uint32_t>{50, 50}));
}

TEST_F(DownloadTest, MicrocodeActivationIsOneNonDataCommandWithoutPause) {
  ASSERT_EQ(vendor.DownloadMicrocode(port), 1);
  ASSERT_EQ(io.Requests().size(), 1u);
  EXPECT_EQ(io.Requests()[0].cdb, Bytes("A1 06 00 0F 00 00 00 00 E0 92 00 00"));
  EXPECT_EQ(io.Requests()[0].direction, DataDirection::None);
  EXPECT_TRUE(Pauses().empty());

  FakeAnswer dropped;
  dropped.completed = false;
  io.Enqueue(dropped);
  EXPECT_EQ(vendor.DownloadMicrocode(port), 0);
}

TEST_F(DownloadTest, OnTheAtaPathChunksBecome28BitTaskFiles) {
  io.SetScript([](const FakeRequest&) {
    FakeAnswer a;
    a.returned = {0, 0, 0, 0, 0, 0xE0, 0x50, 0};
    return a;
  });
  PortTarget ata{"/dev/sdc", 3};
  std::vector<uint8_t> image = Pattern(kRdtParamImageSize);
  ASSERT_EQ(vendor.DownloadRdtParameters(ata, image, 4097), 1);
  ASSERT_EQ(vendor.DownloadMicrocode(ata), 1);
  auto requests = io.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].current, (TaskFile{0x03, 0x08, 0x00, 0x00, 0x00, 0xE0, 0x92, 0}));
  EXPECT_EQ(requests[0].flags, 0x05);
  EXPECT_EQ(requests[1].current, (TaskFile{0x03, 0x01, 0x00, 0x08, 0x00, 0xE0, 0x92, 0}));
  EXPECT_EQ(requests[2].current, (TaskFile{0x0F, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x92, 0}));
  EXPECT_EQ(requests[2].flags, 0x00);
}

}  // namespace
}  // namespace qelvar::vendor
