// The port list: 16 rows (row n = port n) of nine text columns. Everything the
// engine shows about a port is a cell of this list. The engine writes cells
// through a PortListSink; the window and the command-line program each supply
// one. A write into column 7 or 8 while those columns are absent is dropped.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace qelvar::discovery {

inline constexpr int kPortRows = 16;
inline constexpr int kPortColumns = 9;

enum PortColumn : uint8_t {
  kColPort = 0,
  kColStatus = 1,
  kColModel = 2,
  kColCapacity = 3,
  kColSerial = 4,
  kColFwVersion = 5,
  kColProgress = 6,
  kColRdtResult = 7,
  kColBin = 8,
};

inline constexpr std::array<std::string_view, kPortColumns> kPortColumnHeaders = {
    "Port", "Status", "Model", "Capacity(MB)", "Serial Number", "FW Version",
    "Progress", "RDT Result", "Bin"};

class PortListSink {
 public:
  virtual ~PortListSink() = default;
  // Writes one cell. May be called from a worker thread; returns once the
  // write has been done.
  virtual void SetCell(int row, int column, std::string_view text) = 0;
  // Empties the list and recreates the 16 rows, "1" to "16" in column 0.
  virtual void InitPortRows() = 0;
  // Inserts (true) or removes (false) columns 7 and 8.
  virtual void SetRdtColumns(bool present) = 0;
};

// The list's texts, safe to write from any thread and read from another.
class PortListModel final : public PortListSink {
 public:
  PortListModel() { InitPortRows(); }

  void SetCell(int row, int column, std::string_view text) override {
    if (row < 0 || row >= kPortRows || column < 0 || column >= kPortColumns) return;
    std::lock_guard lock(mutex_);
    if (column >= kColRdtResult && !rdtColumns_) return;
    cells_[static_cast<size_t>(row)][static_cast<size_t>(column)] = std::string(text);
  }
  void InitPortRows() override {
    std::lock_guard lock(mutex_);
    for (size_t r = 0; r < kPortRows; ++r) {
      for (auto& cell : cells_[r]) cell.clear();
      cells_[r][kColPort] = std::to_string(r + 1);
    }
  }
  void SetRdtColumns(bool present) override {
    std::lock_guard lock(mutex_);
    if (rdtColumns_ == present) return;
    rdtColumns_ = present;
    // A removed column takes its texts with it.
    for (auto& row : cells_) {
      row[kColRdtResult].clear();
      row[kColBin].clear();
    }
  }

  [[nodiscard]] std::string Cell(int row, int column) const {
    if (row < 0 || row >= kPortRows || column < 0 || column >= kPortColumns) return {};
    std::lock_guard lock(mutex_);
    return cells_[static_cast<size_t>(row)][static_cast<size_t>(column)];
  }
  [[nodiscard]] bool RdtColumns() const {
    std::lock_guard lock(mutex_);
    return rdtColumns_;
  }

 private:
  mutable std::mutex mutex_;
  bool rdtColumns_ = true;
  std::array<std::array<std::string, kPortColumns>, kPortRows> cells_;
};

}  // namespace qelvar::discovery
