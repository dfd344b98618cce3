// When the bridge leaves the USB bus for its drive's re-enumeration and when
// it comes back.
#include <gtest/gtest.h>

#include "tools/simbridge/bus_presence.h"

namespace qelvar::simbridge {
namespace {

using namespace std::chrono_literals;
using Clock = BusPresence::Clock;

TEST(BusPresence, LeavesAfterTheStatusAndReturnsWhenTimeAndDriveAgree) {
  BusPresence bus;
  Clock::time_point t0 = Clock::now();
  EXPECT_FALSE(bus.StatusSent(t0));  // an ordinary command: the bridge stays
  EXPECT_EQ(bus.WaitMs(t0), -1);

  bus.DriveLeaves(1500);
  EXPECT_FALSE(bus.Away());  // the command's status has not gone out yet
  ASSERT_TRUE(bus.StatusSent(t0 + 2ms));
  EXPECT_TRUE(bus.Away());
  EXPECT_FALSE(bus.StatusSent(t0 + 3ms));  // leaves once
  EXPECT_EQ(bus.WaitMs(t0 + 2ms), 1500);
  EXPECT_EQ(bus.WaitMs(t0 + 1000ms + 500us), 502);  // rounded up, never early

  bus.Acknowledged();
  EXPECT_FALSE(bus.Return(t0 + 1501ms, true));   // the drive's time is not up
  EXPECT_FALSE(bus.Return(t0 + 1502ms, false));  // the drive itself is not back
  EXPECT_GT(bus.WaitMs(t0 + 1502ms), 0);         // so the bridge looks again soon
  ASSERT_TRUE(bus.Return(t0 + 1504ms, true));
  EXPECT_FALSE(bus.Away());
  EXPECT_FALSE(bus.Return(t0 + 1505ms, true));  // comes back once
  EXPECT_EQ(bus.Count(), 1u);
  EXPECT_EQ(bus.LargestLateUs(), 2000);

  // The next reboot is another absence of its own.
  bus.DriveLeaves(400);
  ASSERT_TRUE(bus.StatusSent(t0 + 3s));
  EXPECT_EQ(bus.LastMs(), 400u);
  EXPECT_EQ(bus.WaitMs(t0 + 3s), 400);
}

TEST(BusPresence, AZeroTimeIsNoAbsence) {
  BusPresence bus;
  bus.DriveLeaves(0);
  EXPECT_FALSE(bus.StatusSent(Clock::now()));
  EXPECT_FALSE(bus.Away());
  EXPECT_EQ(bus.Count(), 0u);
}

TEST(BusPresence, WaitsForTheHostToAcknowledgeTheDisconnectButNotForever) {
  Clock::time_point t0 = Clock::now();
  BusPresence bus;
  bus.DriveLeaves(100);
  ASSERT_TRUE(bus.StatusSent(t0));
  // A connect before the host has taken in the disconnect would be lost.
  EXPECT_FALSE(bus.Return(t0 + 100ms, true));
  EXPECT_FALSE(bus.Return(t0 + 100ms + BusPresence::kAckWait - 1ms, true));
  EXPECT_TRUE(bus.Return(t0 + 100ms + BusPresence::kAckWait, true));

  // A connection that ends while the drive is away leaves nothing to
  // acknowledge: the next host sees the drive when its time is up.
  bus.DriveLeaves(100);
  ASSERT_TRUE(bus.StatusSent(t0 + 10s));
  bus.ConnectionLost();
  EXPECT_TRUE(bus.Return(t0 + 10s + 100ms, true));
}

}  // namespace
}  // namespace qelvar::simbridge
