#include "app/debug_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/files.h"

namespace qelvar::app {
namespace {

// Lines written within this time share one replacement of the file.
constexpr std::chrono::milliseconds kFlushDelay{200};

std::string WallClockStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  const std::tm local = platform::LocalCalendar(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

}  // namespace

std::unique_ptr<DebugLogFile> DebugLogFile::Open(const std::string& path, std::string* error) {
  if (!platform::ReplaceFile(path, {})) {
    *error = "cannot write the debug log '" + path + "'";
    return nullptr;
  }
  return std::unique_ptr<DebugLogFile>(new DebugLogFile(path));
}

DebugLogFile::DebugLogFile(std::string path) : path_(std::move(path)) {
  flusher_ = std::thread([this] { FlushLoop(); });
}

DebugLogFile::~DebugLogFile() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  flusher_.join();
  (void)WritePending();
}

void DebugLogFile::Line(std::string_view source, std::string_view text) {
  std::string line = WallClockStamp() + " [" + std::string(source) + "] ";
  line += text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += '\n';
  {
    std::lock_guard lock(mutex_);
    text_ += line;
    if (text_.size() > kMaxBytes) {
      // Drop whole lines from the front, down to three quarters of the limit.
      size_t cut = text_.find('\n', text_.size() - kMaxBytes / 4 * 3);
      text_.erase(0, cut == std::string::npos ? text_.size() : cut + 1);
    }
    dirty_ = true;
  }
  wake_.notify_all();
}

std::string DebugLogFile::Text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

bool DebugLogFile::WritePending() {
  std::lock_guard write(writeMutex_);
  std::string copy;
  {
    std::lock_guard lock(mutex_);
    if (!dirty_) return true;
    dirty_ = false;
    copy = text_;
  }
  return platform::ReplaceFile(path_, copy);
}

void DebugLogFile::FlushLoop() {
  std::unique_lock lock(mutex_);
  bool reported = false;
  while (!stop_) {
    wake_.wait(lock, [&] { return stop_ || dirty_; });
    if (stop_) break;
    // Gather the lines of the next moment into the same write.
    wake_.wait_for(lock, kFlushDelay, [&] { return stop_; });
    lock.unlock();
    if (!WritePending() && !reported) {
      reported = true;
      std::fprintf(stderr, "qelvar: cannot write the debug log %s\n", path_.c_str());
    }
    lock.lock();
  }
}

}  // namespace qelvar::app
