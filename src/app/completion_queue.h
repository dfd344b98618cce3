// Completion messages of the workers (or device changes), handled on the
// main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/run_state.h"

namespace qelvar::app {

class CompletionQueue final : public engine::RunEvents {
 public:
  void PostWorkerDone() override {
    {
      std::lock_guard lock(mutex_);
      ++pending_;
    }
    ready_.notify_one();
  }
  // Waits up to `timeout` for a message; true when one was taken.
  bool Take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [&] { return pending_ > 0; })) return false;
    --pending_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  int pending_ = 0;
};

}  // namespace qelvar::app
