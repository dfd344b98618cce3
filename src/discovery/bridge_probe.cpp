#include "discovery/bridge_probe.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "discovery/device_scan.h"

namespace qelvar::discovery {
namespace {

using platform::DataDirection;
using platform::ScsiResult;

constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kCheckCondition = 0x02;

// CHECK POWER MODE, non-data, with CK_COND: the bridge must hand the
// registers back even though the command succeeds.
constexpr uint8_t kCheckPower12[12] = {0xA1, 0x06, 0x20, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0xE0, 0xE5, 0x00, 0x00};
constexpr uint8_t kCheckPower16[16] = {0x85, 0x06, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE5, 0x00};

bool Answered(const ScsiResult& r) {
  return r.completed && r.errorCode == 0 && r.scsiStatus == 0;
}

// The sense key and additional sense code, in either format.
void KeyOf(const ScsiResult& r, uint8_t* key, uint8_t* asc) {
  *key = 0;
  *asc = 0;
  if (r.senseLength < 4) return;
  const uint8_t code = r.sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    *key = r.sense[1] & 0x0F;
    *asc = r.sense[2];
  } else if ((code == 0x70 || code == 0x71) && r.senseLength >= 13) {
    *key = r.sense[2] & 0x0F;
    *asc = r.sense[12];
  }
}

// The bridge itself refused the opcode: it does not carry this form.
bool OpcodeRefused(const ScsiResult& r) {
  if (!r.completed || r.scsiStatus != kCheckCondition) return false;
  uint8_t key = 0, asc = 0;
  KeyOf(r, &key, &asc);
  return key == kIllegalRequest && asc == kInvalidOpcode;
}

SenseFormat SenseOf(const ScsiResult& r) {
  if (!r.completed) return SenseFormat::kUnknown;
  if (r.scsiStatus == 0 && r.senseLength == 0) return SenseFormat::kNone;
  if (r.scsiStatus != kCheckCondition || r.senseLength < 8) return SenseFormat::kUnknown;
  const uint8_t code = r.sense[0] & 0x7F;
  if (code == 0x72) {
    // The ATA return descriptor (09h) among the descriptors.
    size_t at = 8;
    const size_t end = std::min<size_t>(r.senseLength, 8u + r.sense[7]);
    while (at + 1 < end) {
      if (r.sense[at] == 0x09) return SenseFormat::kDescriptor;
      at += 2u + r.sense[at + 1];
    }
    return SenseFormat::kNone;
  }
  if (code == 0x70 && r.senseLength >= 14 && r.sense[12] == 0x00 && r.sense[13] == 0x1D) {
    return SenseFormat::kFixed;
  }
  return SenseFormat::kNone;
}

uint32_t StatedMaxTransfer(transport::PassThroughTransport& transport, std::string_view path) {
  std::array<uint8_t, 64> pages{};
  const uint8_t list[6] = {0x12, 0x01, 0x00, 0x00, static_cast<uint8_t>(pages.size()), 0x00};
  ScsiResult r = transport.ProbeScsi(path, list, DataDirection::In, pages.data(), pages.size());
  if (!Answered(r) || r.transferred < 4) return 0;
  const size_t listed = std::min<size_t>(pages[3], std::min<size_t>(r.transferred, 64) - 4);
  bool blockLimits = false;
  for (size_t i = 0; i < listed; ++i) blockLimits = blockLimits || pages[4 + i] == 0xB0;
  if (!blockLimits) return 0;
  std::array<uint8_t, 64> limits{};
  const uint8_t ask[6] = {0x12, 0x01, 0xB0, 0x00, static_cast<uint8_t>(limits.size()), 0x00};
  r = transport.ProbeScsi(path, ask, DataDirection::In, limits.data(), limits.size());
  if (!Answered(r) || r.transferred < 12 || limits[1] != 0xB0) return 0;
  const uint64_t blocks = static_cast<uint64_t>(limits[8]) << 24 |
                          static_cast<uint64_t>(limits[9]) << 16 |
                          static_cast<uint64_t>(limits[10]) << 8 | limits[11];
  return static_cast<uint32_t>(std::min<uint64_t>(blocks * 512, 0xFFFFFFFFu));
}

}  // namespace

ProbeResult ProbeBridge(transport::PassThroughTransport& transport, std::string_view path,
                        const BridgeEntry* entry) {
  ProbeResult out;
  out.bridge.probed = true;
  platform::CopyName(out.bridge.path, sizeof out.bridge.path, path);
  if (entry != nullptr) {
    out.bridge.fromTable = true;
    out.bridge.route = entry->route;
    out.bridge.sense = static_cast<SenseFormat>(entry->sense);
    out.bridge.maxTransfer = entry->maxTransfer;
    out.bridge.timeouts = entry->timeouts;
    if (entry->route != transport::Route::kNone) {
      std::array<uint8_t, 16> image{};
      std::span<const uint8_t> cdb(kIdentifyImage);
      if (entry->route == transport::Route::k16Only &&
          transport::ToImage16(std::span<const uint8_t, 12>(kIdentifyImage), kIdentifyLength,
                               &image)) {
        cdb = std::span<const uint8_t>(image.data(), 16);
      }
      ScsiResult r = transport.ProbeScsi(path, cdb, DataDirection::In, out.identify.data(),
                                         kIdentifyLength, entry->timeouts);
      out.identified = Answered(r);
      if (out.identified && r.transferred < kIdentifyLength) {
        std::memset(out.identify.data() + r.transferred, 0, kIdentifyLength - r.transferred);
      }
    }
    JudgeBridge(&out.bridge);
    return out;
  }

  ScsiResult by12 = transport.ProbeScsi(path, kIdentifyImage, DataDirection::In,
                                        out.identify.data(), kIdentifyLength);
  const bool ok12 = Answered(by12);
  std::array<uint8_t, 16> identify16{};
  (void)transport::ToImage16(std::span<const uint8_t, 12>(kIdentifyImage), kIdentifyLength,
                             &identify16);
  std::array<uint8_t, 512> answer16{};
  ScsiResult by16 =
      transport.ProbeScsi(path, identify16, DataDirection::In, answer16.data(), kIdentifyLength);
  const bool ok16 = Answered(by16);
  if (!ok12 && ok16) out.identify = answer16;
  out.identified = ok12 || ok16;
  if (ok12 && !ok16 && OpcodeRefused(by16)) {
    out.bridge.route = transport::Route::k12Only;
  } else if (!ok12 && ok16 && OpcodeRefused(by12)) {
    out.bridge.route = transport::Route::k16Only;
  } else if (!ok12 && !ok16 && OpcodeRefused(by12) && OpcodeRefused(by16)) {
    out.bridge.route = transport::Route::kNone;
  }
  // Only the bytes the platform says it moved came from the drive.
  const uint32_t moved = ok12 ? by12.transferred : by16.transferred;
  if (out.identified && moved < kIdentifyLength) {
    std::memset(out.identify.data() + moved, 0, kIdentifyLength - moved);
  }

  if (out.identified) {
    ScsiResult power =
        ok12 ? transport.ProbeScsi(path, kCheckPower12, DataDirection::None, nullptr, 0)
             : transport.ProbeScsi(path, kCheckPower16, DataDirection::None, nullptr, 0);
    out.bridge.sense = SenseOf(power);
  }
  out.bridge.maxTransfer = StatedMaxTransfer(transport, path);
  JudgeBridge(&out.bridge);
  return out;
}

void JudgeBridge(BridgeInfo* bridge) {
  bridge->supported = true;
  bridge->reason[0] = '\0';
  auto refuse = [&](const char* text) {
    bridge->supported = false;
    std::snprintf(bridge->reason, sizeof bridge->reason, "%s", text);
  };
  if (bridge->route == transport::Route::kNone) {
    refuse("the bridge carries no ATA PASS-THROUGH");
  } else if (bridge->route == transport::Route::k12Only && kFlowNeeds48BitForm) {
    refuse("the bridge carries only ATA PASS-THROUGH (12); the RDT result read needs (16)");
  } else if (bridge->maxTransfer != 0 && bridge->maxTransfer < kFlowLargestTransfer) {
    std::snprintf(bridge->reason, sizeof bridge->reason,
                  "the bridge moves at most %u bytes; the flow reads %u at once",
                  static_cast<unsigned>(bridge->maxTransfer),
                  static_cast<unsigned>(kFlowLargestTransfer));
    bridge->supported = false;
  }
}

bool VidPidFromInstanceId(std::string_view id, uint16_t* vid, uint16_t* pid) {
  auto hex = [&](std::string_view tag, uint16_t* out) {
    size_t at = id.find(tag);
    if (at == std::string_view::npos || at + tag.size() + 4 > id.size()) return false;
    const char* first = id.data() + at + tag.size();
    auto [end, ec] = std::from_chars(first, first + 4, *out, 16);
    return ec == std::errc() && end == first + 4;
  };
  return hex("vid_", vid) && hex("pid_", pid);
}

const char* SenseFormatName(SenseFormat format) {
  switch (format) {
    case SenseFormat::kDescriptor:
      return "descriptor";
    case SenseFormat::kFixed:
      return "fixed";
    case SenseFormat::kNone:
      return "none";
    case SenseFormat::kUnknown:
      break;
  }
  return "unknown";
}

}  // namespace qelvar::discovery
