// The time the drive behind the bridge sees: pauses from the completion of a
// command to the arrival of the next, with the command's own time cut out.
#include <gtest/gtest.h>

#include "tools/simbridge/pause_clock.h"

namespace qelvar::simbridge {
namespace {

using namespace std::chrono_literals;
using Source = PauseClock::Source;

TEST(PauseClock, StandsStillDuringACommandAndRunsBetweenCommands) {
  Source::time_point t0 = Source::now();
  PauseClock clock(0, t0);
  EXPECT_EQ(clock.Arrive(t0 + 5ms), -1);  // the first command has no pause before it
  EXPECT_EQ(clock.DesignUs(t0 + 300ms), 5000);
  clock.Complete(t0 + 300ms);  // a slow command: 295 ms of transfer
  EXPECT_EQ(clock.DesignUs(t0 + 305ms), 10000);
  EXPECT_EQ(clock.Arrive(t0 + 310ms), 10000);
  // What the drive compares: 10 ms between the two arrivals in design time,
  // although 305 ms passed between them.
  EXPECT_EQ(clock.DesignUs(t0 + 400ms), 15000);
  clock.Complete(t0 + 400ms);
  EXPECT_EQ(clock.Arrive(t0 + 402ms), 2000);
}

TEST(PauseClock, GrantsTheToleranceOnEveryPause) {
  Source::time_point t0 = Source::now();
  PauseClock clock(300, t0);
  (void)clock.Arrive(t0);
  clock.Complete(t0 + 1ms);
  EXPECT_EQ(clock.Arrive(t0 + 10ms), 9000);    // the real gap
  EXPECT_EQ(clock.DesignUs(t0 + 10ms), 9600);  // the drive sees 0.3 ms more per arrival
}

TEST(PauseClock, TellsWhichPauseACommandNeeds) {
  const uint8_t firstChunk[12] = {0xA1, 0x0A, 0x03, 0x03, 8, 0, 0, 0, 0xE0, 0x92, 0, 0};
  const uint8_t burnerChunk[12] = {0xA1, 0x0A, 0x03, 0x03, 8, 0, 8, 0, 0xE0, 0x92, 0, 0};
  const uint8_t firmwareChunk[12] = {0xA1, 0x0A, 0x03, 0x0E, 8, 0, 0, 1, 0xE0, 0x92, 0, 0};
  const uint8_t second[16] = {0x85, 0x06, 0x04, 0, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0xFF, 0};
  const uint8_t first[16] = {0x85, 0x0B, 0x06, 0, 0xFC, 0, 1, 0, 0, 0, 0, 0, 0, 0xE0, 0xFF, 0};
  EXPECT_EQ(DemandedPauseMs(firstChunk, 12, 0), 0u);
  EXPECT_EQ(DemandedPauseMs(burnerChunk, 12, 0), 10u);
  EXPECT_EQ(DemandedPauseMs(firmwareChunk, 12, 0), 50u);
  EXPECT_EQ(DemandedPauseMs(second, 16, 600), 500u);
  EXPECT_EQ(DemandedPauseMs(second, 16, 4100), 4000u);
  EXPECT_EQ(DemandedPauseMs(first, 16, 600), 0u);
}

}  // namespace
}  // namespace qelvar::simbridge

// The station-file keys of the bridge.
#include "platform/sim/station_config.h"

namespace qelvar::simbridge {
namespace {

TEST(BridgeStationKeys, DefaultsAndValuesAreReadAndBadValuesRejected) {
  platform::sim::StationConfig st;
  std::string why;
  ASSERT_TRUE(platform::sim::ParseStation(
      "[Station]\nPauseToleranceUs = 250\n[Drive3]\n[Drive4]\nUsbVendorId = 0x1234\n"
      "UsbProductId = 0x5678\nUsbSerial = BRIDGE-4\nInquiryVersion = 4\n",
      "", &st, &why))
      << why;
  EXPECT_EQ(st.pauseToleranceUs, 250u);
  ASSERT_EQ(st.drives.size(), 2u);
  EXPECT_EQ(st.drives[0].usbVendorId, 0x1209);
  EXPECT_EQ(st.drives[0].usbSerial, "QBRG00000003");
  EXPECT_EQ(st.drives[0].inquiryVersion, 6);
  EXPECT_EQ(st.drives[1].usbVendorId, 0x1234);
  EXPECT_EQ(st.drives[1].usbProductId, 0x5678);
  EXPECT_EQ(st.drives[1].usbSerial, "BRIDGE-4");
  EXPECT_EQ(st.drives[1].inquiryVersion, 4);
  for (const char* bad : {"[Drive0]\nUsbVendorId = 0x10000\n", "[Drive0]\nInquiryVersion = 8\n",
                          "[Station]\nPauseToleranceUs = 6000\n"}) {
    EXPECT_FALSE(platform::sim::ParseStation(bad, "", &st, &why)) << bad;
  }
}

}  // namespace
}  // namespace qelvar::simbridge
