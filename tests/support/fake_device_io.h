// A scriptable DeviceIo for tests: records every request exactly as it would
// reach the wire and answers from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device_io.h"

namespace qelvar::testing {

struct FakeRequest {
  std::string path;
  platform::ShareMode mode = platform::ShareMode::SharedReadWrite;
  bool ata = false;
  std::vector<uint8_t> cdb;            // SAT path
  platform::TaskFile previous{};       // ATA path
  platform::TaskFile current{};
  uint16_t flags = 0;
  platform::DataDirection direction = platform::DataDirection::None;
  uint32_t length = 0;
  std::vector<uint8_t> dataOut;        // what the host sent (data-out only)
  uint32_t timeoutSeconds = 0;
  uint64_t atMs = 0;                   // the clock's tick when the request arrived
};

struct FakeAnswer {
  bool completed = true;
  int errorCode = 0;
  std::vector<uint8_t> dataIn;         // copied into the host's buffer, bounded by its length
  std::optional<uint32_t> transferred; // default: the request's length
  platform::TaskFile returned{};       // ATA path: registers handed back
  uint8_t scsiStatus = 0;
  std::vector<uint8_t> sense;
  uint32_t spendMs = 0;                // time the exchange takes (Clock::Spend)
  std::vector<uint8_t> staleFill;      // data-in: bytes left in the buffer past `transferred`
};

class FakeDeviceIo final : public platform::DeviceIo {
 public:
  using Script = std::function<FakeAnswer(const FakeRequest&)>;

  explicit FakeDeviceIo(platform::Clock* clock = nullptr) : clock_(clock) {}

  // Answers come from the queue first, then from the script, then a plain
  // completed answer with no data.
  void SetScript(Script script);
  void Enqueue(FakeAnswer answer);
  void FailOpen(const std::string& path, int error = 2);
  void SetStorageDescriptor(const std::string& path, platform::StorageDescriptor d, bool ok = true);

  [[nodiscard]] std::vector<FakeRequest> Requests() const;
  [[nodiscard]] size_t OpenCount() const;
  [[nodiscard]] size_t OpenHandles() const;
  void Clear();

  std::unique_ptr<platform::DeviceHandle> Open(std::string_view path, platform::ShareMode mode,
                                               int* error) override;
  std::string DiskPath(uint32_t diskNumber) const override;

 private:
  friend class FakeHandle;
  FakeAnswer Answer(FakeRequest request);
  void Closed(const std::string& path, platform::ShareMode mode);
  bool Descriptor(const std::string& path, platform::StorageDescriptor* out);

  platform::Clock* clock_;
  mutable std::mutex mutex_;
  std::shared_ptr<Script> script_;  // shared so a stateful script keeps its state
  std::deque<FakeAnswer> queue_;
  std::vector<FakeRequest> requests_;
  std::map<std::string, int> failOpen_;
  std::map<std::string, std::pair<platform::StorageDescriptor, bool>> descriptors_;
  std::map<std::string, int> shared_;
  std::set<std::string> exclusive_;
  size_t opens_ = 0;
};

// "85 0B 06 00" -> bytes. Blanks are ignored.
std::vector<uint8_t> Bytes(std::string_view hex);

}  // namespace qelvar::testing
