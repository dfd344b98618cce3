// The trace of a simulated station: one JSON line per command a drive
// receives, written to a file (appended) and, for tests, kept in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_io.h"

namespace qelvar::platform::sim {

struct TraceLine {
  uint32_t tMs = 0;
  std::string drive;
  std::string path;
  bool ata = false;
  std::vector<uint8_t> cdb;  // SAT route
  TaskFile previous{};       // ATA route
  TaskFile current{};
  DataDirection dir = DataDirection::None;
  uint32_t len = 0;
  std::string data;    // hex of a data-out of at most 512 bytes
  std::string sha256;  // hex digest of a longer data-out
  bool accepted = false;

  [[nodiscard]] std::string Json() const;
};

class Tracer {
 public:
  Tracer() = default;
  ~Tracer();
  Tracer(const Tracer&) = delete;
  Tracer& operator=(const Tracer&) = delete;

  // Appends to `path` from now on; empty stops writing. False when the file
  // cannot be opened.
  bool SetFile(const std::string& path);
  // Keep lines in memory (off by default; a long session would grow without end).
  void Capture(bool on);
  void Record(const TraceLine& line);
  [[nodiscard]] std::vector<TraceLine> Lines() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool capture_ = false;
  std::vector<TraceLine> lines_;
};

}  // namespace qelvar::platform::sim
