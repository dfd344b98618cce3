// The drive's identity inside the system firmware image: the system parameter
// block with its IDENTIFY page, bin and capacity code, and the checksums the
// drive's firmware verifies before it accepts the image.
#pragma once

#include <cstdint>
#include <span>

#include "settings/mp_settings.h"

namespace qelvar::engine {

inline constexpr size_t kImageHeaderBytes = 64;
inline constexpr size_t kImageChecksumOffset = 40;
inline constexpr size_t kDirectoryEntryBytes = 32;
inline constexpr size_t kSectionBase = 96;
inline constexpr size_t kParameterBlockBytes = 856;

enum class ParameterBlockResult : uint8_t {
  kBuilt = 0,
  kImageTooShort,      // the length does not cover the 64-byte header
  kLengthPastBuffer,   // the length claims more bytes than the buffer holds
  kBlockOutsideImage,  // the 856-byte block does not lie wholly within the length
};

// Fills the parameter block of the worker's own image copy and recomputes the
// block and image checksums. `imageLength` is the loaded image's length; the
// checksum covers exactly that many bytes. The serial number (20 characters
// and a terminator) and the firmware version (8 and a terminator) are padded
// with blanks in place, since the worker shows them afterwards.
//
// A refused image (any result but kBuilt) is left untouched, and so are the
// two texts: the caller fails the port rather than send a drive an image
// whose identity was never written.
[[nodiscard]] ParameterBlockResult BuildSystemParameterBlock(
    std::span<uint8_t> image, uint32_t imageLength, const settings::MpSettings& settings,
    std::span<char, 21> serialNumber, uint8_t bin, std::span<char, 9> fwVersion);

}  // namespace qelvar::engine
