// SHA-256, for naming long data-out payloads in the trace without writing
// them out.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace qelvar::platform::sim {

[[nodiscard]] std::array<uint8_t, 32> Sha256(std::span<const uint8_t> data);
[[nodiscard]] std::string HexLower(std::span<const uint8_t> data);

}  // namespace qelvar::platform::sim
