#include "platform/linux/mbr_sector.h"

#include <algorithm>

namespace qelvar::platform::linux_backend {
namespace {

constexpr size_t kSignatureOffset = 440;
constexpr size_t kEntriesOffset = 446;
constexpr size_t kEntryBytes = 16;
constexpr uint64_t kMaxCylinder = 1023;

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void ChsFromLba(uint64_t lba, uint8_t chs[3]) {
  uint64_t perCylinder = uint64_t{kTracksPerCylinder} * kSectorsPerTrack;
  uint64_t cylinder = lba / perCylinder;
  if (cylinder > kMaxCylinder) {
    chs[0] = 0xFE;
    chs[1] = 0xFF;
    chs[2] = 0xFF;
    return;
  }
  uint64_t head = lba % perCylinder / kSectorsPerTrack;
  uint64_t sector = lba % kSectorsPerTrack + 1;
  chs[0] = static_cast<uint8_t>(head);
  chs[1] = static_cast<uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  chs[2] = static_cast<uint8_t>(cylinder & 0xFF);
}

bool EncodeMbrSector(const DriveLayout& layout, uint32_t bytesPerSector,
                     std::span<uint8_t, kMbrSectorBytes> out) {
  if (bytesPerSector == 0) return false;
  struct Lba {
    uint32_t start = 0, count = 0;
  };
  std::array<Lba, kMbrEntries> lba{};
  for (size_t i = 0; i < kMbrEntries; ++i) {
    const PartitionEntry& e = layout.entries[i];
    if (e.type == 0) continue;
    if (e.startOffset % bytesPerSector != 0 || e.length % bytesPerSector != 0) return false;
    uint64_t start = e.startOffset / bytesPerSector, count = e.length / bytesPerSector;
    if (count == 0 || start > UINT32_MAX || count > UINT32_MAX) return false;
    lba[i] = {static_cast<uint32_t>(start), static_cast<uint32_t>(count)};
  }

  std::fill(out.begin(), out.end(), uint8_t{0});
  PutLe32(&out[kSignatureOffset], layout.signature);
  for (size_t i = 0; i < kMbrEntries; ++i) {
    const PartitionEntry& e = layout.entries[i];
    if (e.type == 0) continue;
    uint8_t* p = &out[kEntriesOffset + i * kEntryBytes];
    p[0] = e.bootable ? 0x80 : 0x00;
    ChsFromLba(lba[i].start, p + 1);
    p[4] = e.type;
    ChsFromLba(uint64_t{lba[i].start} + lba[i].count - 1, p + 5);
    PutLe32(p + 8, lba[i].start);
    PutLe32(p + 12, lba[i].count);
  }
  out[510] = 0x55;
  out[511] = 0xAA;
  return true;
}

}  // namespace qelvar::platform::linux_backend
