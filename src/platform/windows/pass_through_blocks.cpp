#include "platform/windows/pass_through_blocks.h"

#include <algorithm>
#include <cstring>

namespace qelvar::platform::windows {
namespace {

void Put16(std::span<uint8_t> b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::span<uint8_t> b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutPointer(std::span<uint8_t> b, size_t at, uint64_t v, uint32_t bytes) {
  for (size_t i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t{b[at + i]} << (8 * i);
  return v;
}

}  // namespace

bool EncodeSptd(const SptdLayout& layout, const ScsiRequest& request, uint64_t dataAddress,
                std::span<uint8_t> block) {
  if (block.size() < SptdBlockBytes(layout) || request.cdb.size() > 16) return false;
  std::fill(block.begin(), block.end(), uint8_t{0});
  const bool hasData = request.direction != DataDirection::None && request.length != 0;
  Put16(block, 0, layout.size);
  block[4] = kSptdTargetId;
  block[6] = static_cast<uint8_t>(request.cdb.size());
  block[7] = static_cast<uint8_t>(kSenseBytes);
  block[8] = !hasData                                 ? kScsiDataUnspecified
             : request.direction == DataDirection::In ? kScsiDataIn
                                                      : kScsiDataOut;
  Put32(block, 12, hasData ? request.length : 0);
  Put32(block, 16, request.timeoutSeconds);
  PutPointer(block, layout.dataBuffer, hasData ? dataAddress : 0, layout.pointerBytes);
  Put32(block, layout.senseInfoOffset, SenseOffset(layout));
  if (!request.cdb.empty()) {
    std::memcpy(block.data() + layout.cdb, request.cdb.data(), request.cdb.size());
  }
  return true;
}

void DecodeSptd(const SptdLayout& layout, std::span<const uint8_t> block, uint32_t requested,
                ScsiResult* out) {
  if (block.size() < layout.size) return;
  out->scsiStatus = block[2];
  out->transferred = std::min(Get32(block, 12), requested);
  size_t available = block.size() > SenseOffset(layout) ? block.size() - SenseOffset(layout) : 0;
  size_t sense = std::min<size_t>({block[7], kSenseBytes, out->sense.size(), available});
  out->senseLength = static_cast<uint8_t>(sense);
  out->sense.fill(0);
  if (sense > 0) std::memcpy(out->sense.data(), block.data() + SenseOffset(layout), sense);
}

bool EncodeAtaPassThrough(const AtaLayout& layout, const AtaRequest& request,
                          std::span<uint8_t> block) {
  if (request.length > kMaxAtaData || block.size() < size_t{layout.size} + request.length) {
    return false;
  }
  std::fill(block.begin(), block.end(), uint8_t{0});
  Put16(block, 0, layout.size);
  Put16(block, 2, request.flags);
  Put32(block, 8, request.length);
  Put32(block, 12, request.timeoutSeconds);
  PutPointer(block, layout.dataBufferOffset, layout.size, layout.pointerBytes);
  std::memcpy(block.data() + layout.previousTaskFile, request.previous.data(), 8);
  std::memcpy(block.data() + layout.currentTaskFile, request.current.data(), 8);
  if ((request.flags & kAtaFlagDataOut) && request.data != nullptr && request.length != 0) {
    std::memcpy(block.data() + layout.size, request.data, request.length);
  }
  return true;
}

TaskFile DecodeAtaTaskFile(const AtaLayout& layout, std::span<const uint8_t> block) {
  TaskFile t{};
  if (block.size() >= size_t{layout.currentTaskFile} + 8) {
    std::memcpy(t.data(), block.data() + layout.currentTaskFile, 8);
  }
  return t;
}

}  // namespace qelvar::platform::windows
