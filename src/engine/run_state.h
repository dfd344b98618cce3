// What the workers and the MP page share about the ports while a run goes on:
// each port's NAND report record and RDT pass flag, the flash the last worker
// recognised, and the pass and fail totals.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "discovery/ports.h"

namespace qelvar::engine {

inline constexpr int kChannels = 2;
inline constexpr int kCesPerChannel = 4;
inline constexpr int kFlashIdEntries = 8;
inline constexpr int kFlashIdBytes = 12;

// Counts per [channel][CE]; element [ch][ce] is the (ch * 4 + ce)-th integer.
using CeCounts = std::array<std::array<int32_t, kCesPerChannel>, kChannels>;

// One port's NAND geometry, flash IDs and per-CE counts. The first 100 bytes
// are the drive's NAND information answer as it sends it.
struct NandReport {
  uint8_t chCount = 0;
  uint8_t ceCount = 0;
  uint8_t lunCount = 0;
  uint8_t planeCount = 0;
  // Channel-major: entry ch * 4 + ce. A first byte of 0 marks an absent CE.
  std::array<std::array<uint8_t, kFlashIdBytes>, kFlashIdEntries> flashId{};
  CeCounts fctBad{};
  CeCounts dftBad{};
  CeCounts rdtFail{};
  CeCounts ceBin{};  // 255 marks a bad CE
  CeCounts ceMr{};
};
static_assert(offsetof(NandReport, flashId) == 4);
static_assert(offsetof(NandReport, fctBad) == 100);
static_assert(sizeof(NandReport) == 260);

// A port's NandReport as both threads see it: its worker fills it while the
// RDT info dialog may read it at any moment, so every access copies under the
// port's own lock and nobody ever holds a reference into the record.
class SharedNandReport {
 public:
  [[nodiscard]] NandReport Read() const {
    std::lock_guard lock(mutex_);
    return report_;
  }
  void Write(const NandReport& report) {
    std::lock_guard lock(mutex_);
    report_ = report;
  }
  // Runs `change` on the record under the lock; keep it short (no I/O).
  template <typename Change>
  void Update(Change&& change) {
    std::lock_guard lock(mutex_);
    change(report_);
  }

 private:
  mutable std::mutex mutex_;
  NandReport report_{};
};

// The engine's per-station run state. One object per station, passed by
// reference; tests build a fresh one per case.
struct RunState {
  std::array<SharedNandReport, discovery::kPortCount> gNandReport;
  // 1 when the port's drive reported RDT PASS in this run.
  std::array<std::atomic<uint8_t>, discovery::kPortCount> gRdtPass{};
  // Index into the built-in flash ID table of the last match by any worker;
  // the last writer wins.
  std::atomic<uint8_t> gDetectedFlashIndex{0};
  // Totals over every run since the program started; workers finishing at
  // the same moment must both count.
  std::atomic<int32_t> passCount{0};
  std::atomic<int32_t> failCount{0};

  // What a worker does to its own port when it starts.
  void ClearPort(int port) {
    if (port < 0 || port >= discovery::kPortCount) return;
    gNandReport[static_cast<size_t>(port)].Write(NandReport{});
    gRdtPass[static_cast<size_t>(port)].store(0);
  }
};

// Completion of a worker, delivered to the MP page. Posted: the call returns
// at once and never waits for the page to handle it.
class RunEvents {
 public:
  virtual ~RunEvents() = default;
  virtual void PostWorkerDone() = 0;
};

}  // namespace qelvar::engine
