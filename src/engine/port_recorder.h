// What the run control and the workers tell the line ledger, and what they
// ask of it. The engine defines these small interfaces; the ledger's adapter
// (ledger_link.h) implements them. Both are optional: without them a station
// runs as it always has.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fail_codes.h"
#include "engine/run_state.h"
#include "settings/images.h"

namespace qelvar::engine {

// Everything a finishing worker knows about its port's run.
struct PortResult {
  int port = 0;
  std::string runId;
  std::string hubInstance;
  int hubPort = 0;
  int64_t startedAtMs = 0;  // UTC wall clock
  int64_t endedAtMs = 0;
  FailCode failCode = kFailNone;
  std::string statusText;  // "Pass" or the fail message, as the row shows it
  std::string model;
  std::string serial;
  std::string fwVersion;
  int32_t capacityMb = -1;  // -1: not read
  uint8_t bin = 255;        // 255: no bin
  bool rdtPass = false;
  NandReport nand;
  int32_t runBad = 0;
  // The images this drive was sent; the hashes are made off the worker's
  // thread. Per-drive copies for the patched ones, empty when not sent.
  std::shared_ptr<const settings::Images> images;
  bool burnerSent = false;
  bool spiSent = false;
  std::vector<uint8_t> rdtParamSent;
  std::vector<uint8_t> sysFwSent;
};

// What is known of a port as its worker is started.
struct PortStart {
  int port = 0;
  std::string runId;
  std::string hubInstance;
  int hubPort = 0;
  int64_t startedAtMs = 0;  // UTC wall clock
  std::string model;
  std::string serial;  // the serial the drive is given in this run
  std::string fwVersion;
};

class PortRecorder {
 public:
  virtual ~PortRecorder() = default;
  // A new run (a Start or a single-port start); returns its ID.
  virtual std::string BeginRun() = 0;
  // Just before a port's worker starts, so that every serial handed out is
  // accounted for even when the run never ends. Returns at once.
  virtual void PortStarted([[maybe_unused]] const PortStart& start) {}
  // On the worker's thread, just before its result is reported. Returns at
  // once; whatever happens to the record never changes the port's result.
  virtual void PortFinished(PortResult&& result) = 0;
  // At the end of a run: records held back while the shared ledger was away
  // are pushed (off the caller's thread).
  virtual void RunEnded() = 0;
  // Problems with where this Start's results go (a record cannot be written, a
  // store is corrupt...), each a line for the operator; empty when it can record.
  [[nodiscard]] virtual std::vector<std::string> StartProblems() { return {}; }
  // A passed drive that already carries `barcode` in the ledger, as a short
  // description of that record for the operator ("serial X passed on station S at
  // T"), or empty.
  [[nodiscard]] virtual std::string EarlierPassed([[maybe_unused]] std::string_view barcode) {
    return {};
  }
};

// Hands out the serial numbers of a Start from a series shared by the line.
class SerialSource {
 public:
  virtual ~SerialSource() = default;
  // True when Starts with auto-increment must take their serials here.
  [[nodiscard]] virtual bool Active() const = 0;
  // `count` serials; a new series starts at `seed`. False with *why (a
  // sentence for the operator) when they cannot be taken.
  [[nodiscard]] virtual bool Take(int count, std::string_view seed,
                                  std::vector<std::string>* serials, std::string* why) = 0;
};

}  // namespace qelvar::engine
