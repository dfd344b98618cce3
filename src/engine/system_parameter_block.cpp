#include "engine/system_parameter_block.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/image_crc.h"
#include "engine/le_bytes.h"

namespace qelvar::engine {
namespace {

constexpr size_t kDirectoryCountOffset = 24;
constexpr size_t kSectionOffsetInEntry = 24;
constexpr std::string_view kBlockTag = "FE_HDR";

// Offsets within the block.
constexpr size_t kBlockChecksum = 16;
constexpr size_t kFlags = 24;
constexpr size_t kIdentifyPage = 76;
constexpr size_t kIdentifyBytes = 512;
constexpr size_t kTem54 = 668;
constexpr size_t kBin = 669;
constexpr size_t kCapacityCode = 670;

constexpr uint8_t kFlagAlways = 0x01;
constexpr uint8_t kFlagUserVersion = 0x04;

// IDENTIFY page words.
constexpr size_t kSerialWord = 10, kSerialChars = 20;
constexpr size_t kFirmwareWord = 23, kFirmwareChars = 8;
constexpr size_t kModelWord = 27, kModelChars = 40;
constexpr size_t kSataCapabilitiesWord = 76;
constexpr size_t kSataFeaturesWord = 78;
constexpr size_t kIntegrityWord = 255;

// Pads the text in `field` (up to its first zero) with blanks to `chars`
// characters and terminates it there.
void PadInPlace(std::span<char> field, size_t chars) {
  size_t len = 0;
  while (len < chars && field[len] != '\0') ++len;
  std::fill(field.begin() + static_cast<std::ptrdiff_t>(len),
            field.begin() + static_cast<std::ptrdiff_t>(chars), ' ');
  field[chars] = '\0';
}

// ATA strings hold the first character of each pair in the word's high byte,
// so every two characters are stored swapped.
void StoreAtaString(std::span<uint8_t> page, size_t word, const char* text, size_t chars) {
  uint8_t* out = page.data() + 2 * word;
  for (size_t i = 0; i < chars; i += 2) {
    out[i] = static_cast<uint8_t>(text[i + 1]);
    out[i + 1] = static_cast<uint8_t>(text[i]);
  }
}

// Offset of the block from the first "FE_HDR" directory entry, 0 when there is
// none. Only entries lying wholly inside the image are searched, whatever
// count the header claims.
uint64_t SectionOffset(std::span<const uint8_t> image) {
  const uint32_t claimed = LoadLe32(image, kDirectoryCountOffset);
  const uint64_t fits = (image.size() - kImageHeaderBytes) / kDirectoryEntryBytes;
  const uint64_t entries = std::min<uint64_t>(claimed, fits);
  for (uint64_t i = 0; i < entries; ++i) {
    const size_t entry = kImageHeaderBytes + static_cast<size_t>(i) * kDirectoryEntryBytes;
    if (std::memcmp(image.data() + entry, kBlockTag.data(), kBlockTag.size()) == 0) {
      return LoadLe32(image, entry + kSectionOffsetInEntry);
    }
  }
  return 0;
}

}  // namespace

ParameterBlockResult BuildSystemParameterBlock(std::span<uint8_t> image, uint32_t imageLength,
                                               const settings::MpSettings& settings,
                                               std::span<char, 21> serialNumber, uint8_t bin,
                                               std::span<char, 9> fwVersion) {
  if (imageLength > image.size()) return ParameterBlockResult::kLengthPastBuffer;
  if (imageLength < kImageHeaderBytes) return ParameterBlockResult::kImageTooShort;
  image = image.first(imageLength);

  const uint64_t blockStart = kSectionBase + SectionOffset(image);
  if (blockStart + kParameterBlockBytes > image.size()) {
    return ParameterBlockResult::kBlockOutsideImage;
  }
  std::span<uint8_t> block = image.subspan(static_cast<size_t>(blockStart), kParameterBlockBytes);
  std::span<uint8_t> page = block.subspan(kIdentifyPage, kIdentifyBytes);

  // Only bits 0 and 2 are ours; the firmware owns the rest of the flags.
  block[kFlags] |= kFlagAlways;
  if (settings.FWVersionUserDefine != 0) block[kFlags] |= kFlagUserVersion;

  char model[kModelChars + 1] = {};
  std::memcpy(model, settings.ModelName, std::min(sizeof settings.ModelName, kModelChars));
  PadInPlace(model, kModelChars);
  StoreAtaString(page, kModelWord, model, kModelChars);

  PadInPlace(serialNumber, kSerialChars);
  StoreAtaString(page, kSerialWord, serialNumber.data(), kSerialChars);
  PadInPlace(fwVersion, kFirmwareChars);
  StoreAtaString(page, kFirmwareWord, fwVersion.data(), kFirmwareChars);

  block[kTem54] = settings.Tem54;
  block[kBin] = bin;
  StoreLe16(block, kCapacityCode, settings.SetCapacity);

  // Each word is set to exactly this value; the image's other bits in it go.
  if (settings.BDIPM != 0) StoreLe16(page, 2 * kSataCapabilitiesWord, 0x0200);
  if (settings.BHIPM != 0) StoreLe16(page, 2 * kSataFeaturesWord, 0x0008);

  // The plain byte sum over bytes 0-510, not the ATA two's complement.
  uint8_t sum = 0;
  for (size_t i = 0; i < kIdentifyBytes - 1; ++i) sum = static_cast<uint8_t>(sum + page[i]);
  page[2 * kIntegrityWord] = 0xA5;
  page[2 * kIntegrityWord + 1] = sum;

  StoreLe32(block, kBlockChecksum, 0xFFFFFFFFu);
  StoreLe32(block, kBlockChecksum, ImageCrc(block));

  StoreLe32(image, kImageChecksumOffset, 0xFFFFFFFFu);
  StoreLe32(image, kImageChecksumOffset, ImageCrc(image));
  return ParameterBlockResult::kBuilt;
}

}  // namespace qelvar::engine
