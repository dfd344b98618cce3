// The RDT settings inside the RDT parameter image the drive runs its
// reliability test with.
#pragma once

#include <cstdint>
#include <span>

#include "settings/mp_settings.h"

namespace qelvar::engine {

// Stores the ten RDTParam values at offsets 96-115 of `image` and the image
// checksum over its first `length` bytes at offsets 40-43. `image` is the
// worker's own copy of the RDT parameter file, never a buffer another worker
// may be downloading. A length past the buffer is taken as the buffer's size;
// fields that do not fit a buffer shorter than the file format are skipped.
void UpdateRdtParameters(std::span<uint8_t> image, const settings::MpSettings& settings,
                         uint32_t length);

}  // namespace qelvar::engine
