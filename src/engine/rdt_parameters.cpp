#include "engine/rdt_parameters.h"

#include <algorithm>
#include <array>

#include "engine/image_crc.h"
#include "engine/le_bytes.h"

namespace qelvar::engine {
namespace {

constexpr size_t kChecksumOffset = 40;
constexpr size_t kParamsOffset = 96;

}  // namespace

void UpdateRdtParameters(std::span<uint8_t> image, const settings::MpSettings& settings,
                         uint32_t length) {
  const std::array<uint16_t, 10> values = {
      settings.ErrBitSlc,   settings.PeCycSlc,       settings.ErrBitTlc, settings.PeCycTlc,
      settings.MaxRunHours, settings.MaxLaterBadLun, settings.StartWeru, settings.EndWeru,
      settings.Resv1,       settings.Resv2};
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t at = kParamsOffset + 2 * i;
    if (at + 2 <= image.size()) StoreLe16(image, at, values[i]);
  }
  if (kChecksumOffset + 4 > image.size()) return;
  StoreLe32(image, kChecksumOffset, 0xFFFFFFFFu);
  const size_t covered = std::min<size_t>(length, image.size());
  StoreLe32(image, kChecksumOffset, ImageCrc(image.first(covered)));
}

}  // namespace qelvar::engine
