// The simulated drive at the DeviceIo seam: literal command images in, the
// controller's answers, refusals and failures out.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/sim/image_check.h"
#include "platform/sim/sim_station.h"
#include "sim_host.h"
#include "support/temp_folder.h"

namespace qelvar::simtest {
namespace {

using platform::VirtualClock;
using platform::sim::DriveMode;
using platform::sim::ParseStation;
using platform::sim::SimStation;
using platform::sim::StationConfig;

std::unique_ptr<SimStation> Station(const std::string& text, platform::Clock& clock) {
  StationConfig config;
  std::string error;
  EXPECT_TRUE(ParseStation(text, "", &config, &error)) << error;
  return std::make_unique<SimStation>(std::move(config), clock);
}

const char* kOneDrive = R"(
[Station]
Hubs = 1
[Drive0]
Hub = 0
HubPort = 3
Serial = SN123
Model = MODEL X
Firmware = FW1
Sectors = 1953525168
Channels = 2
CEs = 2
Luns = 1
Planes = 2
FlashId = 2CC4E532AA04
Bin = 2
CeBin = 0102030405060708
CeMr = 1112131415161718
)";

struct Fixture : ::testing::Test {
  VirtualClock clock;
  std::unique_ptr<SimStation> station = Station(kOneDrive, clock);
  Host host{*station, clock, station->PathOf(0)};
  DriveMode Mode() { return station->Inspect(0).mode; }
  void ToBurner() {
    ASSERT_TRUE(host.EnterRom());
    ASSERT_TRUE(host.StartBurner());
    ASSERT_EQ(Mode(), DriveMode::Burner);
  }
};

TEST(ImageCrc, MatchesTheControllerChecksum) {
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(platform::sim::ImageCrc(abc), 0xCADBBE3Du);
  EXPECT_EQ(Crc(abc, 3), 0xCADBBE3Du);
}

TEST(ImageCheck, FindsTheImageLengthInsideTheLastChunkOrBlock) {
  for (size_t length : {1464u, 4096u, 5000u, 8191u, 12288u}) {
    std::vector<uint8_t> img = SystemFirmware(length);
    img.resize((length + 4095) / 4096 * 4096, 0);
    EXPECT_TRUE(platform::sim::SystemFirmwareValid(img)) << length;
    img[length - 1] ^= 1;
    EXPECT_FALSE(platform::sim::SystemFirmwareValid(img)) << length;
  }
  for (size_t length : {44u, 100u, 512u, 513u, 4096u}) {
    std::vector<uint8_t> img = RdtParameters(length);
    img.resize((length + 511) / 512 * 512, 0);
    EXPECT_TRUE(platform::sim::RdtParametersValid(img)) << length;
    img[0] ^= 0x80;
    EXPECT_FALSE(platform::sim::RdtParametersValid(img)) << length;
  }
}

TEST(ImageCheck, SystemFirmwareNeedsBothChecksums) {
  std::vector<uint8_t> img = SystemFirmware(8192, 0x100);
  // A changed parameter block with a recomputed image checksum still fails.
  img[96 + 0x100 + 200] ^= 0xFF;
  Seal(img, 40, img.size());
  EXPECT_FALSE(platform::sim::SystemFirmwareValid(img));
  // Without an FE_HDR entry the block sits at offset 96.
  std::vector<uint8_t> plain(8192, 0x5A);
  PutLe32(plain, 24, 0);
  std::vector<uint8_t> block(plain.begin() + 96, plain.begin() + 96 + 856);
  Seal(block, 16, 856);
  std::copy(block.begin(), block.end(), plain.begin() + 96);
  Seal(plain, 40, plain.size());
  EXPECT_TRUE(platform::sim::SystemFirmwareValid(plain));
}

TEST_F(Fixture, IdentifyAnswersAtaStringsAndBothCapacities) {
  Reply r = host.Sat(kIdentify, DataDirection::In, 512);
  ASSERT_TRUE(r.Accepted());
  // Serial "SN123" padded with blanks, first character of a pair in the high byte.
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 20, r.data.begin() + 26),
            Bytes("4E 53 32 31 20 33"));
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 54, r.data.begin() + 62),
            Bytes("4F 4D 45 44 20 4C 20 58"));
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 120, r.data.begin() + 124), Bytes("FF FF FF 0F"));
  // 1,953,525,168 sectors in words 100-103.
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 200, r.data.begin() + 208),
            Bytes("B0 6D 70 74 00 00 00 00"));
  uint8_t sum = 0;
  for (uint8_t b : r.data) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(r.data[510], 0xA5);
  EXPECT_EQ(sum, 0);
}

TEST_F(Fixture, EnterRomModeNeedsItsPauseAndThenAnswersWithTheRomIdentity) {
  ASSERT_TRUE(host.First(kRomBlock).Accepted());
  host.Wait(499);
  Reply early = host.Sat(kNoData, DataDirection::None, 0);
  EXPECT_TRUE(early.Refused());
  EXPECT_EQ(Mode(), DriveMode::Normal);
  host.Wait(1);
  EXPECT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Accepted());
  EXPECT_EQ(Mode(), DriveMode::Rom);
  Reply id = host.Sat(kIdentify, DataDirection::In, 512);
  ASSERT_TRUE(id.Accepted());
  std::string serial;
  for (int i = 0; i < 20; ++i) serial.push_back(static_cast<char>(id.data[20 + (i ^ 1)]));
  EXPECT_EQ(serial, "ROM0000000000000000 ");
}

TEST_F(Fixture, ASecondPhaseWithoutItsFirstIsRefused) {
  EXPECT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Refused());
  // The second phase must be the one the command asked for.
  ASSERT_TRUE(host.First(kRomBlock).Accepted());
  host.Wait(500);
  Reply wrong = host.Sat(kIn512, DataDirection::In, 512);
  EXPECT_TRUE(wrong.Refused());
  EXPECT_EQ(wrong.data, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(Mode(), DriveMode::Normal);
}

TEST_F(Fixture, OneWrongByteInACommandBlockIsRefused) {
  const size_t positions[] = {1, 2, 4, 6, 7, 9, 12, 20, 33, 38, 39, 100, 511};
  for (size_t at : positions) {
    std::vector<uint8_t> block = kRomBlock;
    block[at] ^= 0x01;
    EXPECT_TRUE(host.First(block).Refused()) << "byte " << at;
    host.Wait(500);
    EXPECT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Refused()) << "byte " << at;
  }
  EXPECT_EQ(Mode(), DriveMode::Normal);
  EXPECT_EQ(station->Inspect(0).refused, 2 * std::size(positions));
}

TEST_F(Fixture, OneWrongByteInACommandImageIsRefused) {
  for (size_t at = 0; at < 16; ++at) {
    std::vector<uint8_t> image = kFirst;
    image[at] ^= 0x10;
    EXPECT_TRUE(host.Sat(image, DataDirection::Out, 512, kRomBlock).Refused()) << "byte " << at;
  }
  std::vector<uint8_t> id = kIdentify;
  id[4] = 0x02;
  EXPECT_TRUE(host.Sat(id, DataDirection::In, 512).Refused());
  // Right bytes, wrong data phase.
  EXPECT_TRUE(host.Sat(kIdentify, DataDirection::In, 1024).Refused());
  EXPECT_TRUE(host.Sat(kFirst, DataDirection::In, 512).Refused());
}

TEST_F(Fixture, BurnerChunksNeedTheirOffsetsAndTenMillisecondsBetweenThem) {
  ASSERT_TRUE(host.EnterRom());
  std::vector<uint8_t> chunk(4096, 0x11);
  ASSERT_TRUE(host.Chunk(0x03, 8, 0, chunk.data()).Accepted());
  host.Wait(9);
  EXPECT_TRUE(host.Chunk(0x03, 8, 8, chunk.data()).Refused());
  host.Wait(1);
  EXPECT_TRUE(host.Chunk(0x03, 8, 16, chunk.data()).Refused()) << "skipped offset";
  EXPECT_TRUE(host.Chunk(0x0E, 8, 8, chunk.data()).Refused()) << "other mode";
  EXPECT_TRUE(host.Chunk(0x03, 4, 8, chunk.data()).Refused()) << "partial burner chunk";
  EXPECT_TRUE(host.Chunk(0x03, 8, 8, chunk.data()).Accepted());
  // Two chunks are not a burner: activation is refused.
  EXPECT_TRUE(host.Sat(kMicrocode, DataDirection::None, 0).Refused());
  EXPECT_EQ(Mode(), DriveMode::Rom);
}

TEST_F(Fixture, TheWholeBurnerAndTheActivationStartTheBurner) {
  ToBurner();
  auto s = station->Inspect(0);
  EXPECT_EQ(s.burner.size(), 393216u);
  EXPECT_EQ(s.burner[393215], static_cast<uint8_t>(393215 >> 9));
  EXPECT_EQ(host.Status(), 0u);
}

TEST_F(Fixture, CommandsOutsideTheirModeAreRefused) {
  // Normal mode has no NAND info and no burner chunks.
  EXPECT_TRUE(host.First(kNandInfoBlock).Refused());
  std::vector<uint8_t> chunk(4096);
  EXPECT_TRUE(host.Chunk(0x03, 8, 0, chunk.data()).Refused());
  EXPECT_TRUE(host.Sat(kMicrocode, DataDirection::None, 0).Refused());
  ASSERT_TRUE(host.EnterRom());
  // ROM mode answers no vendor identify and no status.
  EXPECT_TRUE(host.First(kVendorIdBlock).Refused());
  EXPECT_TRUE(host.First(kInjectBlock).Refused());
  ASSERT_TRUE(host.StartBurner());
  // No bin, tables or logs before the burn; no burn before the capacity.
  EXPECT_TRUE(host.First(kBinBlock).Refused());
  EXPECT_TRUE(host.Sat(kRdtRead, DataDirection::In, 16896).Refused());
  EXPECT_TRUE(host.Sat(kFctRead, DataDirection::In, 32768).Refused());
  EXPECT_TRUE(host.First(kBurnBlock).Refused());
}

TEST_F(Fixture, TheEraseBlockMustBeExact) {
  ToBurner();
  struct Case {
    size_t at;
    uint8_t value;
  };
  const Case cases[] = {{0, 'B'}, {5, 'x'}, {6, '3'}, {7, '0'}, {9, 0x00}, {38, 0xED}, {300, 1}};
  for (const Case& c : cases) {
    std::vector<uint8_t> block = EraseBlock('1');
    block[c.at] = c.value;
    Reply r = host.TwoPhase(kEraseCmd, kOut512, DataDirection::Out, 512, 500, block);
    EXPECT_TRUE(r.Refused()) << "byte " << c.at;
  }
  EXPECT_EQ(station->Inspect(0).eraseSelector, 0);
  Reply ok = host.TwoPhase(kEraseCmd, kOut512, DataDirection::Out, 512, 500, EraseBlock('2'));
  EXPECT_TRUE(ok.Accepted());
  EXPECT_EQ(station->Inspect(0).eraseSelector, '2');
}

TEST_F(Fixture, AnswersCarryTheStationFileValues) {
  ToBurner();
  Reply nand = host.TwoPhase(kNandInfoBlock, kIn512, DataDirection::In, 512);
  ASSERT_TRUE(nand.Accepted());
  EXPECT_EQ(std::vector<uint8_t>(nand.data.begin(), nand.data.begin() + 10),
            Bytes("02 02 01 02 2C C4 E5 32 AA 04"));
  // Entries 0, 1, 4 and 5 (channel x 4 + CE) are present, the others zero.
  EXPECT_EQ(nand.data[4 + 12 * 1], 0x2C);
  EXPECT_EQ(nand.data[4 + 12 * 2], 0x00);
  EXPECT_EQ(nand.data[4 + 12 * 4], 0x2C);
  EXPECT_EQ(nand.data[4 + 12 * 5], 0x2C);
  EXPECT_EQ(nand.data[4 + 12 * 6], 0x00);
  ASSERT_TRUE(host.Burn());
  Reply bin = host.TwoPhase(kBinBlock, kIn512, DataDirection::In, 512);
  EXPECT_EQ(bin.data[0], 2);
  Reply ceBin =
      host.TwoPhase(Block(0xB2, "01 59 00 C4 00 57", false), kIn512, DataDirection::In, 512);
  EXPECT_EQ(std::vector<uint8_t>(ceBin.data.begin(), ceBin.data.begin() + 9),
            Bytes("01 02 03 04 05 06 07 08 00"));
  Reply ceMr =
      host.TwoPhase(Block(0xB3, "01 59 00 C4 00 57", false), kIn512, DataDirection::In, 512);
  EXPECT_EQ(ceMr.data[7], 0x18);
}

TEST(SimAnswers, RdtLogAndBadBlockTablesFollowTheStationFile) {
  VirtualClock clock;
  auto st = Station(R"(
[Station]
Hubs = 1
[Drive0]
RdtResult = 3
RdtEntries = 5
RdtHeaderOffset = 40
FactoryBad = 7
RuntimeBad = 4
BitmapBytes = 300
Seed = 99
)",
                    clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner() && host.Burn());
  Reply rdt = host.Sat(kRdtRead, DataDirection::In, 16896);
  ASSERT_TRUE(rdt.Accepted());
  EXPECT_EQ(std::string(rdt.data.begin(), rdt.data.begin() + 8), "RDT_DATA");
  EXPECT_EQ(std::vector<uint8_t>(rdt.data.begin() + 40, rdt.data.begin() + 44),
            Bytes("44 54 44 52"));
  EXPECT_EQ(std::vector<uint8_t>(rdt.data.begin() + 48, rdt.data.begin() + 56),
            Bytes("05 00 00 00 03 00 00 00"));
  for (int j = 0; j < 5; ++j) {
    uint32_t w = rdt.data[56 + 8 * j] | rdt.data[57 + 8 * j] << 8;
    EXPECT_LE(w & 1, 1u);
    EXPECT_LT((w >> 1) & 3, 2u) << "CE within the drive's 2 CEs";
  }
  for (bool factory : {true, false}) {
    Reply t = host.Sat(factory ? kFctRead : kDftRead, DataDirection::In, 32768);
    ASSERT_TRUE(t.Accepted());
    std::string head(t.data.begin(), t.data.begin() + 8);
    EXPECT_EQ(head == "FCT_DATA", factory);
    EXPECT_EQ(std::vector<uint8_t>(t.data.begin() + 92, t.data.begin() + 96), Bytes("2C 01 00 00"));
    int bits = 0;
    for (size_t i = 96; i < t.data.size(); ++i) bits += __builtin_popcount(t.data[i]);
    EXPECT_EQ(bits, factory ? 7 : 4);
    for (size_t i = 96 + 300; i < t.data.size(); ++i) ASSERT_EQ(t.data[i], 0) << i;
  }
  Reply vid = host.TwoPhase(kVendorIdBlock, kIn512, DataDirection::In, 512);
  EXPECT_EQ(std::vector<uint8_t>(vid.data.begin() + 72, vid.data.begin() + 76),
            Bytes("0B 00 00 00"));
}

TEST_F(Fixture, TheAtaRouteTakesTheSameCommandsAsTaskFiles) {
  using platform::TaskFile;
  // First phase: 48-bit, data out, features FCh, count 1, device E0h, command FFh.
  TaskFile prev = {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
  TaskFile cur = {0xFC, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
  Reply f = host.Ata(prev, cur, 0x0D, 512, kRomBlock);
  EXPECT_TRUE(f.Accepted());
  EXPECT_EQ(f.ataStatus, 0x50);
  host.Wait(500);
  TaskFile second = {0xFD, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
  EXPECT_TRUE(host.Ata(prev, second, 0x08, 0).Accepted());
  EXPECT_EQ(Mode(), DriveMode::Rom);
  // IDENTIFY as a 28-bit data-in task file.
  Reply id = host.Ata({}, {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00}, 0x03, 512);
  EXPECT_TRUE(id.Accepted());
  // A burner chunk as a 28-bit data-out task file: features 03h, count 8, offset 0.
  std::vector<uint8_t> chunk(4096, 0x22);
  EXPECT_TRUE(
      host.Ata({}, {0x03, 0x08, 0x00, 0x00, 0x00, 0xE0, 0x92, 0x00}, 0x05, 4096, chunk).Accepted());
  // Wrong request flags for the command, and a refused command: ERR with ABRT.
  Reply bad = host.Ata(prev, cur, 0x05, 512, kRomBlock);
  EXPECT_TRUE(bad.Refused());
  EXPECT_EQ(bad.ataStatus, 0x51);
  EXPECT_EQ(bad.ataError, 0x04);
  Reply dma = host.Ata(prev, cur, 0x1D, 512, kRomBlock);
  EXPECT_TRUE(dma.Refused());
  // The previous task file must carry device and command as the transport sets them.
  TaskFile prevNoCmd = {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x00, 0x00};
  EXPECT_TRUE(host.Ata(prevNoCmd, cur, 0x0D, 512, kRomBlock).Refused());
}

TEST_F(Fixture, ExclusiveAndSharedOpensExcludeEachOther) {
  int error = 0;
  auto shared = station->Open(station->PathOf(0), platform::ShareMode::SharedReadWrite, &error);
  ASSERT_TRUE(shared);
  auto shared2 = station->Open(station->PathOf(0), platform::ShareMode::SharedReadWrite, &error);
  EXPECT_TRUE(shared2);
  EXPECT_FALSE(station->Open(station->PathOf(0), platform::ShareMode::Exclusive, &error));
  EXPECT_NE(error, 0);
  shared.reset();
  shared2.reset();
  auto exclusive = station->Open(station->PathOf(0), platform::ShareMode::Exclusive, &error);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(station->Open(station->PathOf(0), platform::ShareMode::SharedReadWrite, &error));
  exclusive.reset();
  EXPECT_TRUE(station->Open(station->PathOf(0), platform::ShareMode::Exclusive, &error));
  EXPECT_FALSE(station->Open("/sim/disk9", platform::ShareMode::SharedReadWrite, &error));
}

// --- Wrong pauses and wrong requests: refused like a too-early chunk --------

TEST_F(Fixture, ACommandRightAfterTheLastChunkIsRefusedAndChangesNothing) {
  ASSERT_TRUE(host.EnterRom());
  std::vector<uint8_t> burner(393216, 0x5A);
  for (uint32_t off = 0; off < burner.size(); off += 4096) {
    ASSERT_TRUE(host.Chunk(0x03, 8, off / 512, burner.data() + off).Accepted()) << off;
    if (off + 4096 < burner.size()) host.Wait(10);
  }
  // The pause follows the last chunk too.
  EXPECT_TRUE(host.Sat(kMicrocode, DataDirection::None, 0).Refused());
  host.Wait(9);
  EXPECT_TRUE(host.Sat(kMicrocode, DataDirection::None, 0).Refused());
  EXPECT_EQ(Mode(), DriveMode::Rom);
  host.Wait(1);
  EXPECT_TRUE(host.Sat(kMicrocode, DataDirection::None, 0).Accepted());
  EXPECT_EQ(Mode(), DriveMode::Burner);

  // A system firmware whose status is asked for at once: the image is not
  // taken as complete until the host has kept its 50 ms.
  ASSERT_TRUE(host.Burn());
  std::vector<uint8_t> fw = SystemFirmware(3 * 4096);
  for (uint32_t off = 0; off < fw.size(); off += 4096) {
    ASSERT_TRUE(host.Chunk(0x03, 8, off / 512, fw.data() + off).Accepted());
    if (off + 4096 < fw.size()) host.Wait(50);
  }
  EXPECT_TRUE(host.First(kInjectBlock).Refused());
  EXPECT_FALSE(station->Inspect(0).sysFwValid);
  host.Wait(50);
  EXPECT_EQ(host.Status(), 0u);
  EXPECT_TRUE(station->Inspect(0).sysFwValid);
}

TEST_F(Fixture, AFirstPhaseRightAfterAOnePhaseCommandIsRefusedAndChangesNothing) {
  ToBurner();
  ASSERT_TRUE(host.First(kSkipBlock).Accepted());
  EXPECT_TRUE(host.First(kCapacityBlock).Refused());
  host.Wait(499);
  EXPECT_TRUE(host.First(kCapacityBlock).Refused());
  EXPECT_FALSE(station->Inspect(0).capacitySet);
  host.Wait(1);
  ASSERT_TRUE(host.First(kCapacityBlock).Accepted());
  EXPECT_EQ(station->Inspect(0).capacityValue, 0x0102);
  // No pause after SetDriveCapacity: the burn is refused and not started.
  EXPECT_TRUE(host.First(kBurnBlock).Refused());
  EXPECT_FALSE(station->Inspect(0).burned);
  host.Wait(500);
  EXPECT_TRUE(host.TwoPhase(kBurnBlock, kNoData, DataDirection::None, 0).Accepted());
  EXPECT_TRUE(station->Inspect(0).burned);
}

TEST_F(Fixture, AFirstPhaseNeverReplacesAPendingOne) {
  ToBurner();
  ASSERT_TRUE(host.First(kInjectBlock).Accepted());
  host.Wait(500);
  EXPECT_TRUE(host.First(kNandInfoBlock).Refused());
  host.Wait(500);
  // The pending command is still the status read, answered by its own phase.
  EXPECT_TRUE(host.Sat(kIn512, DataDirection::In, 512).Refused()) << "NAND info's second phase";
  Reply status = host.Sat(kIn4096, DataDirection::In, 4096);
  ASSERT_TRUE(status.Accepted());
  EXPECT_EQ(status.data[0], 0);
  EXPECT_TRUE(host.TwoPhase(kNandInfoBlock, kIn512, DataDirection::In, 512).Accepted());
}

TEST_F(Fixture, ATimeOutTheStationNeverGivesIsRefused) {
  using platform::ShareMode;
  auto sat = [&](const std::vector<uint8_t>& cdb, DataDirection dir, uint32_t length,
                 std::vector<uint8_t> out, uint32_t seconds) {
    return host.SatWith(cdb, dir, length, std::move(out), seconds, ShareMode::SharedReadWrite);
  };
  // Data-in has 5 s (300 s only on a path naming USB, which no simulated path
  // does); data-out and non-data 20 s; the ATA route 30 s.
  for (uint32_t seconds : {0u, 1u, 20u, 30u, 300u}) {
    EXPECT_TRUE(sat(kIdentify, DataDirection::In, 512, {}, seconds).Refused()) << seconds;
  }
  EXPECT_TRUE(sat(kIdentify, DataDirection::In, 512, {}, 5).Accepted());
  for (uint32_t seconds : {0u, 5u, 30u, 300u}) {
    EXPECT_TRUE(sat(kFirst, DataDirection::Out, 512, kRomBlock, seconds).Refused()) << seconds;
  }
  host.Wait(500);
  EXPECT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Refused()) << "no first phase was taken";
  ASSERT_TRUE(host.First(kRomBlock).Accepted());
  host.Wait(500);
  EXPECT_TRUE(sat(kNoData, DataDirection::None, 0, {}, 5).Refused());
  EXPECT_EQ(Mode(), DriveMode::Normal);
  EXPECT_TRUE(sat(kNoData, DataDirection::None, 0, {}, 20).Accepted());
  EXPECT_EQ(Mode(), DriveMode::Rom);

  const platform::TaskFile identify = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00};
  for (uint32_t seconds : {0u, 5u, 20u, 31u}) {
    Reply r = host.AtaWith({}, identify, 0x03, 512, {}, seconds, ShareMode::Exclusive);
    EXPECT_TRUE(r.Refused()) << seconds;
    EXPECT_EQ(r.ataStatus, 0x51);
    EXPECT_EQ(r.data, std::vector<uint8_t>(512, 0));
  }
  EXPECT_TRUE(host.AtaWith({}, identify, 0x03, 512, {}, 30, ShareMode::Exclusive).Accepted());
}

TEST_F(Fixture, EachRouteNeedsTheOpenItsTransportMakes) {
  using platform::ShareMode;
  Reply satOnExclusive =
      host.SatWith(kFirst, DataDirection::Out, 512, kRomBlock, 20, ShareMode::Exclusive);
  EXPECT_TRUE(satOnExclusive.Refused());
  EXPECT_EQ(satOnExclusive.scsiStatus, 0x02);
  host.Wait(500);
  EXPECT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Refused())
      << "the first phase was not taken";
  const platform::TaskFile identify = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00};
  EXPECT_TRUE(host.AtaWith({}, identify, 0x03, 512, {}, 30, ShareMode::SharedReadWrite).Refused());
  EXPECT_TRUE(host.EnterRom());
  auto s = station->Inspect(0);
  EXPECT_EQ(s.refused, 3u);
  EXPECT_EQ(s.openHandles, 0);
}

// --- A drive pulled in the middle of a request ------------------------------

TEST(SimStation, ADrivePulledMidDownloadFailsThatRequestAndStaysAway) {
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\n", clock);
  Host host(*st, clock, st->PathOf(0));
  std::mutex m;
  std::condition_variable cv;
  std::vector<platform::DeviceChange> events;
  auto monitor = st->CreateMonitor();
  std::string why;
  ASSERT_TRUE(monitor->Start(
      [&](platform::DeviceChange c, const std::string&) {
        std::lock_guard lock(m);
        events.push_back(c);
        cv.notify_all();
      },
      &why));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner() && host.Burn());
  {
    std::lock_guard lock(m);
    events.clear();  // ROM entry re-enumerates the drive
  }
  ASSERT_TRUE(st->UnplugOn(0, platform::sim::Command::DownloadSystemFirmware, 1, 3));
  std::vector<uint8_t> fw = SystemFirmware(5 * 4096);
  ASSERT_TRUE(host.Chunk(0x03, 8, 0, fw.data()).Accepted());
  host.Wait(50);
  ASSERT_TRUE(host.Chunk(0x03, 8, 8, fw.data() + 4096).Accepted());
  host.Wait(50);
  Reply third = host.Chunk(0x03, 8, 16, fw.data() + 8192);
  EXPECT_TRUE(third.opened);
  EXPECT_FALSE(third.completed);
  auto s = st->Inspect(0);
  EXPECT_FALSE(s.plugged);
  EXPECT_FALSE(s.sysFwValid);
  EXPECT_EQ(s.openHandles, 0);
  EXPECT_FALSE(host.Chunk(0x03, 8, 0, fw.data()).opened) << "the device is gone";
  platform::UsbDiskNode disks[24];
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 0u);
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return !events.empty(); }));
    EXPECT_EQ(events[0], platform::DeviceChange::Removal);
  }
  // Plugged back, it powers up afresh and the pull does not happen again.
  st->Plug(0);
  EXPECT_EQ(st->Inspect(0).mode, DriveMode::Normal);
  EXPECT_TRUE(host.EnterRom() && host.StartBurner() && host.Burn());
  EXPECT_TRUE(host.Download(fw, 0x03, 50));
  EXPECT_EQ(host.Status(), 0u);
  EXPECT_TRUE(st->Inspect(0).sysFwValid);
  monitor->Stop();
}

TEST(SimStation, PathsAndDiskNumbersAgreeAndNeverMentionUsb) {
  VirtualClock clock;
  auto st = SimStation::Default(clock);
  ASSERT_TRUE(st);
  ASSERT_EQ(st->DriveCount(), 16u);
  for (size_t i = 0; i < st->DriveCount(); ++i) {
    EXPECT_EQ(st->DiskPath(st->DiskNumberOf(i)), st->PathOf(i));
    EXPECT_EQ(st->PathOf(i).find("usb"), std::string::npos);
  }
}

TEST(SimStation, TopologyViewsJoinDisksToTheirHubPorts) {
  VirtualClock clock;
  auto st = Station(R"(
[Station]
Hubs = 2
HubPorts = 4
RootPorts = 4
[Drive0]
Hub = 1
HubPort = 2
[Drive5]
Hub = -1
HubPort = 4
[Drive7]
Hub = 1
HubPort = 4
Removable = 1
)",
                    clock);
  platform::HubRecord hubs[24];
  platform::UsbDeviceRecord devices[24];
  platform::UsbDiskNode disks[24];
  size_t nh = st->EnumerateHubs(hubs);
  size_t nd = st->EnumerateUsbDevices(devices);
  size_t nk = st->EnumerateUsbDisks(disks);
  // Hub 0 has nothing attached and is left out; hub 1 comes before the root hub.
  ASSERT_EQ(nh, 2u);
  EXPECT_EQ(std::string(hubs[0].hubInstanceId), SimStation::HubId(1));
  EXPECT_EQ(hubs[0].portCount, 4);
  EXPECT_EQ(std::string(hubs[1].hubInstanceId), SimStation::RootHubId());
  EXPECT_EQ(std::string(hubs[1].entries[0].deviceInstanceId), SimStation::HubId(0));
  ASSERT_EQ(nk, 3u);
  for (size_t k = 0; k < nk; ++k) {
    // Each disk's parent is a USB device whose instance ID sits on a port of
    // the disk's hub, in the same spelling.
    const platform::UsbDeviceRecord* bridge = nullptr;
    for (size_t d = 0; d < nd; ++d) {
      if (devices[d].devNode == disks[k].parentNode) bridge = &devices[d];
    }
    ASSERT_NE(bridge, nullptr);
    int matches = 0;
    for (size_t h = 0; h < nh; ++h) {
      if (std::string(hubs[h].hubInstanceId) != disks[k].hubInstanceId) continue;
      for (int p = 0; p < hubs[h].portCount; ++p) {
        if (std::string(hubs[h].entries[p].deviceInstanceId) == bridge->instanceId) {
          ++matches;
          EXPECT_EQ(hubs[h].entries[p].portIndex, p);
        }
      }
    }
    EXPECT_EQ(matches, 1) << disks[k].interfacePath;
    std::string id = bridge->instanceId;
    EXPECT_EQ(id, SimStation::BridgeId(static_cast<int>(disks[k].diskNumber) - 1));
    for (char c : id) EXPECT_FALSE(c >= 'A' && c <= 'Z');
  }
  EXPECT_EQ(std::string(hubs[0].entries[1].deviceInstanceId), SimStation::BridgeId(0));
  EXPECT_EQ(std::string(hubs[1].entries[3].deviceInstanceId), SimStation::BridgeId(5));
  platform::StorageDescriptor desc;
  int error = 0;
  auto h = st->Open(st->PathOf(2), platform::ShareMode::SharedReadWrite, &error);
  ASSERT_TRUE(h && h->QueryStorageDescriptor(&desc));
  EXPECT_EQ(desc.busType, platform::BusType::Usb);
  EXPECT_TRUE(desc.removableMedia);
}

TEST(SimStation, UnplugAndPlugChangeTheTopologyAndAreReported) {
  VirtualClock clock;
  auto st = SimStation::Default(clock);
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<platform::DeviceChange, std::string>> events;
  auto monitor = st->CreateMonitor();
  std::string why;
  ASSERT_TRUE(monitor->Start(
      [&](platform::DeviceChange c, const std::string& d) {
        std::lock_guard lock(m);
        events.emplace_back(c, d);
        cv.notify_all();
      },
      &why));
  st->Unplug(3);
  platform::UsbDiskNode disks[24];
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 15u);
  int error = 0;
  EXPECT_FALSE(st->Open(st->PathOf(3), platform::ShareMode::SharedReadWrite, &error));
  st->Plug(3);
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 16u);
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() == 2; }));
  }
  monitor->Stop();
  EXPECT_EQ(events[0].first, platform::DeviceChange::Removal);
  EXPECT_EQ(events[1].first, platform::DeviceChange::Arrival);
  EXPECT_EQ(events[1].second, st->PathOf(3));
}

TEST(SimStation, ARebootingDriveIsAbsentForItsRebootTime) {
  VirtualClock clock;
  auto st =
      Station("[Station]\nHubs=1\n[Drive0]\nRebootMs = 3000\nCapacitySectors = 40000\n", clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner());
  Reply reboot = host.TwoPhase(kRebootBlock, kNoData, DataDirection::None, 0, 3999);
  EXPECT_TRUE(reboot.Refused()) << "the reboot needs 4000 ms after its first phase";
  EXPECT_FALSE(st->Inspect(0).rebooted);
  host.Wait(1);
  ASSERT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Accepted()) << "still the pending reboot";
  platform::UsbDiskNode disks[24];
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 0u);
  EXPECT_FALSE(host.First(kVendorIdBlock).opened);
  host.Wait(2999);
  EXPECT_FALSE(host.First(kVendorIdBlock).opened);
  host.Wait(1);
  Reply vid = host.TwoPhase(kVendorIdBlock, kIn512, DataDirection::In, 512);
  ASSERT_TRUE(vid.Accepted());
  EXPECT_EQ(std::vector<uint8_t>(vid.data.begin() + 68, vid.data.begin() + 72),
            Bytes("40 9C 00 00"));
  EXPECT_TRUE(st->Inspect(0).rebooted);
}

TEST(SimStation, EveryThreadSeesARebootingDriveInItsOwnTime) {
  // With the virtual clock every thread has a time of its own. A thread
  // already past the drive's absence sees it back, and that must not end the
  // absence for a thread still inside it; a thread behind the reboot sees the
  // drive as before it.
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\nRebootMs = 3000\n", clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner());
  ASSERT_TRUE(host.TwoPhase(kRebootBlock, kNoData, DataDirection::None, 0, 4000).Accepted());
  platform::UsbDiskNode disks[24];
  size_t ahead = 99;
  std::thread(clock.Inherit("ahead", [&] {
    clock.SleepMs(3000);
    ahead = st->EnumerateUsbDisks(disks);
  })).join();
  EXPECT_EQ(ahead, 1u);
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 0u) << "still away in this thread's time";
  int error = 0;
  EXPECT_FALSE(st->Open(st->PathOf(0), platform::ShareMode::SharedReadWrite, &error));
  size_t behind = 99;
  std::thread([&] { behind = st->EnumerateUsbDisks(disks); }).join();
  EXPECT_EQ(behind, 1u);
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 0u);
  host.Wait(2999);
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 0u);
  host.Wait(1);
  EXPECT_EQ(st->EnumerateUsbDisks(disks), 1u);
}

TEST(SimFaults, InjectedFaultsFailAtTheTransportOnTheirStep) {
  VirtualClock clock;
  auto st = Station(R"(
[Station]
Hubs = 1
[Drive0]
Fail = GetBin
Fail2 = RebootDrive:1:2
Fail3 = DownloadSystemFirmware:1:3
Fail4 = Identify:2
)",
                    clock);
  Host host(*st, clock, st->PathOf(0));
  EXPECT_TRUE(host.Sat(kIdentify, DataDirection::In, 512).Accepted());
  Reply second = host.Sat(kIdentify, DataDirection::In, 512);
  EXPECT_FALSE(second.completed);
  EXPECT_TRUE(host.Sat(kIdentify, DataDirection::In, 512).Accepted());
  ASSERT_TRUE(host.EnterRom() && host.StartBurner() && host.Burn());
  EXPECT_FALSE(host.First(kBinBlock).completed);
  EXPECT_FALSE(host.First(kBinBlock).completed) << "no count: every GetBin";
  // The third chunk of the first system firmware download fails; the retry passes.
  std::vector<uint8_t> fw = SystemFirmware(5 * 4096);
  EXPECT_FALSE(host.Download(fw, 0x03, 50));
  EXPECT_EQ(st->Inspect(0).sysFw.size(), 2 * 4096u);
  EXPECT_TRUE(host.Download(fw, 0x03, 50));
  EXPECT_EQ(host.Status(), 0u);
  EXPECT_TRUE(st->Inspect(0).sysFwValid);
  ASSERT_TRUE(host.First(kRebootBlock).Accepted());
  host.Wait(4000);
  EXPECT_FALSE(host.Sat(kNoData, DataDirection::None, 0).completed);
  EXPECT_EQ(st->Inspect(0).mode, DriveMode::Burner) << "a failed request changes nothing";
}

TEST(SimBusy, StatusPollsFailWhileTheControllerIsBusy) {
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\nEraseBusyPolls = 2\nBurnBusyPolls = 1\n", clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner());
  ASSERT_TRUE(
      host.TwoPhase(kEraseCmd, kOut512, DataDirection::Out, 512, 500, EraseBlock('0')).Accepted());
  EXPECT_FALSE(host.First(kInjectBlock).completed);
  EXPECT_FALSE(host.First(kNandInfoBlock).completed) << "busy answers nothing";
  EXPECT_FALSE(host.First(kInjectBlock).completed);
  EXPECT_EQ(host.Status(), 0u);
  ASSERT_TRUE(host.Burn());
  EXPECT_FALSE(host.First(kInjectBlock).completed);
  EXPECT_EQ(host.Status(), 0u);
}

TEST(SimImages, ACorruptImageMakesTheDriveReportStatusFiveFromThenOn) {
  struct Case {
    const char* what;
    bool rdt;
    size_t flip;  // byte to change; SIZE_MAX: none
  };
  const Case cases[] = {
      {"valid system firmware", false, SIZE_MAX}, {"image checksum field", false, 41},
      {"last image byte", false, 9999},           {"parameter block", false, 96 + 0x200 + 300},
      {"valid RDT parameters", true, SIZE_MAX},   {"RDT parameter byte", true, 700},
  };
  for (const Case& c : cases) {
    VirtualClock clock;
    auto st = Station("[Station]\nHubs=1\n[Drive0]\n", clock);
    Host host(*st, clock, st->PathOf(0));
    ASSERT_TRUE(host.EnterRom() && host.StartBurner());
    std::vector<uint8_t> img = c.rdt ? RdtParameters(1000) : SystemFirmware(10000);
    if (c.flip != SIZE_MAX) img[c.flip] ^= 0x04;
    ASSERT_TRUE(host.Download(img, 0x03, 50, !c.rdt)) << c.what;
    uint32_t expected = c.flip == SIZE_MAX ? 0 : 5;
    EXPECT_EQ(host.Status(), expected) << c.what;
    // Only the image's own bytes are stored, as long as they were sent.
    auto s = st->Inspect(0);
    EXPECT_EQ((c.rdt ? s.rdtParam : s.sysFw).size(), c.rdt ? 1024u : 12288u) << c.what;
    if (expected == 5) {
      // A good image afterwards does not clear it.
      ASSERT_TRUE(host.Download(c.rdt ? SystemFirmware(10000) : SystemFirmware(9000), 0x03, 50));
      EXPECT_EQ(host.Status(), 5u) << c.what;
    }
  }
}

TEST(SimImages, DownloadsAreToldApartInTheirOrder) {
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\n", clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner());
  std::vector<uint8_t> rdt = RdtParameters(4096);
  std::vector<uint8_t> fw = SystemFirmware(3 * 4096);
  std::vector<uint8_t> spi(8192, 0x77);
  ASSERT_TRUE(host.Download(rdt, 0x03, 50, false));
  EXPECT_EQ(host.Status(), 0u);
  ASSERT_TRUE(host.Download(fw, 0x03, 50));
  EXPECT_EQ(host.Status(), 0u);
  ASSERT_TRUE(host.Download(fw, 0x03, 50)) << "a repeated download stays system firmware";
  EXPECT_EQ(host.Status(), 0u);
  ASSERT_TRUE(host.Download(spi, 0x03, 50));
  EXPECT_EQ(host.Status(), 0u);
  auto s = st->Inspect(0);
  EXPECT_EQ(s.rdtParam, rdt);
  EXPECT_EQ(s.sysFw, fw);
  EXPECT_EQ(s.spi, spi);
  // A chunk 49 ms after the one before is too early.
  std::vector<uint8_t> chunk(4096);
  ASSERT_TRUE(host.Chunk(0x03, 8, 0, spi.data()).Accepted());
  host.Wait(49);
  EXPECT_TRUE(host.Chunk(0x03, 8, 8, chunk.data()).Refused());
}

TEST(SimImages, AnImageIsCheckedEvenWhenTheNextOneFollowsAtOnce) {
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\n", clock);
  Host host(*st, clock, st->PathOf(0));
  ASSERT_TRUE(host.EnterRom() && host.StartBurner());
  std::vector<uint8_t> rdt = RdtParameters(700);
  rdt[100] ^= 1;
  ASSERT_TRUE(host.Download(rdt, 0x03, 50, false));
  ASSERT_TRUE(host.Download(SystemFirmware(8192), 0x03, 50));
  EXPECT_EQ(host.Status(), 5u);
  auto s = st->Inspect(0);
  EXPECT_FALSE(s.rdtParamValid);
  EXPECT_TRUE(s.sysFwValid);
}

TEST(SimTrace, OneJsonLinePerCommandWithItsRouteAndData) {
  VirtualClock clock;
  auto st = Station("[Station]\nHubs=1\n[Drive0]\n", clock);
  st->CaptureTrace(true);
  Host host(*st, clock, st->PathOf(0));
  clock.SleepMs(1234);
  (void)host.First(kRomBlock);
  (void)host.Sat(kIdentify, DataDirection::In, 512);
  (void)host.Ata({}, {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00}, 0x03, 512);
  host.Wait(500);
  ASSERT_TRUE(host.Sat(kNoData, DataDirection::None, 0).Accepted());  // into ROM mode
  std::vector<uint8_t> chunk(4096, 0xAB);
  (void)host.Chunk(0x03, 8, 0, chunk.data());
  auto lines = st->Trace();
  ASSERT_EQ(lines.size(), 5u);
  std::string hex;
  for (uint8_t b : kRomBlock) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  EXPECT_EQ(lines[0].Json(),
            "{\"t_ms\":1234,\"drive\":\"Drive0\",\"path\":\"/sim/disk1\",\"route\":\"sat\","
            "\"cdb\":\"850b0600fc00010000000000"
            "00e0ff00\",\"dir\":\"out\",\"len\":512,\"data\":\"" +
                hex + "\",\"accepted\":true}");
  EXPECT_EQ(lines[1].Json(),
            "{\"t_ms\":1234,\"drive\":\"Drive0\",\"path\":\"/sim/disk1\",\"route\":\"sat\","
            "\"cdb\":\"a1080b0001000000e0ec0000\",\"dir\":\"in\",\"len\":512,\"accepted\":true}");
  EXPECT_EQ(lines[2].Json(),
            "{\"t_ms\":1234,\"drive\":\"Drive0\",\"path\":\"/sim/disk1\",\"route\":\"ata\","
            "\"taskfile\":\"00000000000000000001000000e0ec00\",\"dir\":\"in\",\"len\":512,"
            "\"accepted\":true}");
  // 4,096 bytes of ABh are named by their SHA-256, not written out.
  std::string last = lines[4].Json();
  EXPECT_NE(last.find("\"sha256\":\""), std::string::npos);
  EXPECT_EQ(last.find("\"data\""), std::string::npos);
  EXPECT_EQ(lines[4].sha256.size(), 64u);
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

TEST(SimDump, DrivesWriteWhatTheyReceivedAndAnsweredAndTheTraceFile) {
  const qelvar::testing::TempFolder folder("sim-dump");
  const std::filesystem::path& dir = folder.path();
  {
    std::ofstream(dir / "station.ini") << "[Station]\nHubs = 1\nTraceFile = trace.jsonl\n"
                                          "DumpDir = dumps\n[Drive4]\nHubPort = 2\n";
  }
  std::vector<uint8_t> fw = SystemFirmware(6000);
  {
    VirtualClock clock;
    std::string error;
    auto st = SimStation::FromFile((dir / "station.ini").string(), clock, &error);
    ASSERT_TRUE(st) << error;
    Host host(*st, clock, st->PathOf(0));
    ASSERT_TRUE(host.EnterRom() && host.StartBurner());
    Reply nand = host.TwoPhase(kNandInfoBlock, kIn512, DataDirection::In, 512);
    ASSERT_TRUE(host.Download(fw, 0x03, 50));
    // The station is closed with the download still open: it is dumped anyway.
    EXPECT_EQ(ReadAll(dir / "dumps" / "Drive4_nandinfo.bin"), nand.data);
  }
  EXPECT_EQ(ReadAll(dir / "dumps" / "Drive4_burner.bin").size(), 393216u);
  std::vector<uint8_t> sent = fw;
  sent.resize(8192, 0);
  EXPECT_EQ(ReadAll(dir / "dumps" / "Drive4_sysfw.bin"), sent);
  std::ifstream trace(dir / "trace.jsonl");
  std::string line;
  int lines = 0;
  while (std::getline(trace, line)) {
    ++lines;
    EXPECT_EQ(line.rfind("{\"t_ms\":", 0), 0u);
    EXPECT_NE(line.find("\"drive\":\"Drive4\",\"path\":\"/sim/disk5\""), std::string::npos);
  }
  EXPECT_EQ(lines, 2 + 96 + 1 + 2 + 2);
  trace.close();  // an open file cannot be removed on Windows
}

TEST(SimStationFile, BadFilesAreRejectedWithTheLine) {
  struct Case {
    const char* text;
    const char* mentions;
  };
  const Case cases[] = {
      {"[Station]\nHubs = 1\n[Drive0]\nSerail = X\n", "line 4"},
      {"[Drive0]\nFlashId = 2CC4E5\n", "FlashId"},
      {"[Drive0]\nHub = 0\nHubPort = 1\n[Drive1]\nHub = 0\nHubPort = 1\n", "shares"},
      {"[Drive0]\nFail = Explode\n", "unknown command"},
      {"[Drive0]\nFail = GetBin:0\n", "count"},
      {"[Drive24]\n", "unknown section"},
      {"[Station]\nHubs = 1\n[Drive0]\nHub = 1\n", "no such hub"},
      {"[Drive0]\nChannels = 3\n", "Channels"},
      {"[Drive0]\nFactoryBad = 100\nBitmapBytes = 10\n", "bitmap"},
      {"[Station]\nHubs = 2\n[Drive0]\nHub = -1\nHubPort = 2\n", "external hubs"},
      {"[Drive0]\nTimeoutOut = 3601\n", "TimeoutOut"},
  };
  for (const Case& c : cases) {
    StationConfig config;
    std::string error;
    EXPECT_FALSE(ParseStation(c.text, "", &config, &error)) << c.text;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

TEST(SimStationFile, NamesAndSectionsIgnoreCaseBlanksAndComments) {
  StationConfig config;
  std::string error;
  ASSERT_TRUE(
      ParseStation("; a comment\n[STATION]\n  hubs =  1 \n[drive2]\n"
                   "  FAIL = getbin : 2 \n fail7 = RebootDrive:*:2\nmodel =  A B \n",
                   "", &config, &error))
      << error;
  ASSERT_EQ(config.drives.size(), 1u);
  const auto& d = config.drives[0];
  EXPECT_EQ(d.name, "Drive2");
  EXPECT_EQ(d.model, "A B");
  ASSERT_EQ(d.faults.size(), 2u);
}

TEST(SimStationFile, TheExampleDefaultStationIsTheBuiltInOne) {
  std::ifstream in(QELVAR_EXAMPLES_DIR "/station/sim-default.ini", std::ios::binary);
  ASSERT_TRUE(in);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, platform::sim::DefaultStationText());
}

TEST(SimStationFile, EveryExampleStationLoads) {
  for (const char* name :
       {"sim-default.ini", "sim-mixed-faults.ini", "sim-rdt-prep.ini", "sim-odd-ports.ini"}) {
    VirtualClock clock;
    std::string error;
    auto st =
        SimStation::FromFile(std::string(QELVAR_EXAMPLES_DIR "/station/") + name, clock, &error);
    EXPECT_TRUE(st) << error;
  }
}

TEST(SimStationFile, TheExampleFirmwareImagesPassTheDrivesChecks) {
  auto read = [](const char* name, size_t unit) {
    std::ifstream in(std::string(QELVAR_EXAMPLES_DIR "/station/Firmware/") + name,
                     std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(b.empty()) << name;
    b.resize((b.size() + unit - 1) / unit * unit, 0);
    return b;
  };
  EXPECT_TRUE(platform::sim::SystemFirmwareValid(read("sysfw.bin", 4096)));
  EXPECT_TRUE(platform::sim::SystemFirmwareValid(read("rdtfw.bin", 4096)));
  EXPECT_TRUE(platform::sim::RdtParametersValid(read("rdtparam.bin", 512)));
}

TEST(SimThreads, SixteenDrivesAndAScannerAtOnce) {
  VirtualClock clock;
  auto st = SimStation::Default(clock);
  st->CaptureTrace(true);
  std::atomic<bool> done{false};
  std::thread scanner([&] {
    platform::HubRecord hubs[24];
    platform::UsbDeviceRecord devices[24];
    platform::UsbDiskNode disks[24];
    while (!done.load()) {
      (void)st->EnumerateHubs(hubs);
      (void)st->EnumerateUsbDevices(devices);
      (void)st->EnumerateUsbDisks(disks);
      Host h(*st, clock, st->PathOf(5));
      (void)h.Sat(kIdentify, DataDirection::In, 512);
    }
  });
  std::vector<std::thread> workers;
  std::atomic<int> ok{0};
  for (size_t i = 0; i < st->DriveCount(); ++i) {
    workers.emplace_back(clock.Inherit("w" + std::to_string(i), [&, i] {
      Host h(*st, clock, st->PathOf(i));
      if (h.EnterRom() && h.StartBurner() && h.Status() == 0) ok++;
    }));
  }
  for (auto& w : workers) w.join();
  done = true;
  scanner.join();
  EXPECT_EQ(ok.load(), 16);
}

}  // namespace
}  // namespace qelvar::simtest
