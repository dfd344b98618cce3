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
    if (queue_.size() >= kQueueCapacity) {
      ++dropped_;
      return false;
    }
    queue_.push_back([this, job = std::move(job)] {
      std::optional<Record> record = job();
      if (!record) return;
      std::string error;
      const bool ok = ledger_.Append(*record, &error);
      {
        std::lock_guard counted(mutex_);
        ++(ok ? written_ : failed_);
      }
      if (!ok && errors_)
        errors_("the record of port " + std::to_string(record->port) +
                " could not be stored: " + error);
    });
  }
  wake_.notify_one();
  return true;
}

void RecordWriter::SubmitSync() {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back([this] {
      size_t pushed = 0;
      std::string error;
      if (!ledger_.Sync(&pushed, &error) && errors_) {
        errors_("spooled records wait for the shared ledger: " + error);
      }
    });
  }
  wake_.notify_one();
}

bool RecordWriter::Flush(int64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return queue_.empty() && !busy_; });
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
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    task();
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

}  // namespace qelvar::ledger
