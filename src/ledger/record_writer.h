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
  // For a program that must end now: stores every record still queued, and
  // the one being written, where it stays without waiting on a server (the
  // ledger's Keep), and writes nothing more. Runs on the calling thread; the
  // number of records kept, failures told to the error sink. A Flush then
  // waits only for the write under way to give up.
  size_t KeepAll();

  [[nodiscard]] uint64_t Written() const;
  [[nodiscard]] uint64_t Failed() const;
  [[nodiscard]] uint64_t Dropped() const;

 private:
  struct Task {
    Job job;  // empty: a push of the spool
  };
  void Loop();
  void Write(Task& task);

  Ledger& ledger_;
  ErrorSink errors_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> queue_;
  std::optional<Record> writing_;  // the record the writer's thread is storing
  bool busy_ = false;
  bool stopping_ = false;
  bool kept_ = false;  // KeepAll ran: nothing more is written
  int keeping_ = 0;    // KeepAll calls still keeping what they took
  uint64_t written_ = 0;
  uint64_t failed_ = 0;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

}  // namespace qelvar::ledger
