#include "ledger/record_writer.h"

#include <chrono>

namespace qelvar::ledger {

RecordWriter::RecordWriter(Ledger& ledger, ErrorSink errors)
    : ledger_(ledger), errors_(std::move(errors)), thread_([this] { Loop(); }) {}

RecordWriter::~RecordWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool RecordWriter::Submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kQueueCapacity || kept_) {
      ++dropped_;
      return false;
    }
    queue_.push_back({std::move(job)});
  }
  wake_.notify_one();
  return true;
}

void RecordWriter::SubmitSync() {
  {
    std::lock_guard lock(mutex_);
    if (kept_) return;
    queue_.push_back({});
  }
  wake_.notify_one();
}

void RecordWriter::Write(Task& task) {
  if (!task.job) {
    size_t pushed = 0;
    std::string error;
    if (!ledger_.Sync(&pushed, &error) && errors_) {
      errors_("spooled records wait for the shared ledger: " + error);
    }
    return;
  }
  std::optional<Record> record = task.job();
  if (!record) return;
  bool keep = false;
  {
    std::lock_guard lock(mutex_);
    keep = kept_;  // KeepAll ran while the record was being made
    if (!keep) writing_ = *record;
  }
  std::string error;
  const bool ok = keep ? ledger_.Keep(*record, &error) : ledger_.Append(*record, &error);
  {
    std::lock_guard counted(mutex_);
    if (!keep && !writing_) return;  // KeepAll took it and counted it
    writing_.reset();
    ++(ok ? written_ : failed_);
  }
  if (!ok && errors_) {
    errors_("the record of port " + std::to_string(record->port) +
            " could not be stored: " + error);
  }
}

size_t RecordWriter::KeepAll() {
  ledger_.GiveUp();  // the record being written gives up on the server
  std::deque<Task> queued;
  std::optional<Record> writing;
  {
    std::lock_guard lock(mutex_);
    kept_ = true;
    // A Flush meanwhile waits until these are kept: the queue is empty, but
    // they are not stored yet.
    ++keeping_;
    queued.swap(queue_);
    writing = std::move(writing_);
    writing_.reset();
  }
  std::vector<Record> records;
  if (writing) records.push_back(std::move(*writing));
  for (Task& task : queued) {
    if (!task.job) continue;
    if (std::optional<Record> record = task.job()) records.push_back(std::move(*record));
  }
  size_t kept = 0;
  for (const Record& record : records) {
    std::string error;
    if (ledger_.Keep(record, &error)) {
      ++kept;
    } else if (errors_) {
      errors_("the record of port " + std::to_string(record.port) + " could not be kept: " + error);
    }
  }
  {
    std::lock_guard lock(mutex_);
    written_ += kept;
    failed_ += records.size() - kept;
    --keeping_;
  }
  idle_.notify_all();
  return kept;
}

bool RecordWriter::Flush(int64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return queue_.empty() && !busy_ && keeping_ == 0; });
}

uint64_t RecordWriter::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}
uint64_t RecordWriter::Failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}
uint64_t RecordWriter::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void RecordWriter::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      if (stopping_) return;
      continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    Write(task);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

}  // namespace qelvar::ledger
