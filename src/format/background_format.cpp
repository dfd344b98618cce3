#include "format/background_format.h"

#include <utility>
#include <vector>

namespace qelvar::format {

BackgroundFormat::BackgroundFormat(platform::VolumeOps& volumes, platform::Clock& clock,
                                   settings::MessageSink& messages, DebugLog log)
    : volumes_(volumes), clock_(clock), messages_(messages), log_(std::move(log)) {}

BackgroundFormat::~BackgroundFormat() {
  Join();
}

bool BackgroundFormat::Start(std::function<void()> job, std::function<void()> finished) {
  if (jobRunning_.load()) return false;
  Join();  // the thread of the previous job, already past its end
  jobRunning_.store(true);
  thread_ = std::thread(
      clock_.Inherit("format", [this, job = std::move(job), finished = std::move(finished)] {
        {
          std::lock_guard<std::mutex> lock(volumesMutex_);
          job();
          lastRunning_.store(volumes_.FormatsRunning());
        }
        jobRunning_.store(false);
        if (finished) finished();
      }));
  return true;
}

size_t BackgroundFormat::Collect() {
  std::vector<platform::FormatOutcome> ended;
  {
    std::unique_lock<std::mutex> lock(volumesMutex_, std::try_to_lock);
    if (!lock.owns_lock()) return lastRunning_.load();
    ended = volumes_.CollectFinishedFormats();
    lastRunning_.store(volumes_.FormatsRunning());
  }
  // Reported without the lock: a message box waits for the operator, and a
  // job that starts meanwhile must not wait for it, nor a collection made
  // from inside the box's own event loop.
  ReportFormatOutcomes(ended, messages_, log_);
  return lastRunning_.load();
}

void BackgroundFormat::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace qelvar::format
