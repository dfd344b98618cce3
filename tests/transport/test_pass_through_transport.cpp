#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ostream>

#include "support/fake_device_io.h"
#include "transport/pass_through_transport.h"

namespace qelvar::transport {
namespace {

using platform::DataDirection;
using platform::ShareMode;
using platform::TaskFile;
using testing::Bytes;
using testing::FakeAnswer;
using testing::FakeDeviceIo;

class TransportTest : public ::testing::Test {
 protected:
  platform::VirtualClock clock;
  FakeDeviceIo io{&clock};
  PassThroughTransport transport{io, clock};
};

const std::vector<uint8_t> kIdentify12 = Bytes("A1 08 0B 00 01 00 00 00 E0 EC 00 00");
const std::vector<uint8_t> kFirstPhase16 = Bytes("85 0B 06 00 FC 00 01 00 00 00 00 00 00 E0 FF 00");

// --- SAT path ---------------------------------------------------------------

struct TimeoutCase {
  const char* path;
  bool dataIn;
  uint32_t seconds;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const TimeoutCase& c, std::ostream* os) {
  *os << c.path << (c.dataIn ? " data-in" : " no data-in");
}

class SatTimeout : public TransportTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SatTimeout, DependsOnDirectionAndOnUsbInThePath) {
  const TimeoutCase& c = GetParam();
  uint8_t buffer[512] = {};
  uint32_t transferred = 0;
  if (c.dataIn) {
    EXPECT_EQ(
        transport.ScsiPassThroughIn(c.path, kIdentify12.data(), 12, buffer, 512, &transferred), 1);
  } else {
    EXPECT_EQ(
        transport.ScsiPassThroughOut(c.path, kIdentify12.data(), 12, buffer, 512, &transferred), 1);
  }
  ASSERT_EQ(io.Requests().size(), 1u);
  EXPECT_EQ(io.Requests()[0].timeoutSeconds, c.seconds);
}

INSTANTIATE_TEST_SUITE_P(Paths, SatTimeout,
                         ::testing::Values(TimeoutCase{"/dev/sdb", true, 5},
                                           TimeoutCase{"\\\\?\\usbstor#disk", true, 300},
                                           TimeoutCase{"/dev/USB0", true, 5},
                                           TimeoutCase{"/dev/sdb", false, 20},
                                           TimeoutCase{"\\\\?\\usbstor#disk", false, 20}),
                         [](const auto& p) {
                           std::string name;
                           for (const char* c = p.param.path; *c != '\0'; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           }
                           return name + (p.param.dataIn ? "_In" : "_Out");
                         });

TEST_F(TransportTest, SatSendsTheImageUnchangedWithSharedOpen) {
  uint8_t buffer[512] = {};
  uint32_t transferred = 0;
  ASSERT_EQ(
      transport.ScsiPassThroughOut("/dev/sda", kFirstPhase16.data(), 16, buffer, 512, &transferred),
      1);
  auto r = io.Requests().at(0);
  EXPECT_EQ(r.cdb, kFirstPhase16);
  EXPECT_EQ(r.mode, ShareMode::SharedReadWrite);
  EXPECT_EQ(r.direction, DataDirection::Out);
  EXPECT_EQ(r.length, 512u);
  EXPECT_EQ(transferred, 512u);
  EXPECT_EQ(io.OpenHandles(), 0u) << "the device is closed after every request";
}

TEST_F(TransportTest, SatNonDataRequestCarriesNoBuffer) {
  auto image = Bytes("85 06 04 00 FD 00 00 00 00 00 00 00 00 E0 FF 00");
  uint32_t transferred = 99;
  ASSERT_EQ(transport.ScsiPassThroughOut("/dev/sda", image.data(), 16, nullptr, 0, &transferred),
            1);
  EXPECT_EQ(io.Requests().at(0).direction, DataDirection::None);
  EXPECT_EQ(io.Requests().at(0).length, 0u);
}

TEST_F(TransportTest, SatOneByteTransferTravelsAsTwoBytes) {
  uint8_t out = 0x5A;
  uint32_t transferred = 0;
  ASSERT_EQ(transport.ScsiPassThroughOut("/dev/sda", kIdentify12.data(), 12, &out, 1, &transferred),
            1);
  EXPECT_EQ(io.Requests().at(0).length, 2u);
  EXPECT_EQ(io.Requests().at(0).dataOut, Bytes("5A 00"));

  FakeAnswer answer;
  answer.dataIn = Bytes("C3 7E");
  io.Enqueue(answer);
  uint8_t in[2] = {0x11, 0x22};
  ASSERT_EQ(transport.ScsiPassThroughIn("/dev/sda", kIdentify12.data(), 12, in, 1, &transferred),
            1);
  EXPECT_EQ(io.Requests().at(1).length, 2u);
  EXPECT_EQ(in[0], 0xC3);
  EXPECT_EQ(in[1], 0x22) << "the caller's buffer holds one byte; nothing is written past it";
}

TEST_F(TransportTest, SatCountsARejectedCommandAsDeliveredButKeepsTheSense) {
  ExchangeRecord seen;
  transport.SetRecorder([&](const ExchangeRecord& r) { seen = r; });
  FakeAnswer rejected;
  rejected.scsiStatus = 0x02;  // CHECK CONDITION
  rejected.sense = Bytes("70 00 05 00 00 00 00 0A 00 00 00 00 20 00");
  io.Enqueue(rejected);
  uint8_t buffer[512];
  uint32_t transferred = 0;
  EXPECT_EQ(
      transport.ScsiPassThroughIn("/dev/sda", kIdentify12.data(), 12, buffer, 512, &transferred),
      1);
  EXPECT_EQ(seen.scsiStatus, 0x02);
  ASSERT_EQ(seen.senseLength, 14);
  EXPECT_EQ(seen.sense[2], 0x05);
  EXPECT_EQ(seen.sense[12], 0x20);
}

TEST_F(TransportTest, SatFailsWhenThePlatformDoesNotCompleteOrCannotOpen) {
  FakeAnswer dropped;
  dropped.completed = false;
  dropped.errorCode = EIO;
  io.Enqueue(dropped);
  uint8_t buffer[512];
  uint32_t transferred = 0;
  EXPECT_EQ(
      transport.ScsiPassThroughIn("/dev/sda", kIdentify12.data(), 12, buffer, 512, &transferred),
      0);

  io.FailOpen("/dev/sdq");
  EXPECT_EQ(
      transport.ScsiPassThroughIn("/dev/sdq", kIdentify12.data(), 12, buffer, 512, &transferred),
      0);
  EXPECT_EQ(io.Requests().size(), 1u) << "nothing is sent to a device that cannot be opened";
  EXPECT_EQ(transport.ScsiPassThroughOut("", kIdentify12.data(), 12, buffer, 512, &transferred), 0);
}

// --- ATA path ---------------------------------------------------------------

FakeAnswer Registers(uint8_t status, uint8_t error = 0) {
  FakeAnswer a;
  a.returned = {error, 0, 0, 0, 0, 0xE0, status, 0};
  return a;
}

TEST_F(TransportTest, AtaEmptyPathIsRejectedWithoutOpening) {
  EXPECT_EQ(transport.AtaPassThrough("", false, kFirstPhase16.data(), nullptr, 0, true), 0xFF);
  EXPECT_EQ(io.OpenCount(), 0u);
}

TEST_F(TransportTest, AtaTranslatesA16ByteImageIntoCurrentAndPreviousTaskFiles) {
  io.SetScript([](const auto&) { return Registers(0x50); });
  std::vector<uint8_t> image = Bytes("85 09 0E 11 22 33 44 55 66 77 88 99 AA E0 2F 00");
  std::vector<uint8_t> buffer(512);
  ASSERT_EQ(transport.AtaPassThrough("/dev/sda", true, image.data(), buffer.data(), 512, true), 1);
  auto r = io.Requests().at(0);
  EXPECT_TRUE(r.ata);
  EXPECT_EQ(r.mode, ShareMode::Exclusive);
  EXPECT_EQ(r.current, (TaskFile{0x22, 0x44, 0x66, 0x88, 0xAA, 0xE0, 0x2F, 0}));
  EXPECT_EQ(r.previous, (TaskFile{0x11, 0x33, 0x55, 0x77, 0x99, 0xE0, 0x2F, 0}));
  EXPECT_EQ(r.timeoutSeconds, 30u);
}

TEST_F(TransportTest, AtaFirstPhaseHasFeaturesFcInCurrentAndZeroInPrevious) {
  io.SetScript([](const auto&) { return Registers(0x50); });
  std::vector<uint8_t> block(512);
  ASSERT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), block.data(), 512, true),
      1);
  auto r = io.Requests().at(0);
  EXPECT_EQ(r.current, (TaskFile{0xFC, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0}));
  EXPECT_EQ(r.previous, (TaskFile{0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0}));
  EXPECT_EQ(r.flags, 0x0D);
  EXPECT_EQ(r.dataOut.size(), 512u);
}

TEST_F(TransportTest, AtaTranslatesA12ByteImageInto28BitRegisters) {
  io.SetScript([](const auto&) { return Registers(0x50); });
  auto chunk = Bytes("A1 0A 03 03 08 00 F8 05 E0 92 00 00");
  std::vector<uint8_t> data(4096);
  ASSERT_EQ(transport.AtaPassThrough("/dev/sda", false, chunk.data(), data.data(), 4096, false), 1);
  auto r = io.Requests().at(0);
  EXPECT_EQ(r.current, (TaskFile{0x03, 0x08, 0x00, 0xF8, 0x05, 0xE0, 0x92, 0}));
  EXPECT_EQ(r.previous, (TaskFile{}));
  EXPECT_EQ(r.flags, 0x05);
}

struct FlagCase {
  bool dataIn;
  bool extended;
  uint32_t length;
  uint8_t command;
  uint16_t flags;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FlagCase& c, std::ostream* os) {
  *os << (c.dataIn ? "in " : "out ") << (c.extended ? "16-byte " : "12-byte ") << c.length
      << " bytes, command " << static_cast<int>(c.command);
}

class AtaFlags : public TransportTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(AtaFlags, FollowDirectionWidthAndDmaCommands) {
  const FlagCase& c = GetParam();
  io.SetScript([](const auto&) { return Registers(0x50); });
  std::vector<uint8_t> image(16);
  image[0] = c.extended ? 0x85 : 0xA1;
  image[c.extended ? 14 : 9] = c.command;
  std::vector<uint8_t> buffer(c.length);
  ASSERT_EQ(transport.AtaPassThrough("/dev/sda", c.dataIn, image.data(), buffer.data(), c.length,
                                     c.extended),
            1);
  EXPECT_EQ(io.Requests().at(0).flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AtaFlags,
    ::testing::Values(FlagCase{true, false, 0, 0xEC, 0x00}, FlagCase{true, false, 512, 0xEC, 0x03},
                      FlagCase{false, false, 0, 0x92, 0x00},
                      FlagCase{false, false, 512, 0x92, 0x05}, FlagCase{true, true, 0, 0xFF, 0x08},
                      FlagCase{true, true, 512, 0xFF, 0x0B}, FlagCase{true, true, 512, 0x25, 0x1B},
                      FlagCase{true, true, 512, 0x47, 0x1B}, FlagCase{false, true, 0, 0xFF, 0x08},
                      FlagCase{false, true, 512, 0xFF, 0x0D},
                      FlagCase{false, true, 512, 0x47, 0x1D},
                      FlagCase{false, true, 512, 0x35, 0x0D}),
    [](const auto& p) {
      char name[48];
      std::snprintf(name, sizeof name, "%s%s_Length%u_Command%02X", p.param.dataIn ? "In" : "Out",
                    p.param.extended ? "Extended" : "", p.param.length, p.param.command);
      return std::string(name);
    });

TEST_F(TransportTest, AtaTransfersUpTo64KiBAndRefusesMore) {
  io.SetScript([](const auto&) { return Registers(0x50); });
  std::vector<uint8_t> image = Bytes("85 09 0E 00 00 00 80 00 DE 00 00 00 00 E0 2F 00");
  std::vector<uint8_t> buffer(65537);
  EXPECT_EQ(transport.AtaPassThrough("/dev/sda", true, image.data(), buffer.data(), 65536, true),
            1);
  EXPECT_EQ(LastAtaError(), 0);
  EXPECT_EQ(transport.AtaPassThrough("/dev/sda", true, image.data(), buffer.data(), 65537, true),
            0xFF);
  EXPECT_EQ(LastAtaError(), EINVAL);
  EXPECT_EQ(io.Requests().size(), 1u) << "an oversize request is never sent";
  EXPECT_EQ(io.OpenHandles(), 0u);
}

TEST_F(TransportTest, AtaResultCodes) {
  std::vector<uint8_t> readDmaExt = Bytes("85 09 0E 00 00 00 01 00 00 00 00 00 00 E0 25 00");
  std::vector<uint8_t> buffer(512);
  auto send = [&](const std::vector<uint8_t>& image) {
    return transport.AtaPassThrough("/dev/sda", true, image.data(), buffer.data(), 512, true);
  };
  io.Enqueue(Registers(0x51, 0x04));  // ERR
  EXPECT_EQ(send(kFirstPhase16), 0xFE);
  io.Enqueue(Registers(0x50, 0x40));  // UNC on READ DMA EXT
  EXPECT_EQ(send(readDmaExt), 0xFD);
  io.Enqueue(Registers(0x50, 0x40));  // UNC means nothing for other commands
  EXPECT_EQ(send(kFirstPhase16), 0x01);
  FakeAnswer refused;
  refused.completed = false;
  io.Enqueue(refused);
  EXPECT_EQ(send(kFirstPhase16), 0xFF);
  io.FailOpen("/dev/sdz");
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sdz", true, kFirstPhase16.data(), buffer.data(), 512, true),
      0xFE);
}

TEST_F(TransportTest, AtaSecondOpenOfABusyDriveFails) {
  int error = 0;
  auto held = io.Open("/dev/sda", ShareMode::SharedReadWrite, &error);
  ASSERT_NE(held, nullptr);
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), buffer.data(), 512, true),
      0xFE);
}

TEST_F(TransportTest, AtaExchangeLongerThanThirtyWholeSecondsIsAFailure) {
  std::vector<uint8_t> buffer(512);
  FakeAnswer slow = Registers(0x50);
  slow.spendMs = 30999;  // 30 whole seconds: still trusted
  io.Enqueue(slow);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), buffer.data(), 512, true),
      1);
  slow.spendMs = 31000;
  io.Enqueue(slow);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), buffer.data(), 512, true),
      0);
}

TEST_F(TransportTest, AtaElapsedTimeIsMeasuredAcrossTheTickWrap) {
  clock.Spend(0xFFFFFC18u);  // 1000 ms before the tick wraps
  std::vector<uint8_t> buffer(512);
  FakeAnswer slow = Registers(0x50);
  slow.spendMs = 2000;
  io.Enqueue(slow);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), buffer.data(), 512, true),
      1);
  slow.spendMs = 40000;
  io.Enqueue(slow);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", false, kFirstPhase16.data(), buffer.data(), 512, true),
      0);
}

TEST_F(TransportTest, AtaVariantHandsBackTheDriveRegisters) {
  io.Enqueue(Registers(0x50, 0x00));
  TaskFile current{0, 1, 0, 0, 0, 0xE0, 0xEC, 0};
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(transport.AtaPassThroughIn28("/dev/sda", current, buffer.data(), 512), 1);
  EXPECT_EQ(current[platform::kTaskCommand], 0x50) << "the command position now holds the status";
}

TEST_F(TransportTest, AtaRecordsHoldThePreviousThenTheCurrentTaskFile) {
  std::vector<ExchangeRecord> seen;
  transport.SetRecorder([&](const ExchangeRecord& r) { seen.push_back(r); });
  io.Enqueue(Registers(0x51, 0x04));
  std::vector<uint8_t> image = Bytes("85 09 0E 11 22 33 44 55 66 77 88 99 AA E0 2F 00");
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(transport.AtaPassThrough("/dev/sda", true, image.data(), buffer.data(), 512, true),
            0xFE);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].ataPath);
  ASSERT_EQ(seen[0].imageLength, 16);
  EXPECT_EQ(std::vector<uint8_t>(seen[0].image.begin(), seen[0].image.end()),
            Bytes("11 33 55 77 99 E0 2F 00 22 44 66 88 AA E0 2F 00"));
  EXPECT_EQ(seen[0].returned, (TaskFile{0x04, 0, 0, 0, 0, 0xE0, 0x51, 0}));
  EXPECT_EQ(seen[0].result, 0);
  EXPECT_EQ(seen[0].timeoutSeconds, 30u);
}

TEST_F(TransportTest, AtaRequestsThatNeverLeaveAreRecordedToo) {
  std::vector<ExchangeRecord> seen;
  transport.SetRecorder([&](const ExchangeRecord& r) { seen.push_back(r); });
  std::vector<uint8_t> buffer(65537);
  io.FailOpen("/dev/sdz", EBUSY);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sdz", false, kFirstPhase16.data(), buffer.data(), 512, true),
      0xFE);
  EXPECT_EQ(
      transport.AtaPassThrough("/dev/sda", true, kFirstPhase16.data(), buffer.data(), 65537, true),
      0xFF);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/dev/sdz");
  EXPECT_EQ(seen[0].result, 0);
  EXPECT_EQ(seen[0].errorCode, EBUSY);
  EXPECT_EQ(seen[0].direction, DataDirection::Out);
  EXPECT_EQ(seen[0].image[8], 0xFC) << "the current task file follows the previous one";
  EXPECT_EQ(seen[1].result, 0xFF);
  EXPECT_EQ(seen[1].errorCode, EINVAL);
  EXPECT_EQ(seen[1].length, 65537u);
  EXPECT_EQ(seen[1].returned, TaskFile{}) << "no registers came back";
  EXPECT_TRUE(io.Requests().empty());
}

// --- Dispatch ---------------------------------------------------------------

TEST_F(TransportTest, InterfaceTypeThreeTakesTheAtaPathEverythingElseTheSatPath) {
  io.SetScript([](const auto&) { return Registers(0x50); });
  VendorCommand command;
  command.path = "/dev/sda";
  std::copy(kFirstPhase16.begin(), kFirstPhase16.end(), command.image.begin());
  command.imageLength = 16;
  command.extended = true;
  std::vector<uint8_t> block(512);
  command.buffer = block.data();
  command.length = 512;
  command.direction = DataDirection::Out;
  for (int32_t type : {0, 1, 2, 3, 4}) {
    EXPECT_EQ(transport.Send(command, type), 1);
    EXPECT_EQ(io.Requests().back().ata, type == 3) << "interface type " << type;
  }
}

// --- Routes: the form of ATA PASS-THROUGH a port's bridge carries ---------

struct RouteCase {
  const char* what;
  Route route;
  const char* image;  // as the command was built
  uint32_t length;
  const char* sent;  // as it reached the platform; empty: not sent at all
};

TEST_F(TransportTest, EachCommandGoesInTheFormItsPortsBridgeCarries) {
  const RouteCase cases[] = {
      {"both forms: unchanged", Route::kBoth, "A1 08 0B 00 01 00 00 00 E0 EC 00 00", 512,
       "A1 08 0B 00 01 00 00 00 E0 EC 00 00"},
      {"IDENTIFY on a 16-only bridge: EXTEND clear, length in the count", Route::k16Only,
       "A1 08 0B 00 01 00 00 00 E0 EC 00 00", 512,
       "85 08 0E 00 00 00 01 00 00 00 00 00 00 E0 EC 00"},
      {"a download chunk on a 16-only bridge keeps its offset", Route::k16Only,
       "A1 0A 03 0E 08 00 34 12 E0 92 00 00", 4096,
       "85 0A 06 00 0E 00 08 00 00 00 34 00 12 E0 92 00"},
      {"non-data on a 16-only bridge", Route::k16Only, "A1 06 00 0F 00 00 00 00 E0 92 00 00", 0,
       "85 06 04 00 0F 00 00 00 00 00 00 00 00 E0 92 00"},
      {"a first phase on a 12-only bridge", Route::k12Only,
       "85 0B 06 00 FC 00 01 00 00 00 00 00 00 E0 FF 00", 512,
       "A1 0A 03 FC 01 00 00 00 E0 FF 00 00"},
      {"a table read on a 12-only bridge", Route::k12Only,
       "85 09 0E 00 00 00 40 00 DE 00 40 00 00 E0 2F 00", 32768,
       "A1 08 0B 00 40 DE 40 00 E0 2F 00 00"},
      {"the RDT read has an upper LBA byte: no (12) form", Route::k12Only,
       "85 09 0E 00 00 00 21 01 DE 00 80 00 00 E0 2F 00", 16896, ""},
      {"no route: nothing is sent", Route::kNone, "A1 08 0B 00 01 00 00 00 E0 EC 00 00", 512, ""},
  };
  std::vector<ExchangeRecord> records;
  transport.SetRecorder([&](const ExchangeRecord& r) { records.push_back(r); });
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.what);
    io.Clear();
    records.clear();
    std::vector<uint8_t> image = Bytes(c.image);
    VendorCommand command;
    command.path = "/dev/sg1";
    std::copy(image.begin(), image.end(), command.image.begin());
    command.imageLength = static_cast<uint8_t>(image.size());
    std::vector<uint8_t> buffer(c.length);
    command.buffer = c.length ? buffer.data() : nullptr;
    command.length = c.length;
    command.direction = c.length == 0                            ? DataDirection::None
                        : (image[1] == 0x0A || image[1] == 0x0B) ? DataDirection::Out
                                                                 : DataDirection::In;
    const int result = transport.Send(command, 1, c.route);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].route, c.route);
    if (std::string(c.sent).empty()) {
      EXPECT_EQ(result, 0) << "fails at once";
      EXPECT_TRUE(io.Requests().empty());
      EXPECT_FALSE(records[0].notSent.empty());
    } else {
      EXPECT_EQ(result, 1);
      ASSERT_EQ(io.Requests().size(), 1u);
      EXPECT_EQ(io.Requests()[0].cdb, Bytes(c.sent));
      EXPECT_TRUE(records[0].notSent.empty());
    }
  }
}

// A bridge's time-outs from the line's table only ever lengthen the station's
// own, whatever the path makes of those; they reach the request and its
// record.
TEST_F(TransportTest, BridgeTimeoutsLengthenTheStationsOwnAndNeverShortenThem) {
  struct Case {
    const char* path;
    DataDirection direction;
    BridgeTimeouts bridge;
    uint32_t seconds;
  };
  const Case cases[] = {
      {"/dev/sg1", DataDirection::In, {600, 0}, 600},
      {"/dev/sg1", DataDirection::In, {0, 900}, 5},
      {"/dev/sg1", DataDirection::Out, {0, 900}, 900},
      {"/dev/sg1", DataDirection::None, {0, 900}, 900},
      {"/dev/sg1", DataDirection::Out, {600, 10}, 20},
      {"\\\\?\\usbstor#disk", DataDirection::In, {60, 0}, 300},
      {"\\\\?\\usbstor#disk", DataDirection::In, {3600, 0}, 3600},
  };
  std::vector<ExchangeRecord> records;
  transport.SetRecorder([&](const ExchangeRecord& r) { records.push_back(r); });
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.bridge.dataIn) + "/" +
                 std::to_string(c.bridge.dataOut));
    io.Clear();
    records.clear();
    uint8_t buffer[512] = {};
    VendorCommand command;
    command.path = c.path;
    std::copy(kIdentify12.begin(), kIdentify12.end(), command.image.begin());
    command.direction = c.direction;
    command.buffer = c.direction == DataDirection::None ? nullptr : buffer;
    command.length = c.direction == DataDirection::None ? 0 : 512;
    EXPECT_EQ(transport.Send(command, 1, Route::kBoth, c.bridge), 1);
    ASSERT_EQ(io.Requests().size(), 1u);
    EXPECT_EQ(io.Requests()[0].timeoutSeconds, c.seconds);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].timeoutSeconds, c.seconds);
  }
}

}  // namespace
}  // namespace qelvar::transport
