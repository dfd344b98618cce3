#include "support/fake_device_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qelvar::testing {

using platform::AtaRequest;
using platform::AtaResult;
using platform::DataDirection;
using platform::ScsiRequest;
using platform::ScsiResult;
using platform::ShareMode;

class FakeHandle final : public platform::DeviceHandle {
 public:
  FakeHandle(FakeDeviceIo& io, std::string path, ShareMode mode)
      : io_(io), path_(std::move(path)), mode_(mode) {}
  ~FakeHandle() override { io_.Closed(path_, mode_); }

  ScsiResult SendScsi(const ScsiRequest& request) override {
    FakeRequest r;
    r.path = path_;
    r.mode = mode_;
    r.cdb.assign(request.cdb.begin(), request.cdb.end());
    r.direction = request.direction;
    r.length = request.length;
    r.timeoutSeconds = request.timeoutSeconds;
    if (request.direction == DataDirection::Out && request.data != nullptr) {
      r.dataOut.assign(request.data, request.data + request.length);
    }
    FakeAnswer a = io_.Answer(std::move(r));
    ScsiResult result;
    result.completed = a.completed;
    result.errorCode = a.errorCode;
    result.transferred = a.transferred.value_or(request.length);
    result.scsiStatus = a.scsiStatus;
    result.senseLength = static_cast<uint8_t>(std::min(a.sense.size(), result.sense.size()));
    std::copy_n(a.sense.begin(), result.senseLength, result.sense.begin());
    if (request.direction == DataDirection::In && request.data != nullptr) {
      size_t n = std::min<size_t>(a.dataIn.size(), request.length);
      if (n) std::memcpy(request.data, a.dataIn.data(), n);
      for (size_t i = 0; i < a.staleFill.size() && n + i < request.length; ++i) {
        request.data[n + i] = a.staleFill[i];
      }
    }
    return result;
  }

  AtaResult SendAta(const AtaRequest& request) override {
    FakeRequest r;
    r.path = path_;
    r.mode = mode_;
    r.ata = true;
    r.previous = request.previous;
    r.current = request.current;
    r.flags = request.flags;
    r.length = request.length;
    r.timeoutSeconds = request.timeoutSeconds;
    r.direction = (request.flags & platform::kAtaFlagDataIn)    ? DataDirection::In
                  : (request.flags & platform::kAtaFlagDataOut) ? DataDirection::Out
                                                                : DataDirection::None;
    if (r.direction == DataDirection::Out && request.data != nullptr) {
      r.dataOut.assign(request.data, request.data + request.length);
    }
    FakeAnswer a = io_.Answer(std::move(r));
    AtaResult result;
    result.completed = a.completed;
    result.errorCode = a.errorCode;
    result.current = a.returned;
    if ((request.flags & platform::kAtaFlagDataIn) && request.data != nullptr) {
      size_t n = std::min<size_t>(a.dataIn.size(), request.length);
      if (n) std::memcpy(request.data, a.dataIn.data(), n);
    }
    return result;
  }

  bool QueryStorageDescriptor(platform::StorageDescriptor* out) override {
    return io_.Descriptor(path_, out);
  }

 private:
  FakeDeviceIo& io_;
  std::string path_;
  ShareMode mode_;
};

void FakeDeviceIo::SetScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::make_shared<Script>(std::move(script));
}

void FakeDeviceIo::Enqueue(FakeAnswer answer) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(answer));
}

void FakeDeviceIo::FailOpen(const std::string& path, int error) {
  std::lock_guard lock(mutex_);
  failOpen_[path] = error;
}

void FakeDeviceIo::SetStorageDescriptor(const std::string& path, platform::StorageDescriptor d,
                                        bool ok) {
  std::lock_guard lock(mutex_);
  descriptors_[path] = {d, ok};
}

std::vector<FakeRequest> FakeDeviceIo::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t FakeDeviceIo::OpenCount() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

size_t FakeDeviceIo::OpenHandles() const {
  std::lock_guard lock(mutex_);
  size_t n = exclusive_.size();
  for (const auto& [path, count] : shared_) n += static_cast<size_t>(count);
  return n;
}

void FakeDeviceIo::Clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  queue_.clear();
  opens_ = 0;
}

std::unique_ptr<platform::DeviceHandle> FakeDeviceIo::Open(std::string_view path, ShareMode mode,
                                                           int* error) {
  std::lock_guard lock(mutex_);
  std::string p(path);
  if (auto it = failOpen_.find(p); it != failOpen_.end()) {
    if (error) *error = it->second;
    return nullptr;
  }
  if (p.empty()) {
    if (error) *error = ENOENT;
    return nullptr;
  }
  bool busy = exclusive_.count(p) > 0 || (mode == ShareMode::Exclusive && shared_[p] > 0);
  if (busy) {
    if (error) *error = EBUSY;
    return nullptr;
  }
  if (mode == ShareMode::Exclusive) {
    exclusive_.insert(p);
  } else {
    ++shared_[p];
  }
  ++opens_;
  if (error) *error = 0;
  return std::make_unique<FakeHandle>(*this, p, mode);
}

std::string FakeDeviceIo::DiskPath(uint32_t diskNumber) const {
  return "/dev/fake" + std::to_string(diskNumber);
}

FakeAnswer FakeDeviceIo::Answer(FakeRequest request) {
  std::shared_ptr<Script> script;
  FakeAnswer answer;
  bool fromQueue = false;
  {
    std::lock_guard lock(mutex_);
    request.atMs = clock_ ? clock_->TickMs() : 0;
    requests_.push_back(request);
    if (!queue_.empty()) {
      answer = std::move(queue_.front());
      queue_.pop_front();
      fromQueue = true;
    } else {
      script = script_;
    }
  }
  if (!fromQueue && script && *script) answer = (*script)(request);
  if (clock_ && answer.spendMs) clock_->Spend(answer.spendMs);
  return answer;
}

void FakeDeviceIo::Closed(const std::string& path, ShareMode mode) {
  std::lock_guard lock(mutex_);
  if (mode == ShareMode::Exclusive) {
    exclusive_.erase(path);
  } else {
    --shared_[path];
  }
}

bool FakeDeviceIo::Descriptor(const std::string& path, platform::StorageDescriptor* out) {
  std::lock_guard lock(mutex_);
  auto it = descriptors_.find(path);
  if (it == descriptors_.end()) {
    *out = platform::StorageDescriptor{platform::BusType::Usb, false};
    return true;
  }
  *out = it->second.first;
  return it->second.second;
}

std::vector<uint8_t> Bytes(std::string_view hex) {
  std::vector<uint8_t> out;
  int nibble = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == '\n' || c == '\t') continue;
    else throw std::invalid_argument("not a hex digit");
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  if (nibble >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

}  // namespace qelvar::testing
