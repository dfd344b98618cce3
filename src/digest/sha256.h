// SHA-256: the digests of the images a drive was sent and of the settings
// file (the ledger's records), and of the longer data a simulated drive
// received (its trace).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qelvar::digest {

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

// The digest of `bytes`.
[[nodiscard]] std::array<uint8_t, 32> Sha256Of(std::span<const uint8_t> bytes);
// The digest of `bytes` in lower-case hexadecimal.
[[nodiscard]] std::string Sha256Hex(std::span<const uint8_t> bytes);
// Any bytes in lower-case hexadecimal, two digits a byte.
[[nodiscard]] std::string HexLower(std::span<const uint8_t> bytes);

}  // namespace qelvar::digest
