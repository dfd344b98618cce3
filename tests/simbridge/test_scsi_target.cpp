// The bridge's SCSI side: what the kernel's sd driver and SG_IO get for the
// disk commands, and SAT answers for ATA PASS-THROUGH, with the simulated
// drive behind it.
#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"
#include "platform/sim/sim_drive.h"
#include "platform/sim/station_config.h"
#include "platform/sim/trace.h"
#include "tests/simbridge/memory_store.h"
#include "tools/simbridge/drive_link.h"
#include "tools/simbridge/scsi_target.h"

namespace qelvar::simbridge {
namespace {

using platform::DataDirection;
using Status = ScsiOutcome::Status;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kSectors = 2048;

struct Target {
  explicit Target(ScsiTarget::AtaPath ata = nullptr, uint8_t version = 6,
                  uint64_t sectors = kSectors)
      : store(kSectors * 512),
        target(ScsiIdentity{"QELVAR", "SIM SATA BRIDGE", "0100", version, sectors, {}}, store,
               std::move(ata)) {}
  ScsiOutcome Run(Bytes cdb, DataDirection dir, Bytes* data) {
    return target.Execute(cdb, dir, *data);
  }
  Bytes Sense() {
    Bytes data(96);
    ScsiOutcome o = Run({0x03, 0, 0, 0, 96, 0}, DataDirection::In, &data);
    data.resize(o.moved);
    return data;
  }
  MemoryStore store;
  ScsiTarget target;
};

TEST(ScsiTarget, InquiryReportsTheConfiguredVersionCutToTheAllocationLength) {
  Target t;
  Bytes data(96);
  ScsiOutcome o = t.Run({0x12, 0, 0, 0, 96, 0}, DataDirection::In, &data);
  EXPECT_EQ(o.status, Status::Good);
  ASSERT_EQ(o.moved, 36u);
  EXPECT_EQ(data[0], 0x00);
  EXPECT_EQ(data[2], 6);
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 32), "QELVAR  SIM SATA BRIDGE ");

  Target old(nullptr, 4);
  o = old.Run({0x12, 0, 0, 0, 5, 0}, DataDirection::In, &data);
  EXPECT_EQ(o.moved, 5u);
  EXPECT_EQ(data[2], 4);
}

TEST(ScsiTarget, CapacityInBothFormsAndTenCapsAtFourBillionBlocks) {
  Target t;
  Bytes data(32);
  ASSERT_EQ(t.Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, &data).moved, 8u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), (Bytes{0, 0, 0x07, 0xFF, 0, 0, 0x02, 0}));

  Target big(nullptr, 6, 0x1'0000'0010ULL);
  ASSERT_EQ(big.Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, &data).moved, 8u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  Bytes rc16 = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0};
  ASSERT_EQ(big.Run(rc16, DataDirection::In, &data).moved, 32u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 12),
            (Bytes{0, 0, 0, 0x01, 0, 0, 0, 0x0F, 0, 0, 0x02, 0}));
}

TEST(ScsiTarget, WritesAndReadsTheBackingStoreAndRefusesBeyondTheLastSector) {
  Target t;
  Bytes out(1024);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(t.Run({0x2A, 0, 0, 0, 0, 10, 0, 0, 2, 0}, DataDirection::Out, &out).status,
            Status::Good);
  EXPECT_EQ(t.store.bytes()[10 * 512 + 1], 7);
  Bytes in(1024);
  Bytes read16 = {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 2, 0, 0};
  ScsiOutcome o = t.Run(read16, DataDirection::In, &in);
  EXPECT_EQ(o.status, Status::Good);
  EXPECT_EQ(o.moved, 1024u);
  EXPECT_EQ(in, out);

  // The last sector reads; one past it is LOGICAL BLOCK ADDRESS OUT OF RANGE.
  Bytes one(512);
  EXPECT_EQ(t.Run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 1, 0}, DataDirection::In, &one).status,
            Status::Good);
  EXPECT_EQ(t.Run({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0}, DataDirection::In, &in).status,
            Status::CheckCondition);
  Bytes sense = t.Sense();
  ASSERT_GE(sense.size(), 14u);
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[2], 0x05);
  EXPECT_EQ(sense[12], 0x21);
  // Sense data is given once.
  EXPECT_EQ(t.Sense()[2], 0x00);
}

TEST(ScsiTarget, CommandsABridgeDoesNotKnowAreIllegalRequests) {
  Target t;
  Bytes none;
  for (Bytes cdb : {Bytes{0x04, 0, 0, 0, 0, 0}, Bytes{0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                    Bytes{0x9E, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}}) {
    EXPECT_EQ(t.Run(cdb, DataDirection::None, &none).status, Status::CheckCondition);
    Bytes sense = t.Sense();
    EXPECT_EQ(sense[2], 0x05) << int(cdb[0]);
  }
  // The ones the kernel sends to every disk succeed without data.
  for (Bytes cdb : {Bytes{0x00, 0, 0, 0, 0, 0}, Bytes{0x1E, 0, 0, 0, 1, 0},
                    Bytes{0x1B, 0, 0, 0, 1, 0}, Bytes{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    EXPECT_EQ(t.Run(cdb, DataDirection::None, &none).status, Status::Good) << int(cdb[0]);
  }
  EXPECT_EQ(t.store.flushes, 1);
}

TEST(ScsiTarget, ModeSenseGivesAHeaderAndTheCachingPage) {
  Target t;
  Bytes data(192);
  ScsiOutcome o = t.Run({0x1A, 0, 0x3F, 0, 192, 0}, DataDirection::In, &data);
  ASSERT_EQ(o.moved, 24u);
  EXPECT_EQ(data[0], 23);  // mode data length
  EXPECT_EQ(data[3], 0);   // no block descriptor
  EXPECT_EQ(data[4], 0x08);
  o = t.Run({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 192, 0}, DataDirection::In, &data);
  ASSERT_EQ(o.moved, 28u);
  EXPECT_EQ(data[1], 26);
  EXPECT_EQ(t.Run({0x1A, 0, 0x1C, 0, 192, 0}, DataDirection::In, &data).status,
            Status::CheckCondition);
}

// What a SAT bridge answers for a command the drive took, took with CK_COND,
// refused, or never answered.
TEST(ScsiTarget, PassThroughAnswersAsASatBridge) {
  platform::ScsiResult next;
  Bytes seenCdb;
  Target t([&](const platform::ScsiRequest& r) {
    seenCdb.assign(r.cdb.begin(), r.cdb.end());
    if (r.data != nullptr) std::fill(r.data, r.data + r.length, 0xAB);
    return next;
  });
  Bytes identify = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  Bytes data(512);
  next.completed = true;
  next.transferred = 512;
  ScsiOutcome o = t.Run(identify, DataDirection::In, &data);
  EXPECT_EQ(o.status, Status::Good);
  EXPECT_EQ(o.moved, 512u);
  EXPECT_EQ(seenCdb, identify);

  // CK_COND: the simulated bridge in front of the drive answers with the
  // registers in its own sense format; the target hands that on as it is.
  Bytes checkPower = {0x85, 0x06, 0x20, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xE0, 0xE5, 0};
  Bytes none;
  next.transferred = 0;
  const Bytes recovered = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0x00,
                           0x00, 0x00, 0xFF, 0,    0, 0, 0, 0,    0,    0xE0, 0x50};
  next.scsiStatus = 0x02;
  next.senseLength = static_cast<uint8_t>(recovered.size());
  std::copy(recovered.begin(), recovered.end(), next.sense.begin());
  EXPECT_EQ(t.Run(checkPower, DataDirection::None, &none).status, Status::CheckCondition);
  EXPECT_EQ(t.target.sense(), recovered);
  Bytes identifyCk = identify;
  identifyCk[2] |= 0x20;
  next.transferred = 512;
  o = t.Run(identifyCk, DataDirection::In, &data);
  EXPECT_EQ(o.status, Status::CheckCondition);
  EXPECT_EQ(o.moved, 512u) << "a command that succeeded with CK_COND moved its data";
  next.transferred = 0;

  next.scsiStatus = 0x02;
  next.senseLength = 0;
  o = t.Run(identify, DataDirection::In, &data);
  EXPECT_EQ(o.status, Status::CheckCondition);
  EXPECT_EQ(o.moved, 0u);
  EXPECT_EQ(t.target.sense(), (Bytes{0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0x00,
                                     0x04, 0x00, 0x01, 0,    0, 0, 0, 0,    0,    0xE0, 0x51}));

  next = platform::ScsiResult{};
  next.errorCode = 110;
  EXPECT_EQ(t.Run(identify, DataDirection::In, &data).status, Status::TransportFailure);
}

// The same simulated drive as --sim, behind the bridge: IDENTIFY answers with
// the station file's identity, a vendor command out of order is refused with
// the drive's registers, and every command lands in the trace.
TEST(ScsiTarget, CarriesPassThroughToTheSimulatedDrive) {
  platform::sim::StationConfig station;
  std::string why;
  ASSERT_TRUE(
      platform::sim::ParseStation("[Drive0]\nModel = BRIDGED\nSerial = S123\n", "", &station, &why))
      << why;
  platform::VirtualClock clock;
  platform::sim::Tracer tracer;
  tracer.Capture(true);
  platform::sim::SimDrive drive(station.drives[0], "/sim/disk1", clock, tracer, "", nullptr);
  Target t([&](const platform::ScsiRequest& r) { return PassToDrive(drive, r); });

  Bytes data(512);
  Bytes identify = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  ASSERT_EQ(t.Run(identify, DataDirection::In, &data).status, Status::Good);
  // Model: words 27-46, byte-swapped pairs.
  EXPECT_EQ(data[54], 'R');
  EXPECT_EQ(data[55], 'B');

  Bytes second = {0x85, 0x06, 0x04, 0x00, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0xFF, 0};
  Bytes none;
  EXPECT_EQ(t.Run(second, DataDirection::None, &none).status, Status::CheckCondition);
  EXPECT_EQ(t.target.sense()[1], 0x0B);
  EXPECT_EQ(t.target.sense()[21], 0x51);

  auto lines = tracer.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].accepted);
  EXPECT_FALSE(lines[1].accepted);
}

}  // namespace
}  // namespace qelvar::simbridge
