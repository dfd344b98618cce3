// The simulated bridges in front of a drive: what the host sees of each.
#include <gtest/gtest.h>

#include "platform/sim/sim_station.h"

namespace qelvar::platform::sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SimBridge, NamesParseAndUnknownOnesAreRefused) {
  for (const char* good : {"sat", "SAT16-only", "sat12-only", "no-ck-cond-sense", "fixed-sense",
                           "max-transfer=4096", "no-pass-through"}) {
    BridgeBehaviour b;
    EXPECT_TRUE(ParseBridge(good, &b)) << good;
  }
  for (const char* bad : {"", "sat14", "max-transfer=", "max-transfer=1000", "max-transfer=0",
                          "max-transfer=4096x", "max-transfer=99999999999"}) {
    BridgeBehaviour b;
    EXPECT_FALSE(ParseBridge(bad, &b)) << bad;
  }
  StationConfig config;
  std::string why;
  EXPECT_FALSE(ParseStation("[Drive0]\nBridge = usb3\n", "", &config, &why));
  EXPECT_NE(why.find("Bridge"), std::string::npos) << why;
}

struct Exchange {
  const char* bridge;
  Bytes cdb;
  uint32_t length;
  uint8_t status;  // SCSI status the host sees
  Bytes sense;     // its first bytes (empty: none at all)
};

// IDENTIFY (12) and (16), CHECK POWER MODE with CK_COND, and a vendor second
// phase the drive refuses (none is due), through each bridge of a drive in
// its first state.
TEST(SimBridge, EachBridgeAnswersAsItsKindDoes) {
  const Bytes id12 = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  const Bytes id16 = {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  const Bytes power12 = {0xA1, 0x06, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE5, 0x00, 0x00};
  const Bytes refused = {0x85, 0x06, 0x04, 0x00, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0xFF, 0};
  const Exchange cases[] = {
      {"sat", id12, 512, 0, {}},
      {"sat", id16, 512, 0, {}},
      {"sat", power12, 0, 2, {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0x00, 0x00}},
      {"sat", refused, 0, 2, {0x72, 0x0B, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0x00, 0x04}},
      {"sat16-only", id12, 512, 2, {0x72, 0x05, 0x20, 0x00}},
      {"sat16-only", id16, 512, 0, {}},
      {"sat12-only", id16, 512, 2, {0x72, 0x05, 0x20, 0x00}},
      {"no-pass-through", id12, 512, 2, {0x72, 0x05, 0x20, 0x00}},
      {"no-pass-through", id16, 512, 2, {0x72, 0x05, 0x20, 0x00}},
      {"no-ck-cond-sense", power12, 0, 0, {}},
      {"no-ck-cond-sense", refused, 0, 2, {0x72, 0x0B, 0x00, 0x00}},
      // Fixed format: error, status, device, count in INFORMATION; ASCQ 1Dh.
      {"fixed-sense",
       power12,
       0,
       2,
       {0x70, 0x00, 0x01, 0x00, 0x50, 0xE0, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1D}},
      {"fixed-sense", refused, 0, 2, {0x70, 0x00, 0x0B, 0x04, 0x51, 0xE0, 0x00, 0x0A}},
      {"max-transfer=512", id12, 512, 0, {}},
      {"max-transfer=512", id12, 1024, 2, {0x72, 0x05, 0x24, 0x00}},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(std::string(c.bridge) + " " + std::to_string(c.cdb[0]) + " " +
                 std::to_string(c.cdb.size() > 9 ? c.cdb[c.cdb.size() == 12 ? 9 : 14] : 0));
    VirtualClock clock;
    StationConfig config;
    std::string why;
    ASSERT_TRUE(
        ParseStation(std::string("[Drive0]\nBridge = ") + c.bridge + "\n", "", &config, &why))
        << why;
    SimStation sim(std::move(config), clock);
    int error = 0;
    auto handle = sim.Open(sim.PathOf(0), ShareMode::SharedReadWrite, &error);
    ASSERT_TRUE(handle);
    Bytes data(c.length);
    ScsiRequest request;
    request.cdb = c.cdb;
    request.direction = c.length ? DataDirection::In : DataDirection::None;
    request.data = c.length ? data.data() : nullptr;
    request.length = c.length;
    request.timeoutSeconds = c.length ? 5 : 20;
    ScsiResult r = handle->SendScsi(request);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.scsiStatus, c.status);
    if (c.sense.empty()) {
      EXPECT_EQ(r.senseLength, 0);
    } else {
      ASSERT_GE(r.senseLength, c.sense.size());
      EXPECT_EQ(Bytes(r.sense.begin(), r.sense.begin() + c.sense.size()), c.sense);
    }
  }
}

}  // namespace
}  // namespace qelvar::platform::sim
