// A drive for the engine's device-facing helpers: answers the vendor reads
// from literal bytes, by the sub-command of the last first phase or by the
// log page, and fails the reads it is told to fail.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "support/fake_device_io.h"
#include "transport/pass_through_transport.h"
#include "vendor/vendor_commands.h"

namespace qelvar::engine::test {

inline constexpr uint8_t kLogRdt = 0x80, kLogFct = 0x00, kLogDft = 0x40;

class ScriptedDrive {
 public:
  ScriptedDrive() {
    clock_.NameThisThread("worker");
    io_.SetScript([this](const qelvar::testing::FakeRequest& r) { return Answer(r); });
  }

  std::map<uint8_t, std::vector<uint8_t>> answers;  // by sub-command
  std::map<uint8_t, std::vector<uint8_t>> logs;     // by log page
  std::set<uint8_t> failing;                        // sub-commands or pages that fail

  vendor::VendorCommands& Commands() { return vendor_; }
  vendor::PortTarget Target() const { return {"/dev/sdd", 1}; }
  // Sub-commands of the first phases sent, in order.
  std::vector<uint8_t> SubCommands() const {
    std::vector<uint8_t> subs;
    for (const auto& r : io_.Requests()) {
      if (r.cdb.size() == 16 && r.cdb[4] == 0xFC && !r.dataOut.empty())
        subs.push_back(r.dataOut[0]);
    }
    return subs;
  }

 private:
  qelvar::testing::FakeAnswer Answer(const qelvar::testing::FakeRequest& r) {
    qelvar::testing::FakeAnswer a;
    if (r.cdb.size() != 16) return a;
    if (r.cdb[14] == 0x2F) {
      const uint8_t page = r.cdb[10];
      a.completed = failing.count(page) == 0;
      if (auto it = logs.find(page); it != logs.end()) a.dataIn = it->second;
      return a;
    }
    if (r.cdb[4] == 0xFC) {
      last_ = r.dataOut.empty() ? 0 : r.dataOut[0];
      return a;
    }
    a.completed = failing.count(last_) == 0;
    if (auto it = answers.find(last_); it != answers.end()) a.dataIn = it->second;
    return a;
  }

  platform::VirtualClock clock_;
  qelvar::testing::FakeDeviceIo io_{&clock_};
  transport::PassThroughTransport transport_{io_, clock_};
  vendor::VendorCommands vendor_{transport_};
  uint8_t last_ = 0;
};

}  // namespace qelvar::engine::test
