// SHA-256 of the images a drive was sent, so a record names exactly the bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qelvar::ledger {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> bytes);
  [[nodiscard]] std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal digest of `bytes`.
[[nodiscard]] std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace qelvar::ledger
