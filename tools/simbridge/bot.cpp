#include "tools/simbridge/bot.h"

#include <algorithm>
#include <cstring>

namespace qelvar::simbridge {

using platform::DataDirection;

namespace {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint8_t kCswGood = 0, kCswFailed = 1, kCswPhaseError = 2;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Which way a command moves data when it moves any; Any: the pass-through
// commands (the drive behind the bridge judges them) and commands the bridge
// does not know (they fail with ILLEGAL REQUEST whatever the host sends).
enum class Natural : uint8_t { None, In, Out, Any };

Natural NaturalOf(uint8_t opcode) {
  switch (opcode) {
    case 0x00:
    case 0x1B:
    case 0x1E:
    case 0x35:
    case 0x91:
      return Natural::None;
    case 0x03:
    case 0x12:
    case 0x1A:
    case 0x25:
    case 0x28:
    case 0x5A:
    case 0x88:
    case 0x9E:
      return Natural::In;
    case 0x2A:
    case 0x8A:
      return Natural::Out;
    default:
      return Natural::Any;
  }
}

// Bytes a READ or WRITE moves, from its command block; -1 for other commands.
int64_t BlockBytes(std::span<const uint8_t> cdb) {
  if ((cdb[0] == 0x28 || cdb[0] == 0x2A) && cdb.size() >= 10) {
    return static_cast<int64_t>(cdb[7] << 8 | cdb[8]) * 512;
  }
  if ((cdb[0] == 0x88 || cdb[0] == 0x8A) && cdb.size() >= 16) {
    uint32_t blocks = static_cast<uint32_t>(cdb[10]) << 24 | static_cast<uint32_t>(cdb[11]) << 16 |
                      static_cast<uint32_t>(cdb[12]) << 8 | cdb[13];
    return static_cast<int64_t>(blocks) * 512;
  }
  return -1;
}

std::vector<uint8_t> Utf16Descriptor(const std::string& text) {
  size_t chars = std::min<size_t>(text.size(), 126);
  std::vector<uint8_t> d(2 + 2 * chars, 0);
  d[0] = static_cast<uint8_t>(d.size());
  d[1] = 0x03;
  for (size_t i = 0; i < chars; ++i) d[2 + 2 * i] = static_cast<uint8_t>(text[i]);
  return d;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> data, uint16_t length) {
  if (data.size() > length) data.resize(length);
  return data;
}

}  // namespace

BotDevice::BotDevice(UsbIdentity identity, ScsiTarget& target, InReply reply, Busy busy)
    : identity_(std::move(identity)),
      target_(target),
      reply_(std::move(reply)),
      busy_(std::move(busy)) {}

std::vector<uint8_t> BotDevice::DeviceDescriptor() const {
  uint16_t usb = identity_.highSpeed ? 0x0200 : 0x0110;
  return {18,
          0x01,
          static_cast<uint8_t>(usb),
          static_cast<uint8_t>(usb >> 8),
          0x00,  // class per interface
          0x00,
          0x00,
          64,  // endpoint 0 max packet
          static_cast<uint8_t>(identity_.vendorId),
          static_cast<uint8_t>(identity_.vendorId >> 8),
          static_cast<uint8_t>(identity_.productId),
          static_cast<uint8_t>(identity_.productId >> 8),
          0x00,
          0x01,  // device release 1.00
          1,
          2,
          static_cast<uint8_t>(identity_.serial.empty() ? 0 : 3),
          1};
}

std::vector<uint8_t> BotDevice::ConfigurationDescriptor() const {
  uint16_t mps = BulkMaxPacket();
  auto lo = static_cast<uint8_t>(mps), hi = static_cast<uint8_t>(mps >> 8);
  return {// configuration: 1 interface, self powered, 100 mA
          9, 0x02, 32, 0, 1, 1, 0, 0xC0, 50,
          // interface 0: mass storage, SCSI transparent command set, Bulk-Only
          9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0,
          // bulk in, bulk out
          7, 0x05, kEpIn, 0x02, lo, hi, 0, 7, 0x05, kEpOut, 0x02, lo, hi, 0};
}

std::vector<uint8_t> BotDevice::StringDescriptor(uint8_t index) const {
  switch (index) {
    case 0:
      return {4, 0x03, 0x09, 0x04};  // US English
    case 1:
      return Utf16Descriptor(identity_.manufacturer);
    case 2:
      return Utf16Descriptor(identity_.product);
    case 3:
      if (identity_.serial.empty()) return {};
      return Utf16Descriptor(identity_.serial);
    default:
      return {};
  }
}

ControlReply BotDevice::Control(const ControlSetup& s, std::span<const uint8_t> out) {
  (void)out;
  ControlReply stall{XferStatus::Stall, {}};
  const uint8_t type = s.requestType & 0x60;
  const uint8_t recipient = s.requestType & 0x1F;
  if (type == 0x00) {
    switch (s.request) {
      case 0x06: {  // GET_DESCRIPTOR
        if ((s.requestType & 0x80) == 0) return stall;
        std::vector<uint8_t> d;
        switch (s.value >> 8) {
          case 1:
            d = DeviceDescriptor();
            break;
          case 2:
            if ((s.value & 0xFF) == 0) d = ConfigurationDescriptor();
            break;
          case 3:
            d = StringDescriptor(static_cast<uint8_t>(s.value));
            break;
          default:
            break;  // no device qualifier: the bridge runs at one speed only
        }
        if (d.empty()) return stall;
        return ControlReply{XferStatus::Success, Cut(std::move(d), s.length)};
      }
      case 0x00: {  // GET_STATUS
        std::vector<uint8_t> st = {0, 0};
        if (recipient == 0) st[0] = 0x01;  // self powered
        if (recipient == 2) {
          if (s.index != kEpIn && s.index != kEpOut && (s.index & 0x7F) != 0) return stall;
          st[0] = Halted(static_cast<uint8_t>(s.index)) ? 1 : 0;
        }
        return ControlReply{XferStatus::Success, Cut(std::move(st), s.length)};
      }
      case 0x01:    // CLEAR_FEATURE
      case 0x03: {  // SET_FEATURE
        bool set = s.request == 0x03;
        if (recipient == 2 && s.value == 0) {  // ENDPOINT_HALT
          if (s.index == kEpIn) {
            haltIn_ = set;
          } else if (s.index == kEpOut) {
            haltOut_ = set;
          } else if ((s.index & 0x7F) != 0) {
            return stall;
          }
          if (!set) Serve();
          return ControlReply{};
        }
        if (recipient == 0) return ControlReply{};  // remote wake-up, test mode: ignored
        return stall;
      }
      default:
        return stall;
    }
  }
  if (type == 0x20 && recipient == 1 && s.index == 0) {
    if (s.request == 0xFE && s.requestType == 0xA1 && s.value == 0 && s.length >= 1) {
      return ControlReply{XferStatus::Success, {0x00}};  // Get Max LUN: one unit
    }
    if (s.request == 0xFF && s.requestType == 0x21 && s.value == 0 && s.length == 0) {
      // Bulk-Only Mass Storage Reset: ready for a command block again. The
      // endpoints stay halted until the host clears them.
      ResetTransport();
      return ControlReply{};
    }
  }
  return stall;
}

void BotDevice::Stall(bool in, bool out) {
  if (in) haltIn_ = true;
  if (out) haltOut_ = true;
  Serve();
}

XferStatus BotDevice::BulkOut(std::span<const uint8_t> data) {
  if (haltOut_) return XferStatus::Stall;
  switch (phase_) {
    case Phase::Command:
      if (data.size() != kCbwSize || Le32(data.data()) != kCbwSignature || data[13] != 0 ||
          data[14] < 1 || data[14] > 16) {
        // Not a meaningful command block: stall both ways until the host
        // recovers with a reset and clears both halts.
        phase_ = Phase::NeedReset;
        Stall(true, true);
        return XferStatus::Stall;
      }
      StartCommand(data);
      return XferStatus::Success;
    case Phase::DataOut: {
      size_t room = hostLength_ - buffer_.size();
      if (data.size() > room) {
        // More than the command block announced.
        phase_ = Phase::NeedReset;
        Stall(true, true);
        return XferStatus::Stall;
      }
      buffer_.insert(buffer_.end(), data.begin(), data.end());
      if (buffer_.size() == hostLength_) FinishDataOut();
      return XferStatus::Success;
    }
    case Phase::DataIn:
    case Phase::Status:
    case Phase::NeedReset:
      phase_ = Phase::NeedReset;
      Stall(true, true);
      return XferStatus::Stall;
  }
  return XferStatus::Stall;
}

void BotDevice::StartCommand(std::span<const uint8_t> cbw) {
  tag_ = Le32(cbw.data() + 4);
  hostLength_ = Le32(cbw.data() + 8);
  hostIn_ = (cbw[12] & 0x80) != 0;
  cdb_.assign(cbw.begin() + 15, cbw.begin() + 15 + cbw[14]);
  buffer_.clear();
  dataEnd_ = dataSent_ = 0;
  busyNow_ = true;
  if (busy_) busy_(true);

  const Natural natural = NaturalOf(cdb_[0]);
  const int64_t blockBytes = BlockBytes(cdb_);
  if (hostLength_ > 0 && !hostIn_) {
    phase_ = Phase::DataOut;
    buffer_.reserve(hostLength_);
    return;
  }
  if (hostLength_ == 0) {
    // The host expects no data: a command that wants to move some is a
    // phase error.
    if (blockBytes > 0) return Complete(kCswPhaseError, 0);
    ScsiOutcome o = target_.Execute(cdb_, DataDirection::None, {});
    if (o.status == ScsiOutcome::Status::TransportFailure) return Complete(kCswPhaseError, 0);
    return Complete(o.status == ScsiOutcome::Status::Good ? kCswGood : kCswFailed, 0);
  }
  // Data-in.
  buffer_.assign(hostLength_, 0);
  if (natural == Natural::Out || blockBytes > static_cast<int64_t>(hostLength_)) {
    return Complete(kCswPhaseError, hostLength_);
  }
  if (natural == Natural::None) {
    ScsiOutcome o = target_.Execute(cdb_, DataDirection::None, {});
    if (o.status == ScsiOutcome::Status::TransportFailure) {
      return Complete(kCswPhaseError, hostLength_);
    }
    return Complete(o.status == ScsiOutcome::Status::Good ? kCswGood : kCswFailed, hostLength_);
  }
  ScsiOutcome o = target_.Execute(cdb_, DataDirection::In, buffer_);
  if (o.status == ScsiOutcome::Status::TransportFailure) {
    return Complete(kCswPhaseError, hostLength_);
  }
  dataEnd_ = std::min(o.moved, hostLength_);
  Complete(o.status == ScsiOutcome::Status::Good ? kCswGood : kCswFailed, hostLength_ - dataEnd_);
}

void BotDevice::FinishDataOut() {
  const Natural natural = NaturalOf(cdb_[0]);
  const int64_t blockBytes = BlockBytes(cdb_);
  if (natural == Natural::In || blockBytes > static_cast<int64_t>(hostLength_)) {
    return Complete(kCswPhaseError, hostLength_);
  }
  std::span<uint8_t> data = buffer_;
  if (blockBytes >= 0) data = data.first(static_cast<size_t>(blockBytes));
  ScsiOutcome o = natural == Natural::None ? target_.Execute(cdb_, DataDirection::None, {})
                                           : target_.Execute(cdb_, DataDirection::Out, data);
  if (o.status == ScsiOutcome::Status::TransportFailure) {
    return Complete(kCswPhaseError, hostLength_);
  }
  uint32_t taken = std::min(o.moved, hostLength_);
  Complete(o.status == ScsiOutcome::Status::Good ? kCswGood : kCswFailed, hostLength_ - taken);
}

void BotDevice::Complete(uint8_t status, uint32_t residue) {
  csw_.assign(kCswSize, 0);
  PutLe32(csw_.data(), kCswSignature);
  PutLe32(csw_.data() + 4, tag_);
  PutLe32(csw_.data() + 8, residue);
  csw_[12] = status;
  phase_ = hostIn_ && hostLength_ > 0 ? Phase::DataIn : Phase::Status;
  Serve();
}

void BotDevice::BulkIn(uint64_t id, uint32_t length) {
  pending_.push_back(Request{id, length});
  Serve();
}

void BotDevice::Serve() {
  while (!pending_.empty()) {
    Request r = pending_.front();
    if (haltIn_ || phase_ == Phase::NeedReset) {
      pending_.pop_front();
      reply_(r.id, XferStatus::Stall, {});
      continue;
    }
    if (phase_ == Phase::DataIn) {
      uint32_t n = std::min(r.length, dataEnd_ - dataSent_);
      pending_.pop_front();
      std::span<const uint8_t> chunk(buffer_.data() + dataSent_, n);
      dataSent_ += n;
      // A short packet, or the host's whole length, ends the data phase.
      if (n < r.length || dataSent_ == hostLength_) phase_ = Phase::Status;
      reply_(r.id, XferStatus::Success, chunk);
      continue;
    }
    if (phase_ == Phase::Status) {
      pending_.pop_front();
      std::vector<uint8_t> csw = std::move(csw_);
      if (csw.size() > r.length) csw.resize(r.length);
      phase_ = Phase::Command;
      buffer_.clear();
      reply_(r.id, XferStatus::Success, csw);
      if (busyNow_) {
        busyNow_ = false;
        if (busy_) busy_(false);
      }
      continue;
    }
    return;  // waiting for a command block or its data
  }
}

void BotDevice::Cancel(uint64_t id) {
  auto it =
      std::find_if(pending_.begin(), pending_.end(), [id](const Request& r) { return r.id == id; });
  if (it == pending_.end()) return;
  pending_.erase(it);
  reply_(id, XferStatus::Cancelled, {});
}

void BotDevice::ResetTransport() {
  phase_ = Phase::Command;
  buffer_.clear();
  csw_.clear();
  if (busyNow_) {
    busyNow_ = false;
    if (busy_) busy_(false);
  }
}

void BotDevice::UsbReset() {
  pending_.clear();
  haltIn_ = haltOut_ = false;
  ResetTransport();
}

}  // namespace qelvar::simbridge
