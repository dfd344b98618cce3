#include "platform/sim/drive_answers.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace qelvar::platform::sim {
namespace {

// splitmix64: a fixed generator, so answers do not depend on the library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint64_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }

 private:
  uint64_t state_;
};

void PutLe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void PutAtaString(std::vector<uint8_t>& b, int firstWord, int words, std::string_view text) {
  for (int i = 0; i < 2 * words; ++i) {
    char c = static_cast<size_t>(i) < text.size() ? text[static_cast<size_t>(i)] : ' ';
    // The first character of each pair sits in bits 15:8 of its word.
    size_t at = static_cast<size_t>(2 * firstWord + (i ^ 1));
    b[at] = static_cast<uint8_t>(c);
  }
}

}  // namespace

std::vector<uint8_t> BuildIdentify(std::string_view model, std::string_view serial,
                                   std::string_view firmware, uint64_t sectors) {
  std::vector<uint8_t> b(kIdentifyBytes, 0);
  PutLe16(b, 0, 0x0040);  // fixed device
  PutAtaString(b, 10, 10, serial);
  PutAtaString(b, 23, 4, firmware);
  PutAtaString(b, 27, 20, model);
  PutLe16(b, 2 * 49, 0x0300);  // LBA and DMA supported
  uint32_t lba28 = static_cast<uint32_t>(std::min<uint64_t>(sectors, 0x0FFFFFFF));
  PutLe16(b, 2 * 60, static_cast<uint16_t>(lba28));
  PutLe16(b, 2 * 61, static_cast<uint16_t>(lba28 >> 16));
  PutLe16(b, 2 * 83, 0x4400);  // 48-bit address feature set
  PutLe16(b, 2 * 86, 0x0400);
  for (int w = 0; w < 4; ++w) {
    PutLe16(b, static_cast<size_t>(2 * (100 + w)), static_cast<uint16_t>(sectors >> (16 * w)));
  }
  b[510] = 0xA5;
  uint8_t sum = 0;
  for (size_t i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + b[i]);
  b[511] = static_cast<uint8_t>(-sum);
  return b;
}

std::vector<uint8_t> BuildVendorIdentify(uint32_t sectors, uint32_t badBlocks) {
  std::vector<uint8_t> b(512, 0);
  PutLe32(b, 68, sectors);
  PutLe32(b, 72, badBlocks);
  return b;
}

std::vector<int> PresentFlashEntries(const DriveConfig& drive) {
  // The CEs inside the drive's geometry come first, then the others, so a
  // CEPresent below or above channels x CEs still names definite entries.
  std::vector<int> order;
  for (int ch = 0; ch < 2; ++ch) {
    for (int ce = 0; ce < 4; ++ce) {
      if (ch < drive.channels && ce < drive.ces) order.push_back(ch * 4 + ce);
    }
  }
  for (int e = 0; e < 8; ++e) {
    if (std::find(order.begin(), order.end(), e) == order.end()) order.push_back(e);
  }
  order.resize(static_cast<size_t>(std::clamp(drive.cePresent, 0, 8)));
  std::sort(order.begin(), order.end());
  return order;
}

std::vector<uint8_t> BuildNandInfo(const DriveConfig& drive) {
  std::vector<uint8_t> b(512, 0);
  b[0] = drive.channels;
  b[1] = drive.ces;
  b[2] = drive.luns;
  b[3] = drive.planes;
  for (int e : PresentFlashEntries(drive)) {
    std::memcpy(b.data() + 4 + 12 * e, drive.flashId.data(), drive.flashId.size());
  }
  return b;
}

std::vector<uint8_t> BuildRdtLog(const DriveConfig& drive) {
  std::vector<uint8_t> b(kRdtLogBytes, 0);
  if (drive.rdt == DriveConfig::Rdt::None) return b;
  std::memcpy(b.data(), "RDT_DATA", 8);
  size_t h = drive.rdtHeaderOffset;
  PutLe32(b, h, 0x52445444);
  PutLe32(b, h + 4, drive.rdtVersion);
  PutLe32(b, h + 8, drive.rdtEntries);
  PutLe32(b, h + 12, drive.rdt == DriveConfig::Rdt::Pass ? 0x50415353u : drive.rdtFailLun);
  Random random(static_cast<uint64_t>(drive.seed) * 2 + 1);
  for (uint32_t j = 0; j < drive.rdtEntries; ++j) {
    uint32_t ch = random.Below(drive.channels);
    uint32_t ce = random.Below(std::min<int>(drive.ces, 4));
    uint32_t lun = random.Below(std::min<int>(drive.luns, 2));
    uint32_t block = random.Below(1u << 13);
    uint32_t page = random.Below(1u << 13);
    uint32_t failCode = random.Below(4);
    uint32_t word0 = ch | ce << 1 | lun << 3 | block << 4 | page << 17 | failCode << 30;
    PutLe32(b, h + 16 + 8 * j, word0);
    PutLe32(b, h + 20 + 8 * j, 1 + random.Below(200));
  }
  return b;
}

BadUnits GenerateBadUnits(const DriveConfig& drive) {
  BadUnits out;
  uint64_t bits = drive.bitmapBytes > 0 ? static_cast<uint64_t>(drive.bitmapBytes) * 8 : 0;
  uint64_t wanted = static_cast<uint64_t>(drive.factoryBad) + drive.runtimeBad;
  if (wanted > bits) return out;
  Random random(drive.seed);
  std::set<uint32_t> taken;
  auto draw = [&](uint32_t count, std::vector<uint32_t>* into) {
    while (into->size() < count) {
      uint32_t unit = random.Below(bits);
      if (taken.insert(unit).second) into->push_back(unit);
    }
    std::sort(into->begin(), into->end());
  };
  draw(drive.factoryBad, &out.factory);
  draw(drive.runtimeBad, &out.runtime);
  return out;
}

std::vector<uint8_t> BuildBadBlockTable(const DriveConfig& drive, bool factory) {
  std::vector<uint8_t> b(kTableBytes, 0);
  std::memcpy(b.data(), factory ? "FCT_DATA" : "DFT_DATA", 8);
  b[8] = '1';
  PutLe32(b, 92, static_cast<uint32_t>(drive.bitmapBytes));
  BadUnits units = GenerateBadUnits(drive);
  for (uint32_t unit : factory ? units.factory : units.runtime) {
    b[96 + unit / 8] = static_cast<uint8_t>(b[96 + unit / 8] | (1u << (unit % 8)));
  }
  return b;
}

}  // namespace qelvar::platform::sim
