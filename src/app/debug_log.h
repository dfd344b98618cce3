// The debug log (--debug-log FILE): the scan's trace lines and the format's
// lines, from whichever thread writes them, in one file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qelvar::app {

class DebugLogFile {
 public:
  // Creates the file (empty) at once, so a path that cannot be written is
  // found before any drive is touched. Null with *error set when it cannot.
  static std::unique_ptr<DebugLogFile> Open(const std::string& path, std::string* error);
  // Writes what is still pending.
  ~DebugLogFile();
  DebugLogFile(const DebugLogFile&) = delete;
  DebugLogFile& operator=(const DebugLogFile&) = delete;

  // One line, tagged with its source ("scan", "format") and the wall-clock
  // time. Any thread. The file is replaced in one piece a moment later, so
  // after a crash it holds every line but the last moment's.
  void Line(std::string_view source, std::string_view text);

  // The file's text so far (tests).
  [[nodiscard]] std::string Text() const;

  // The log keeps its newest lines within this size; older ones are dropped.
  static constexpr size_t kMaxBytes = size_t{8} << 20;

 private:
  explicit DebugLogFile(std::string path);
  void FlushLoop();
  bool WritePending();

  const std::string path_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string text_;
  bool dirty_ = false;
  bool stop_ = false;
  std::mutex writeMutex_;  // one replacement of the file at a time
  std::thread flusher_;
};

}  // namespace qelvar::app
