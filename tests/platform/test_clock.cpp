#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

namespace qelvar::platform {
namespace {

TEST(VirtualClock, PausesReturnAtOnceAndAreRecordedPerThreadName) {
  VirtualClock clock;
  clock.NameThisThread("ui");
  clock.SleepMs(300);
  clock.SleepMs(8000);
  EXPECT_EQ(clock.Now(), 8300u);
  EXPECT_EQ(clock.PausesOf("ui"), (std::vector<uint32_t>{300, 8000}));
  EXPECT_EQ(clock.TotalPauseMs("ui"), 8300u);
}

TEST(VirtualClock, StartedThreadCarriesOnFromItsStartersTime) {
  VirtualClock clock;
  clock.SleepMs(1000);
  uint64_t seenAtStart = 0;
  std::thread worker(clock.Inherit("port 3", [&] {
    seenAtStart = clock.Now();
    clock.SleepMs(500);
  }));
  worker.join();
  EXPECT_EQ(seenAtStart, 1000u);
  EXPECT_EQ(clock.PausesOf("port 3"), (std::vector<uint32_t>{500}));
  // The starter's own time is not moved by the worker's pauses.
  EXPECT_EQ(clock.Now(), 1000u);
  EXPECT_EQ(clock.Horizon(), 1500u);
}

TEST(VirtualClock, AThreadThatEndedLeavesNoTimeToTheNextThread) {
  VirtualClock clock;
  // The system hands a finished thread's id to the next thread it starts;
  // whatever the ids, every new thread starts from time 0 or its starter's.
  for (int round = 0; round < 20; ++round) {
    std::thread(clock.Inherit("worker", [&] { clock.SleepMs(5000); })).join();
    std::thread([&] { clock.SleepMs(7000); }).join();
    uint64_t fresh = 1;
    std::thread([&] { fresh = clock.Now(); }).join();
    ASSERT_EQ(fresh, 0u) << "round " << round;
  }
}

TEST(VirtualClock, SpentTimeAdvancesTheTickButIsNoPause) {
  VirtualClock clock;
  clock.NameThisThread("t");
  uint32_t before = clock.TickMs();
  clock.Spend(31000);
  EXPECT_EQ(clock.TickMs() - before, 31000u);
  EXPECT_TRUE(clock.PausesOf("t").empty());
}

TEST(VirtualClock, CalendarFollowsVirtualTime) {
  VirtualClock clock(1000);
  clock.SleepMs(2500);
  EXPECT_EQ(clock.CalendarSeconds(), 1002);
}

TEST(ScaledClock, ReportsDesignTimeWhileSleepingAFraction) {
  auto clock = MakeScaledClock(0.01);
  uint32_t before = clock->TickMs();
  auto realBefore = std::chrono::steady_clock::now();
  clock->SleepMs(2000);  // 20 ms of real time
  auto real = std::chrono::steady_clock::now() - realBefore;
  uint32_t design = clock->TickMs() - before;
  EXPECT_GE(design, 2000u);
  EXPECT_LT(real, std::chrono::milliseconds(1500));
}

TEST(ScaledClock, RefusesAScaleThatIsNotPositive) {
  EXPECT_THROW(MakeScaledClock(0.0), std::invalid_argument);
  EXPECT_THROW(MakeScaledClock(-1.0), std::invalid_argument);
}

}  // namespace
}  // namespace qelvar::platform
