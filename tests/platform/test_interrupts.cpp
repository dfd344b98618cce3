#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <vector>

#include "platform/interrupts.h"

namespace qelvar::platform {
namespace {

// SIGINT and SIGTERM sent to the process reach the watcher's handler, in
// order and named apart, with the exit status a shell reports for each.
TEST(InterruptWatcher, HandsEachSignalToTheHandlerAsItsKind) {
  ReserveInterruptsForWatcher();
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Interrupt> seen;
  {
    InterruptWatcher watcher([&](Interrupt interrupt) {
      std::lock_guard lock(mutex);
      seen.push_back(interrupt);
      arrived.notify_one();
    });
    const struct {
      int signal;
      Interrupt kind;
      int exitStatus;
    } cases[] = {{SIGTERM, Interrupt::kTerminate, 143}, {SIGINT, Interrupt::kStop, 130}};
    for (size_t i = 0; i < std::size(cases); ++i) {
      ASSERT_EQ(::kill(::getpid(), cases[i].signal), 0);
      std::unique_lock lock(mutex);
      ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() > i; }))
          << "signal " << cases[i].signal << " never reached the handler";
      EXPECT_EQ(seen[i], cases[i].kind);
      EXPECT_EQ(ExitStatusOf(seen[i]), cases[i].exitStatus);
    }
  }
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace qelvar::platform
