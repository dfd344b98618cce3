#include "platform/sim/sim_bridge.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qelvar::platform::sim {
namespace {

constexpr uint8_t kRecovered = 0x01, kIllegalRequest = 0x05, kAborted = 0x0B;
constexpr uint8_t kInvalidOpcode = 0x20, kInvalidField = 0x24;
constexpr uint8_t kPassThroughInfo = 0x1D;  // ASCQ of ATA PASS-THROUGH INFORMATION AVAILABLE
constexpr uint32_t kMaxStatedTransfer = 16u << 20;

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool IsPassThrough(std::span<const uint8_t> cdb) {
  return (cdb.size() == 12 && cdb[0] == kSatOpcode12) ||
         (cdb.size() == 16 && cdb[0] == kSatOpcode16);
}

std::vector<uint8_t> Plain(const BridgeBehaviour& bridge, uint8_t key, uint8_t asc, uint8_t ascq) {
  if (bridge.kind == BridgeKind::FixedSense) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 0x0A;
    s[12] = asc;
    s[13] = ascq;
    return s;
  }
  return {0x72, key, asc, ascq, 0x00, 0x00, 0x00, 0x00};
}

// The registers as the drive returned them: the command's own fields, with
// the error and status registers the drive set.
struct Registers {
  bool extend = false;
  uint8_t countHigh = 0, count = 0;
  uint8_t lba[6] = {};  // 7:0, 15:8, 23:16, 31:24, 39:32, 47:40
  uint8_t device = 0;
};

Registers RegistersOf(std::span<const uint8_t> cdb) {
  Registers r;
  if (cdb.size() == 12) {
    r.count = cdb[4];
    r.lba[0] = cdb[5];
    r.lba[1] = cdb[6];
    r.lba[2] = cdb[7];
    r.device = cdb[8];
  } else {
    r.extend = (cdb[1] & 0x01) != 0;
    r.countHigh = cdb[5];
    r.count = cdb[6];
    r.lba[3] = cdb[7];
    r.lba[0] = cdb[8];
    r.lba[4] = cdb[9];
    r.lba[1] = cdb[10];
    r.lba[5] = cdb[11];
    r.lba[2] = cdb[12];
    r.device = cdb[13];
  }
  return r;
}

}  // namespace

bool ParseBridge(std::string_view name, BridgeBehaviour* out) {
  std::string n = Lower(name);
  static constexpr std::pair<std::string_view, BridgeKind> kNames[] = {
      {"sat", BridgeKind::Sat},
      {"sat16-only", BridgeKind::Sat16Only},
      {"sat12-only", BridgeKind::Sat12Only},
      {"no-ck-cond-sense", BridgeKind::NoCkCondSense},
      {"fixed-sense", BridgeKind::FixedSense},
      {"no-pass-through", BridgeKind::NoPassThrough},
  };
  for (const auto& [text, kind] : kNames) {
    if (n == text) {
      *out = BridgeBehaviour{kind, 0};
      return true;
    }
  }
  constexpr std::string_view kMax = "max-transfer=";
  if (n.starts_with(kMax)) {
    std::string_view digits = std::string_view(n).substr(kMax.size());
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || v < 512 ||
        v > kMaxStatedTransfer || v % 512 != 0) {
      return false;
    }
    *out = BridgeBehaviour{BridgeKind::MaxTransfer, v};
    return true;
  }
  return false;
}

std::string BridgeName(const BridgeBehaviour& bridge) {
  switch (bridge.kind) {
    case BridgeKind::Sat:
      return "sat";
    case BridgeKind::Sat16Only:
      return "sat16-only";
    case BridgeKind::Sat12Only:
      return "sat12-only";
    case BridgeKind::NoCkCondSense:
      return "no-ck-cond-sense";
    case BridgeKind::FixedSense:
      return "fixed-sense";
    case BridgeKind::MaxTransfer:
      return "max-transfer=" + std::to_string(bridge.maxTransfer);
    case BridgeKind::NoPassThrough:
      return "no-pass-through";
  }
  return "sat";
}

std::vector<uint8_t> BridgeRefusal(const BridgeBehaviour& bridge, std::span<const uint8_t> cdb,
                                   uint32_t length) {
  if (cdb.empty()) return {};
  const uint8_t opcode = cdb[0];
  const bool refusedOpcode =
      (opcode == kSatOpcode12 &&
       (bridge.kind == BridgeKind::Sat16Only || bridge.kind == BridgeKind::NoPassThrough)) ||
      (opcode == kSatOpcode16 &&
       (bridge.kind == BridgeKind::Sat12Only || bridge.kind == BridgeKind::NoPassThrough));
  if (refusedOpcode) return Plain(bridge, kIllegalRequest, kInvalidOpcode, 0x00);
  if (bridge.kind == BridgeKind::MaxTransfer && length > bridge.maxTransfer) {
    return Plain(bridge, kIllegalRequest, kInvalidField, 0x00);
  }
  return {};
}

std::vector<uint8_t> BridgeAnswerSense(const BridgeBehaviour& bridge, std::span<const uint8_t> cdb,
                                       bool refused, uint8_t error, uint8_t status) {
  if (!IsPassThrough(cdb)) return {};
  const bool ckCond = (cdb[2] & kCkCondBit) != 0;
  if (!refused && !ckCond) return {};
  if (bridge.kind == BridgeKind::NoCkCondSense) {
    // The bridge never hands the registers back: a success is plain GOOD,
    // a refusal says only that the command was aborted.
    if (!refused) return {};
    return Plain(bridge, kAborted, 0x00, 0x00);
  }
  const uint8_t key = refused ? kAborted : kRecovered;
  const Registers r = RegistersOf(cdb);
  if (bridge.kind == BridgeKind::FixedSense) {
    // Fixed format: INFORMATION carries error, status, device and count
    // (7:0); COMMAND-SPECIFIC INFORMATION the flags and LBA (23:0).
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[3] = error;
    s[4] = status;
    s[5] = r.device;
    s[6] = r.count;
    s[7] = 0x0A;
    const bool upperLba = r.lba[3] != 0 || r.lba[4] != 0 || r.lba[5] != 0;
    s[8] = static_cast<uint8_t>((r.extend ? 0x80 : 0) | (upperLba ? 0x40 : 0) |
                                (r.countHigh != 0 ? 0x20 : 0));
    s[9] = r.lba[0];
    s[10] = r.lba[1];
    s[11] = r.lba[2];
    s[12] = 0x00;
    s[13] = kPassThroughInfo;
    return s;
  }
  return {0x72,
          key,
          0x00,
          kPassThroughInfo,
          0x00,
          0x00,
          0x00,
          0x0E,
          0x09,
          0x0C,
          static_cast<uint8_t>(r.extend ? 1 : 0),
          error,
          r.countHigh,
          r.count,
          r.lba[3],
          r.lba[0],
          r.lba[4],
          r.lba[1],
          r.lba[5],
          r.lba[2],
          r.device,
          status};
}

bool BridgeVpdPage(const BridgeBehaviour& bridge, uint8_t page, std::vector<uint8_t>* out) {
  const bool statesLimit = bridge.kind == BridgeKind::MaxTransfer;
  if (page == 0x00) {
    *out = {0x00, 0x00, 0x00, 0x01, 0x00};
    if (statesLimit) {
      (*out)[3] = 0x02;
      out->push_back(0xB0);
    }
    return true;
  }
  if (page == 0xB0 && statesLimit) {
    // Block Limits: MAXIMUM TRANSFER LENGTH in 512-byte blocks, bytes 8-11.
    std::vector<uint8_t> p(64, 0);
    p[1] = 0xB0;
    p[3] = 0x3C;
    const uint32_t blocks = bridge.maxTransfer / 512;
    p[8] = static_cast<uint8_t>(blocks >> 24);
    p[9] = static_cast<uint8_t>(blocks >> 16);
    p[10] = static_cast<uint8_t>(blocks >> 8);
    p[11] = static_cast<uint8_t>(blocks);
    *out = std::move(p);
    return true;
  }
  return false;
}

}  // namespace qelvar::platform::sim
