// A disk in memory for the bridge's tests.
#pragma once

#include <cstring>
#include <vector>

#include "tools/simbridge/scsi_target.h"

namespace qelvar::simbridge {

class MemoryStore final : public BlockStore {
 public:
  explicit MemoryStore(size_t bytes) : bytes_(bytes, 0) {}
  bool Read(uint64_t offset, std::span<uint8_t> out) override {
    if (offset + out.size() > bytes_.size()) return false;
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
  }
  bool Write(uint64_t offset, std::span<const uint8_t> in) override {
    if (offset + in.size() > bytes_.size()) return false;
    std::memcpy(bytes_.data() + offset, in.data(), in.size());
    return true;
  }
  bool Flush() override {
    ++flushes;
    return true;
  }
  std::vector<uint8_t>& bytes() { return bytes_; }
  int flushes = 0;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace qelvar::simbridge
