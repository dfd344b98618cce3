// The four firmware image buffers of a run. Each load makes a new immutable
// snapshot, so loading for the next start never changes the bytes that a
// running worker downloads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "settings/mp_settings.h"
#include "settings/settings_view.h"

namespace qelvar::settings {

inline constexpr uint32_t kBurnerImageCapacity = 0x60000;   // 384 KiB
inline constexpr uint32_t kRdtParamImageCapacity = 0x1000;  // 4 KiB
inline constexpr uint32_t kSysFwImageCapacity = 0xC0000;    // 768 KiB
inline constexpr uint32_t kSpiImageCapacity = 0x20000;      // 128 KiB

// Zero beyond each file's bytes. The burner image has no length: it is always
// downloaded over its full capacity.
struct Images {
  std::array<uint8_t, kBurnerImageCapacity> gBurnerImage{};
  std::array<uint8_t, kRdtParamImageCapacity> gRdtParamImage{};
  std::array<uint8_t, kSysFwImageCapacity> gSysFwImage{};
  std::array<uint8_t, kSpiImageCapacity> gSpiImage{};
  uint32_t RdtParamLength = 0;
  uint32_t SysFwLength = 0;
  uint32_t SpiLength = 0;
};

enum class ImageRead : uint8_t {
  kRead = 0,        // the whole file is in the buffer
  kCannotOpen = 1,  // missing, not a regular file, or not readable
  kTooLarge = 2,    // longer than the buffer: nothing loaded
  kReadError = 3,   // the read failed part way: nothing loaded
};

// Reads a whole file into the front of `buffer` and sets `length` to its size.
// Never writes beyond the buffer, and never leaves a part of a file in it: on
// any result but kRead, `length` is 0 and the bytes written are zeroed again.
// `fileSize`, when given, receives the file's size (for kTooLarge).
[[nodiscard]] ImageRead ReadImageFile(const std::string& path, std::span<uint8_t> buffer,
                                      uint32_t& length, uint64_t* fileSize = nullptr);

// A present image file that was not loaded.
struct RefusedImage {
  std::string path;
  uint64_t size = 0;
  uint32_t capacity = 0;
  ImageRead reason = ImageRead::kTooLarge;
};

struct LoadedImages {
  std::shared_ptr<const Images> images;  // never null
  std::vector<RefusedImage> refused;
  // A run must not start with a refused image: a cut firmware written to a
  // drive is a corrupted drive.
  [[nodiscard]] bool runMayStart() const { return refused.empty(); }
};

// Loads BurnerPath, RdtParamPath, SysFwPath and SpiPath, in this order. A file
// that cannot be opened leaves its buffer zeroed and its length 0 without a
// word; a file too large for its buffer, or one that fails to read, is
// refused with a warning naming it.
[[nodiscard]] LoadedImages LoadImages(const MpSettings& settings, MessageSink& messages);

}  // namespace qelvar::settings
