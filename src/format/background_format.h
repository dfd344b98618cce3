// The end-of-run format off the window's thread. Partitioning waits 3 s per
// drive and 5 s per started format: a window running it on its own thread
// would not answer for minutes. The format processes themselves outlive the
// job; Collect reports each one as it ends, so a late mkntfs failure reaches
// the operator and no finished process is left unreaped.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/volume_ops.h"
#include "settings/settings_view.h"

namespace qelvar::format {

class BackgroundFormat {
 public:
  // `volumes` is used only by the job and by Collect, never by both at once.
  BackgroundFormat(platform::VolumeOps& volumes, platform::Clock& clock,
                   settings::MessageSink& messages, DebugLog log = {});
  // Waits for the job: a drive is never left half partitioned.
  ~BackgroundFormat();
  BackgroundFormat(const BackgroundFormat&) = delete;
  BackgroundFormat& operator=(const BackgroundFormat&) = delete;

  // Runs `job` on a thread of its own, then `finished` on that thread (which
  // must not wait for the caller's thread: post, never send). False, running
  // nothing, while an earlier job still runs. Start, Collect and Join are
  // called from one thread (the window's).
  bool Start(std::function<void()> job, std::function<void()> finished);
  // From the start of a job until its `finished` has returned.
  [[nodiscard]] bool JobRunning() const { return jobRunning_.load(); }
  // Reports the formats that have ended since the last collection and
  // returns how many still run. While a job runs it leaves the volumes to the
  // job (which collects as it goes) and only returns the count it saw last.
  size_t Collect();
  // Waits for a job that has ended (or is about to) to release its thread.
  void Join();

 private:
  platform::VolumeOps& volumes_;
  platform::Clock& clock_;
  settings::MessageSink& messages_;
  DebugLog log_;
  // Held by the job for its whole length and by each collection.
  std::mutex volumesMutex_;
  std::atomic<bool> jobRunning_{false};
  std::atomic<size_t> lastRunning_{0};
  std::thread thread_;
};

}  // namespace qelvar::format
