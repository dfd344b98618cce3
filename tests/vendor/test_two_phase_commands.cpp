#include <gtest/gtest.h>

#include <functional>
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

const std::vector<uint8_t> kFirst = Bytes("85 0B 06 00 FC 00 01 00 00 00 00 00 00 E0 FF 00");
const std::vector<uint8_t> kNoData = Bytes("85 06 04 00 FD 00 00 00 00 00 00 00 00 E0 FF 00");
const std::vector<uint8_t> kIn512 = Bytes("85 09 0E 00 FD 00 01 00 00 00 00 00 00 E0 FF 00");
const std::vector<uint8_t> kIn4096 = Bytes("85 09 0E 00 FD 00 08 00 00 00 00 00 00 E0 FF 00");
const std::vector<uint8_t> kOut512 = Bytes("85 0B 06 00 FD 00 01 00 00 00 00 00 00 E0 FF 00");

// A 512-byte block: the given leading bytes, optionally the common tail.
std::vector<uint8_t> Block(const std::string& head, bool tail) {
  std::vector<uint8_t> block(512, 0);
  auto bytes = Bytes(head);
  std::copy(bytes.begin(), bytes.end(), block.begin());
  if (tail) {
    block[9] = 0x02;
    block[12] = 0x0A;
    block[20] = 0x28;
    block[33] = 0x01;
    block[38] = 0xEC;
  }
  return block;
}

class TwoPhaseTest : public ::testing::Test {
 protected:
  TwoPhaseTest() { clock.NameThisThread("worker"); }
  std::vector<uint32_t> Pauses() { return clock.PausesOf("worker"); }

  platform::VirtualClock clock;
  FakeDeviceIo io{&clock};
  transport::PassThroughTransport transport{io, clock};
  VendorCommands vendor{transport};
  PortTarget port{"/dev/sdd", 1};
};

struct CommandCase {
  const char* name;
  std::function<int(VendorCommands&, PortTarget)> call;
  std::vector<uint8_t> block;
  std::vector<uint8_t> second;  // empty: one-phase command
  uint32_t secondLength;
  uint32_t pauseMs;
};

std::vector<CommandCase> Commands() {
  static std::array<uint8_t, 512> a512;
  static std::array<uint8_t, 4096> a4096;
  return {
      {"SkipRunBadBlocks",
       [](auto& v, auto p) { return v.SkipRunBadBlocks(p); },
       Block("22 01 00 00 00 00 00", false),
       {},
       0,
       500},
      {"SetDriveCapacity",
       [](auto& v, auto p) { return v.SetDriveCapacity(p, 0x0102); },
       Block("B1 02 01 00 00 00 00", false),
       {},
       0,
       500},
      {"TriggerBurn", [](auto& v, auto p) { return v.TriggerBurn(p); },
       Block("15 01 11 00 C4 00 10", true), kNoData, 0, 500},
      {"CalibrateNand", [](auto& v, auto p) { return v.CalibrateNand(p); },
       Block("16 01 43 00 C4 00 42", true), kNoData, 0, 500},
      {"EnterRomMode", [](auto& v, auto p) { return v.EnterRomMode(p); },
       Block("0E 01 7D 00 C4 00 7B", true), kNoData, 0, 500},
      {"RebootDrive", [](auto& v, auto p) { return v.RebootDrive(p); },
       Block("11 01 7D 00 C4 00 7B", true), kNoData, 0, 4000},
      {"EraseNand", [](auto& v, auto p) { return v.EraseNand(p, EraseSelector::WithoutWpb0); },
       Block("12 01 56 00 C4 00 54", false), kOut512, 512, 500},
      {"GetVendorIdentify", [](auto& v, auto p) { return v.GetVendorIdentify(p, a512); },
       Block("14 01 59 00 C4 00 57", false), kIn512, 512, 500},
      {"GetNandInfo", [](auto& v, auto p) { return v.GetNandInfo(p, a512); },
       Block("13 01 59 00 C4 00 57", false), kIn512, 512, 500},
      {"GetBin", [](auto& v, auto p) { return v.GetBin(p, a512); },
       Block("B0 01 59 00 C4 00 57", false), kIn512, 512, 500},
      {"GetCeBinTable", [](auto& v, auto p) { return v.GetCeBinTable(p, a512); },
       Block("B2 01 59 00 C4 00 57", false), kIn512, 512, 500},
      {"GetCeMrTable", [](auto& v, auto p) { return v.GetCeMrTable(p, a512); },
       Block("B3 01 59 00 C4 00 57", false), kIn512, 512, 500},
      {"GetInjectStatus", [](auto& v, auto p) { return v.GetInjectStatus(p, a4096); },
       Block("21 01 59 00 C4 00 57", false), kIn4096, 4096, 500},
  };
}

TEST_F(TwoPhaseTest, EveryCommandSendsItsBlockPausesAndRunsItsSecondPhase) {
  for (const CommandCase& c : Commands()) {
    SCOPED_TRACE(c.name);
    io.Clear();
    uint64_t pausesBefore = Pauses().size();
    ASSERT_EQ(c.call(vendor, port), 1);
    auto requests = io.Requests();
    ASSERT_EQ(requests.size(), c.second.empty() ? 1u : 2u);
    EXPECT_EQ(requests[0].cdb, kFirst);
    EXPECT_EQ(requests[0].direction, DataDirection::Out);
    EXPECT_EQ(requests[0].dataOut, c.block);
    EXPECT_EQ(requests[0].timeoutSeconds, 20u);
    if (!c.second.empty()) {
      EXPECT_EQ(requests[1].cdb, c.second);
      EXPECT_EQ(requests[1].length, c.secondLength);
      EXPECT_EQ(requests[1].timeoutSeconds, requests[1].direction == DataDirection::In ? 5u : 20u);
      // The controller needs the pause between the phases.
      EXPECT_EQ(requests[1].atMs - requests[0].atMs, c.pauseMs);
    }
    auto pauses = Pauses();
    ASSERT_EQ(pauses.size(), pausesBefore + 1);
    EXPECT_EQ(pauses.back(), c.pauseMs);
  }
}

TEST_F(TwoPhaseTest, EraseBlockCarriesTheSelectorAndTheTail) {
  ASSERT_EQ(vendor.EraseNand(port, EraseSelector::WithoutKeep), 1);
  auto erase = io.Requests().at(1).dataOut;
  ASSERT_EQ(erase.size(), 512u);
  std::vector<uint8_t> expected = Block("62 6E 72 66 6D 74 32", true);
  EXPECT_EQ(erase, expected);
}

TEST_F(TwoPhaseTest, FailedFirstPhaseStillPausesAndReturnsTwo) {
  io.FailOpen("/dev/sdd");
  EXPECT_EQ(vendor.EnterRomMode(port), 2);
  EXPECT_TRUE(io.Requests().empty());
  EXPECT_EQ(Pauses(), (std::vector<uint32_t>{500}));
}

TEST_F(TwoPhaseTest, FailedSecondPhaseReturnsThreeAfterOnePause) {
  io.SetScript([](const FakeRequest& r) {
    FakeAnswer a;
    a.completed = r.cdb.size() == 16 && r.cdb[4] == 0xFC;
    return a;
  });
  EXPECT_EQ(vendor.RebootDrive(port), 3);
  EXPECT_EQ(io.Requests().size(), 2u);
  EXPECT_EQ(Pauses(), (std::vector<uint32_t>{4000}));
  EXPECT_EQ(vendor.SetDriveCapacity(port, 7), 1) << "one-phase commands never reach a second phase";
}

TEST_F(TwoPhaseTest, OneOfTheOnePhaseCommandsFailsWithTwo) {
  FakeAnswer dropped;
  dropped.completed = false;
  io.Enqueue(dropped);
  EXPECT_EQ(vendor.SkipRunBadBlocks(port), 2);
}

TEST_F(TwoPhaseTest, ReadsHandBackTheAnswerZeroFilledPastWhatTheDriveSent) {
  io.SetScript([](const FakeRequest& r) {
    FakeAnswer a;
    if (r.direction == DataDirection::In) a.dataIn = {0x07, 0x00, 0x00, 0x00};
    return a;
  });
  std::array<uint8_t, 4096> status;
  status.fill(0xEE);
  ASSERT_EQ(vendor.GetInjectStatus(port, status), 1);
  EXPECT_EQ(status[0], 0x07);
  EXPECT_EQ(status[4], 0x00);
  EXPECT_EQ(status[4095], 0x00);
}

TEST_F(TwoPhaseTest, LogReadsUseTheirImagesAndLengthsWithoutPause) {
  std::array<uint8_t, 16896> rdt;
  std::array<uint8_t, 32768> table;
  ASSERT_EQ(vendor.GetRdtResult(port, rdt), 1);
  ASSERT_EQ(vendor.ReadFctTableBlock(port, table), 1);
  ASSERT_EQ(vendor.ReadDftTableBlock(port, table), 1);
  auto r = io.Requests();
  EXPECT_EQ(r[0].cdb, Bytes("85 09 0E 00 00 00 21 01 DE 00 80 00 00 E0 2F 00"));
  EXPECT_EQ(r[0].length, 16896u);
  EXPECT_EQ(r[1].cdb, Bytes("85 09 0E 00 00 00 40 00 DE 00 00 00 00 E0 2F 00"));
  EXPECT_EQ(r[1].length, 32768u);
  EXPECT_EQ(r[2].cdb, Bytes("85 09 0E 00 00 00 40 00 DE 00 40 00 00 E0 2F 00"));
  EXPECT_TRUE(Pauses().empty());
  FakeAnswer dropped;
  dropped.completed = false;
  io.Enqueue(dropped);
  EXPECT_EQ(vendor.GetRdtResult(port, rdt), 0);
}

TEST_F(TwoPhaseTest, OnTheAtaPathTheFirstPhaseIsA48BitDataOutTaskFile) {
  io.SetScript([](const FakeRequest&) {
    FakeAnswer a;
    a.returned = {0, 0, 0, 0, 0, 0xE0, 0x50, 0};
    return a;
  });
  PortTarget ata{"/dev/sdd", 3};
  std::array<uint8_t, 512> answer;
  ASSERT_EQ(vendor.GetNandInfo(ata, answer), 1);
  auto r = io.Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].current, (TaskFile{0xFC, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0}));
  EXPECT_EQ(r[0].flags, 0x0D);
  EXPECT_EQ(r[0].dataOut.size(), 512u);
  EXPECT_EQ(r[1].current, (TaskFile{0xFD, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0}));
  EXPECT_EQ(r[1].flags, 0x0B);
}

// --- Values from the vendor identify page ------------------------------------

FakeAnswer IdentifyAnswer(uint32_t sectors, uint32_t badBlocks) {
  FakeAnswer a;
  a.dataIn.assign(512, 0);
  for (int i = 0; i < 4; ++i) {
    a.dataIn[68 + i] = static_cast<uint8_t>(sectors >> (8 * i));
    a.dataIn[72 + i] = static_cast<uint8_t>(badBlocks >> (8 * i));
  }
  return a;
}

struct CapacityCase {
  uint32_t sectors;
  int32_t megabytes;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const CapacityCase& c, std::ostream* os) {
  *os << c.sectors << " sectors";
}

class CapacityMb : public TwoPhaseTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(CapacityMb, IsTheSectorCountInDecimalMegabytes) {
  io.SetScript([&](const FakeRequest& r) {
    return r.direction == DataDirection::In ? IdentifyAnswer(GetParam().sectors, 0) : FakeAnswer{};
  });
  EXPECT_EQ(vendor.GetCapacityMb(port), GetParam().megabytes);
}

INSTANTIATE_TEST_SUITE_P(Sectors, CapacityMb,
                         ::testing::Values(CapacityCase{1953525168u, 1000204},
                                           CapacityCase{0x80000000u,
                                                        1099511},  // 2^31: not negative
                                           CapacityCase{0xFFFFFFFFu, 2199023}, CapacityCase{0, 0}),
                         [](const auto& p) { return "Sectors" + std::to_string(p.param.sectors); });

TEST_F(TwoPhaseTest, IdentifyValuesAreMinusOneWhenEitherPhaseFails) {
  io.SetScript([](const FakeRequest& r) {
    if (r.direction == DataDirection::In) return IdentifyAnswer(1000, 0);
    return FakeAnswer{};
  });
  EXPECT_EQ(vendor.GetBadBlockNumber(port), 0);
  FakeAnswer dropped;
  dropped.completed = false;
  io.Enqueue(dropped);  // first phase
  EXPECT_EQ(vendor.GetBadBlockNumber(port), -1);
  io.Enqueue(FakeAnswer{});
  io.Enqueue(dropped);  // second phase
  EXPECT_EQ(vendor.GetBadBlockNumber(port), -1);
  io.Enqueue(dropped);
  EXPECT_EQ(vendor.GetCapacityMb(port), -1);
}

TEST_F(TwoPhaseTest, BadBlockNumberIsReadFromBytes72To75) {
  io.SetScript([](const FakeRequest& r) {
    return r.direction == DataDirection::In ? IdentifyAnswer(0, 0x01020304) : FakeAnswer{};
  });
  EXPECT_EQ(vendor.GetBadBlockNumber(port), 0x01020304);
}

TEST_F(TwoPhaseTest, BadBlockNumberOfAllOnesIsTheDrivesFailure) {
  io.SetScript([](const FakeRequest& r) {
    return r.direction == DataDirection::In ? IdentifyAnswer(0, 0xFFFFFFFFu) : FakeAnswer{};
  });
  EXPECT_EQ(vendor.GetBadBlockNumber(port), -1);
}

}  // namespace
}  // namespace qelvar::vendor
