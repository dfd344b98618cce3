// The USB side of the simulated USB-to-SATA bridge: its descriptors, its
// control requests and the Bulk-Only Transport that carries SCSI commands
// (command block wrapper, data phase, command status wrapper). Nothing here
// knows the wire protocol to the host controller: the glue (usbredir_port.h)
// hands in setup packets and bulk packets and sends out what comes back.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tools/simbridge/scsi_target.h"

namespace qelvar::simbridge {

struct UsbIdentity {
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x0001;
  std::string manufacturer = "Qelvar";
  std::string product = "Simulated SATA Bridge";
  std::string serial;
  // Full speed (USB 1.1, 64-byte bulk packets) behind a hub that only takes
  // full speed; high speed (USB 2.0, 512-byte bulk packets) on a root port.
  bool highSpeed = false;
};

enum class XferStatus : uint8_t { Success, Stall, Cancelled };

struct ControlSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

struct ControlReply {
  XferStatus status = XferStatus::Success;
  std::vector<uint8_t> data;  // data-in of the request
};

class BotDevice {
 public:
  static constexpr uint8_t kEpIn = 0x81;
  static constexpr uint8_t kEpOut = 0x02;

  // Sends the answer to a bulk-in request (`id` as given to BulkIn).
  using InReply = std::function<void(uint64_t id, XferStatus status, std::span<const uint8_t>)>;
  // Told when a command arrives (true) and when its status has gone out (false).
  using Busy = std::function<void(bool busy)>;

  BotDevice(UsbIdentity identity, ScsiTarget& target, InReply reply, Busy busy);

  [[nodiscard]] const UsbIdentity& identity() const { return identity_; }
  [[nodiscard]] uint16_t BulkMaxPacket() const { return identity_.highSpeed ? 512 : 64; }
  [[nodiscard]] std::vector<uint8_t> DeviceDescriptor() const;
  [[nodiscard]] std::vector<uint8_t> ConfigurationDescriptor() const;
  // Empty when there is no such string.
  [[nodiscard]] std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  // A control request on endpoint 0 (not SET_ADDRESS or SET_CONFIGURATION,
  // which the host controller side handles). `out` is its data-out stage.
  [[nodiscard]] ControlReply Control(const ControlSetup& setup, std::span<const uint8_t> out);
  // One bulk-out packet; Success means all of it was taken.
  [[nodiscard]] XferStatus BulkOut(std::span<const uint8_t> data);
  // A bulk-in request for up to `length` bytes; answered through InReply,
  // at once when the data is there, later otherwise.
  void BulkIn(uint64_t id, uint32_t length);
  // The host gave up on a bulk-in request: it is answered as cancelled.
  void Cancel(uint64_t id);
  // A USB port reset: pending requests are dropped unanswered, the
  // transport starts over, halts are cleared.
  void UsbReset();

  // The command block of the command in progress (or the last one).
  [[nodiscard]] const std::vector<uint8_t>& cdb() const { return cdb_; }
  [[nodiscard]] bool Halted(uint8_t endpoint) const {
    return endpoint == kEpIn ? haltIn_ : haltOut_;
  }

 private:
  enum class Phase : uint8_t { Command, DataOut, DataIn, Status, NeedReset };
  struct Request {
    uint64_t id;
    uint32_t length;
  };

  void StartCommand(std::span<const uint8_t> cbw);
  void FinishDataOut();
  void Complete(uint8_t status, uint32_t residue);
  void Serve();
  void ResetTransport();
  void Stall(bool in, bool out);

  UsbIdentity identity_;
  ScsiTarget& target_;
  InReply reply_;
  Busy busy_;

  Phase phase_ = Phase::Command;
  bool haltIn_ = false, haltOut_ = false;
  bool busyNow_ = false;
  std::deque<Request> pending_;
  // The command in progress.
  uint32_t tag_ = 0;
  uint32_t hostLength_ = 0;
  bool hostIn_ = false;
  std::vector<uint8_t> cdb_;
  std::vector<uint8_t> buffer_;  // data-out received / data-in to send
  uint32_t dataEnd_ = 0;         // data-in bytes the device sends
  uint32_t dataSent_ = 0;
  uint8_t status_ = 0;
  uint32_t residue_ = 0;
  std::vector<uint8_t> csw_;
};

}  // namespace qelvar::simbridge
