// Writes records on a thread of its own, so a worker hands its record over in
// microseconds and goes on: a slow disk or an absent server never holds a
// port up, and a ledger failure never changes a port's result.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ledger/ledger.h"

namespace qelvar::ledger {

class RecordWriter {
 public:
  // Builds a record on the writer's thread (hashing images there); nothing
  // when there is nothing to write.
  using Job = std::function<std::optional<Record>()>;
  // Told of each failure to store a record, on the writer's thread.
  using ErrorSink = std::function<void(const std::string&)>;

  static constexpr size_t kQueueCapacity = 1024;

  RecordWriter(Ledger& ledger, ErrorSink errors);
  // Writes everything still queued, then stops.
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Never blocks on the ledger. False (and the record counted as dropped)
  // when the queue is full.
  bool Submit(Job job);
  // Queues a push of the spool after the records queued so far.
  void SubmitSync();
  // Waits up to `timeoutMs` until everything queued so far is written.
  bool Flush(int64_t timeoutMs);

  [[nodiscard]] uint64_t Written() const;
  [[nodiscard]] uint64_t Failed() const;
  [[nodiscard]] uint64_t Dropped() const;

 private:
  void Loop();

  Ledger& ledger_;
  ErrorSink errors_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  uint64_t written_ = 0;
  uint64_t failed_ = 0;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

}  // namespace qelvar::ledger
