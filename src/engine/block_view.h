// A block the drive answered, read as the zero-filled buffer of its nominal
// size that the host reads it into: bytes the answer did not reach, and
// anything past the nominal size, read as zero. Decoders never index outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qelvar::engine {

class BlockView {
 public:
  BlockView(std::span<const uint8_t> bytes, size_t nominalSize)
      : bytes_(bytes.first(bytes.size() < nominalSize ? bytes.size() : nominalSize)),
        size_(nominalSize) {}

  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] uint8_t At(size_t i) const { return i < bytes_.size() ? bytes_[i] : 0; }
  [[nodiscard]] uint32_t Le32(size_t at) const {
    return static_cast<uint32_t>(At(at)) | static_cast<uint32_t>(At(at + 1)) << 8 |
           static_cast<uint32_t>(At(at + 2)) << 16 | static_cast<uint32_t>(At(at + 3)) << 24;
  }
  // True when `text` occurs within the first `limit` bytes before the first
  // zero byte, as a C string search of that region would find it.
  [[nodiscard]] bool TextBeforeFirstZero(std::string_view text, size_t limit) const {
    size_t end = 0;
    while (end < limit && end < bytes_.size() && bytes_[end] != 0) ++end;
    std::string_view region(reinterpret_cast<const char*>(bytes_.data()), end);
    return region.find(text) != std::string_view::npos;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t size_;
};

}  // namespace qelvar::engine
