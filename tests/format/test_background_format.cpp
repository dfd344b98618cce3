// The end-of-run format on a thread of its own: the job and the collection of
// format processes never use the volumes at the same time, late failures
// reach the operator once, and a message box may collect again.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "format/background_format.h"
#include "platform/clock.h"
#include "platform/sim/sim_volume_ops.h"

namespace qelvar::format {
namespace {

using platform::FixedVolume;
using settings::MessageIcon;
using namespace std::chrono_literals;

// Forwards to the simulated volumes and notes any call made while another
// is in progress (VolumeOps is used from one thread at a time).
class OneAtATimeVolumes final : public platform::VolumeOps {
 public:
  explicit OneAtATimeVolumes(platform::VolumeOps& inner) : inner_(inner) {}

  std::unique_ptr<platform::DiskHandle> OpenDisk(std::string_view path, int* error) override {
    Enter guard(*this);
    return inner_.OpenDisk(path, error);
  }
  std::vector<FixedVolume> ListFixedVolumes() override {
    Enter guard(*this);
    return inner_.ListFixedVolumes();
  }
  bool StartFormat(const FixedVolume& volume, std::string_view label,
                   std::string* detail) override {
    Enter guard(*this);
    bool started = inner_.StartFormat(volume, label, detail);
    if (onStart) onStart();
    return started;
  }
  std::vector<platform::FormatOutcome> CollectFinishedFormats() override {
    Enter guard(*this);
    ++collections;
    return inner_.CollectFinishedFormats();
  }
  size_t FormatsRunning() const override { return inner_.FormatsRunning(); }

  std::function<void()> onStart;  // inside StartFormat, as a long step would be
  std::atomic<int> collections{0};
  std::atomic<bool> overlapped{false};

 private:
  struct Enter {
    explicit Enter(OneAtATimeVolumes& owner) : volumes(owner) {
      if (volumes.busy_.exchange(true)) volumes.overlapped.store(true);
    }
    ~Enter() { volumes.busy_.store(false); }
    OneAtATimeVolumes& volumes;
  };
  platform::VolumeOps& inner_;
  std::atomic<bool> busy_{false};
};

class RecordingSink final : public settings::MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon) override {
    texts.push_back(std::string(caption) + ": " + std::string(text));
    if (onShow) onShow();
  }
  std::vector<std::string> texts;
  std::function<void()> onShow;
};

const FixedVolume kVolume{"sim1p1", "/sim/disk1", "/sim/disk1p1", 0};

class BackgroundFormatTest : public ::testing::Test {
 protected:
  // Starts a job that starts one format of kVolume; true once it has ended.
  bool RunJob() {
    std::promise<void> ended;
    auto done = ended.get_future();
    bool started = background.Start(
        [this] {
          std::string detail;
          (void)checked.StartFormat(kVolume, "UDISK-A", &detail);
        },
        [&ended] { ended.set_value(); });
    if (!started || done.wait_for(10s) != std::future_status::ready) return false;
    background.Join();
    return !background.JobRunning();
  }

  platform::sim::SimVolumeOps sim;
  OneAtATimeVolumes checked{sim};
  platform::VirtualClock clock;
  RecordingSink sink;
  BackgroundFormat background{checked, clock, sink};
};

TEST_F(BackgroundFormatTest, CollectLeavesTheVolumesToARunningJob) {
  std::promise<void> inside;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  checked.onStart = [&] {
    inside.set_value();
    (void)released.wait_for(10s);
  };
  std::promise<void> ended;
  ASSERT_TRUE(background.Start(
      [this] {
        std::string detail;
        (void)checked.StartFormat(kVolume, "UDISK-A", &detail);
      },
      [&] { ended.set_value(); }));
  ASSERT_EQ(inside.get_future().wait_for(10s), std::future_status::ready);

  EXPECT_TRUE(background.JobRunning());
  EXPECT_EQ(background.Collect(), 0u) << "the count seen last: none before the job";
  EXPECT_EQ(checked.collections.load(), 0) << "the volumes belong to the job now";
  EXPECT_FALSE(background.Start([] {}, {})) << "one job at a time";

  release.set_value();
  ASSERT_EQ(ended.get_future().wait_for(10s), std::future_status::ready);
  background.Join();
  EXPECT_FALSE(background.JobRunning());
  EXPECT_EQ(background.Collect(), 0u);
  EXPECT_EQ(checked.collections.load(), 1);
  EXPECT_FALSE(checked.overlapped.load());
}

TEST_F(BackgroundFormatTest, AFailureEndingAfterTheJobIsReportedOnceWhenItEnds) {
  sim.SetFormatPolls(3);
  sim.FailFormat("sim1p1", "mkntfs ended with exit status 1");
  ASSERT_TRUE(RunJob());

  EXPECT_EQ(background.Collect(), 1u);
  EXPECT_TRUE(sink.texts.empty());
  EXPECT_EQ(background.Collect(), 1u);
  EXPECT_EQ(background.Collect(), 0u);
  EXPECT_EQ(sink.texts, (std::vector<std::string>{
                            "Format Fail: Format of sim1p1 as UDISK-A failed: mkntfs ended with "
                            "exit status 1"}));
  EXPECT_EQ(background.Collect(), 0u);
  EXPECT_EQ(sink.texts.size(), 1u) << "reported once";
}

// A message box runs an event loop, in which the collection timer fires
// again: the second collection must neither block nor report twice.
TEST_F(BackgroundFormatTest, ACollectionFromInsideAFailuresMessageBoxWorks) {
  sim.FailFormat("sim1p1", "mkntfs was ended by signal 9");
  ASSERT_TRUE(RunJob());
  size_t nested = 99;
  sink.onShow = [&] { nested = background.Collect(); };
  EXPECT_EQ(background.Collect(), 0u);
  EXPECT_EQ(nested, 0u);
  EXPECT_EQ(sink.texts.size(), 1u);
}

// A new run's format may start while an earlier failure's box waits for the
// operator on the collecting thread: the job must not wait for the box.
TEST_F(BackgroundFormatTest, AJobStartedWhileAFailureIsShownRunsToItsEnd) {
  sim.FailFormat("sim1p1", "mkntfs ended with exit status 1");
  ASSERT_TRUE(RunJob());
  bool jobEnded = false;
  sink.onShow = [&] {
    sink.onShow = nullptr;
    jobEnded = RunJob();
  };
  (void)background.Collect();
  EXPECT_TRUE(jobEnded);
  EXPECT_FALSE(checked.overlapped.load());
}

}  // namespace
}  // namespace qelvar::format
