#include "platform/sim/sim_station.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace qelvar::platform::sim {

// Fans device changes out to the monitors that are running. Shared with the
// monitors so either may go first.
struct EventHub {
  struct Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<DeviceChange, std::string>> events;
    bool stop = false;
  };
  std::mutex mutex;
  std::vector<std::shared_ptr<Queue>> queues;

  void Post(DeviceChange change, const std::string& device) {
    std::lock_guard lock(mutex);
    for (auto& q : queues) {
      {
        std::lock_guard ql(q->mutex);
        q->events.emplace_back(change, device);
      }
      q->wake.notify_one();
    }
  }
};

namespace {

constexpr std::string_view kPathPrefix = "/sim/disk";

class SimHandle final : public DeviceHandle {
 public:
  SimHandle(std::shared_ptr<SimDrive> drive, ShareMode mode)
      : drive_(std::move(drive)), mode_(mode) {}
  ~SimHandle() override { drive_->Close(mode_); }
  ScsiResult SendScsi(const ScsiRequest& request) override { return drive_->Scsi(request, mode_); }
  AtaResult SendAta(const AtaRequest& request) override { return drive_->Ata(request, mode_); }
  bool QueryStorageDescriptor(StorageDescriptor* out) override { return drive_->Descriptor(out); }

 private:
  std::shared_ptr<SimDrive> drive_;
  ShareMode mode_;
};

class SimMonitor final : public DeviceMonitor {
 public:
  explicit SimMonitor(std::shared_ptr<EventHub> hub) : hub_(std::move(hub)) {}
  ~SimMonitor() override { Stop(); }

  bool Start(Callback callback, std::string* why) override {
    if (thread_.joinable()) {
      if (why != nullptr) *why = "the monitor is already running";
      return false;
    }
    queue_ = std::make_shared<EventHub::Queue>();
    {
      std::lock_guard lock(hub_->mutex);
      hub_->queues.push_back(queue_);
    }
    thread_ = std::thread([q = queue_, cb = std::move(callback)] {
      std::unique_lock lock(q->mutex);
      while (true) {
        q->wake.wait(lock, [&] { return q->stop || !q->events.empty(); });
        if (q->stop) return;
        auto event = std::move(q->events.front());
        q->events.pop_front();
        lock.unlock();
        cb(event.first, event.second);
        lock.lock();
      }
    });
    return true;
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(hub_->mutex);
      auto& qs = hub_->queues;
      qs.erase(std::remove(qs.begin(), qs.end(), queue_), qs.end());
    }
    {
      std::lock_guard lock(queue_->mutex);
      queue_->stop = true;
    }
    queue_->wake.notify_one();
    thread_.join();
    queue_.reset();
  }

 private:
  std::shared_ptr<EventHub> hub_;
  std::shared_ptr<EventHub::Queue> queue_;
  std::thread thread_;
};

}  // namespace

SimStation::SimStation(StationConfig config, Clock& clock)
    : config_(std::move(config)), clock_(clock), events_(std::make_shared<EventHub>()) {
  if (!config_.traceFile.empty()) (void)tracer_.SetFile(config_.traceFile);
  std::weak_ptr<EventHub> events = events_;
  for (const DriveConfig& d : config_.drives) {
    std::string path = std::string(kPathPrefix) + std::to_string(d.index + 1);
    drives_.push_back(
        std::make_shared<SimDrive>(d, path, clock_, tracer_, config_.dumpDir,
                                   [events](DeviceChange change, const std::string& device) {
                                     if (auto hub = events.lock()) hub->Post(change, device);
                                   }));
    positions_.push_back(Position{d.hub, d.hubPort});
  }
}

SimStation::~SimStation() {
  Flush();
}

std::unique_ptr<SimStation> SimStation::FromFile(const std::string& path, Clock& clock,
                                                 std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = "cannot read the station file " + path;
    return nullptr;
  }
  std::stringstream text;
  text << in.rdbuf();
  StationConfig config;
  std::string why;
  std::string base = std::filesystem::path(path).parent_path().string();
  if (!ParseStation(text.str(), base, &config, &why)) {
    if (error != nullptr) *error = path + ": " + why;
    return nullptr;
  }
  return std::make_unique<SimStation>(std::move(config), clock);
}

std::unique_ptr<SimStation> SimStation::Default(Clock& clock) {
  StationConfig config;
  std::string why;
  if (!ParseStation(DefaultStationText(), "", &config, &why)) return nullptr;
  return std::make_unique<SimStation>(std::move(config), clock);
}

std::string SimStation::DiskPath(uint32_t diskNumber) const {
  return std::string(kPathPrefix) + std::to_string(diskNumber);
}

uint32_t SimStation::DiskNumberOf(size_t i) const {
  return static_cast<uint32_t>(drives_[i]->config().index + 1);
}

std::unique_ptr<DeviceHandle> SimStation::Open(std::string_view path, ShareMode mode, int* error) {
  for (auto& d : drives_) {
    if (d->path() != path) continue;
    if (!d->Open(mode, error)) return nullptr;
    return std::make_unique<SimHandle>(d, mode);
  }
  if (error != nullptr) *error = ENOENT;
  return nullptr;
}

int SimStation::FindDrive(std::string_view name) const {
  for (size_t i = 0; i < drives_.size(); ++i) {
    if (drives_[i]->config().name == name) return static_cast<int>(i);
  }
  return -1;
}

bool SimStation::Plug(size_t i) {
  if (i >= drives_.size()) return false;
  drives_[i]->Plug();
  return true;
}

bool SimStation::Unplug(size_t i) {
  if (i >= drives_.size()) return false;
  drives_[i]->Unplug();
  return true;
}

bool SimStation::UnplugOn(size_t i, Command command, uint32_t nth, uint32_t step) {
  if (i >= drives_.size()) return false;
  drives_[i]->UnplugOn(command, nth, step);
  return true;
}

SimStation::Position SimStation::PositionOf(size_t i) const {
  std::lock_guard lock(positionsMutex_);
  return positions_[i];
}

bool SimStation::MoveDrive(size_t i, int hub, int hubPort) {
  if (i >= drives_.size() || hub < -1 || hub >= config_.hubs || hubPort < 1) return false;
  if (hubPort > (hub < 0 ? config_.rootPorts : config_.hubPorts)) return false;
  if (hub < 0 && hubPort <= config_.hubs) return false;  // an external hub's root port
  {
    std::lock_guard lock(positionsMutex_);
    for (size_t j = 0; j < drives_.size(); ++j) {
      if (j != i && positions_[j].hub == hub && positions_[j].hubPort == hubPort &&
          drives_[j]->Inspect().plugged) {
        return false;
      }
    }
  }
  drives_[i]->Unplug();
  {
    std::lock_guard lock(positionsMutex_);
    positions_[i] = Position{hub, hubPort};
  }
  drives_[i]->Plug();
  return true;
}

DriveState SimStation::Inspect(size_t i) {
  return drives_[i]->Inspect();
}

void SimStation::SetDumpDir(const std::string& dir) {
  for (auto& d : drives_) d->SetDumpDir(dir);
}

void SimStation::Flush() {
  for (auto& d : drives_) d->Flush();
}

std::unique_ptr<DeviceMonitor> SimStation::CreateMonitor() {
  return std::make_unique<SimMonitor>(events_);
}

std::string SimStation::RootHubId() {
  return "usb\\root_hub30\\4&2f3a1b0c&0&0";
}

std::string SimStation::HubId(int hub) {
  return "usb\\vid_0000&pid_0001\\5&2f3a1b0c&0&" + std::to_string(hub + 1);
}

std::string SimStation::BridgeId(int driveIndex, uint16_t vid, uint16_t pid) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "usb\\vid_%04x&pid_%04x\\", vid, pid);
  return ids + std::string("qsimbridge") + std::to_string(driveIndex);
}

size_t SimStation::EnumerateHubs(std::span<HubRecord> out) {
  std::vector<bool> present(drives_.size());
  for (size_t i = 0; i < drives_.size(); ++i) present[i] = drives_[i]->Present();
  size_t n = 0;
  auto add = [&](const std::string& id, int ports, int hub) {
    HubRecord record;
    bool any = false;
    for (size_t i = 0; i < drives_.size(); ++i) {
      const DriveConfig& d = drives_[i]->config();
      const Position at = PositionOf(i);
      if (!present[i] || at.hub != hub || at.hubPort > static_cast<int>(kMaxHubPorts)) continue;
      HubPortEntry& e = record.entries[at.hubPort - 1];
      e.portIndex = static_cast<uint16_t>(at.hubPort - 1);
      CopyName(e.deviceInstanceId, kNameCapacity, BridgeId(d.index, d.usbVendorId, d.usbProductId));
      any = true;
    }
    if (hub < 0) {
      // The external hubs hang on the first root ports.
      for (int h = 0; h < config_.hubs && h < static_cast<int>(kMaxHubPorts); ++h) {
        HubPortEntry& e = record.entries[h];
        e.portIndex = static_cast<uint16_t>(h);
        CopyName(e.deviceInstanceId, kNameCapacity, HubId(h));
        any = true;
      }
    }
    if (!any || n >= out.size()) return;
    record.portCount = static_cast<uint8_t>(ports);
    CopyName(record.hubInstanceId, kHubIdCapacity, id);
    out[n++] = record;
  };
  // A hub behind another hub's port is recorded before that hub.
  for (int h = 0; h < config_.hubs; ++h) add(HubId(h), config_.hubPorts, h);
  add(RootHubId(), config_.rootPorts, -1);
  return n;
}

size_t SimStation::EnumerateUsbDevices(std::span<UsbDeviceRecord> out) {
  size_t n = 0;
  for (auto& d : drives_) {
    if (n >= out.size()) return n;
    if (!d->Present()) continue;
    out[n].devNode = 100 + static_cast<uint32_t>(d->config().index);
    CopyName(out[n].instanceId, kNameCapacity,
             BridgeId(d->config().index, d->config().usbVendorId, d->config().usbProductId));
    ++n;
  }
  for (int h = 0; h < config_.hubs && n < out.size(); ++h, ++n) {
    out[n].devNode = 10 + static_cast<uint32_t>(h);
    CopyName(out[n].instanceId, kNameCapacity, HubId(h));
  }
  return n;
}

size_t SimStation::EnumerateUsbDisks(std::span<UsbDiskNode> out) {
  size_t n = 0;
  for (size_t i = 0; i < drives_.size(); ++i) {
    const auto& d = drives_[i];
    if (n >= out.size()) break;
    if (!d->Present()) continue;
    const DriveConfig& c = d->config();
    const Position at = PositionOf(i);
    out[n].diskNumber = static_cast<uint32_t>(c.index + 1);
    out[n].parentNode = 100 + static_cast<uint32_t>(c.index);
    CopyName(out[n].interfacePath, kNameCapacity, d->path());
    CopyName(out[n].hubInstanceId, kNameCapacity, at.hub < 0 ? RootHubId() : HubId(at.hub));
    ++n;
  }
  return n;
}

bool SimStation::DescribeUsbDevice(std::string_view instanceId, UsbDeviceDescription* out) {
  for (const auto& d : drives_) {
    const DriveConfig& c = d->config();
    if (BridgeId(c.index, c.usbVendorId, c.usbProductId) != instanceId) continue;
    // As qelvar-simbridge shows the bridge on the bus.
    out->vid = c.usbVendorId;
    out->pid = c.usbProductId;
    out->bcdDevice = 0x0100;
    out->product = "Simulated SATA Bridge";
    out->speedMbps = 480;
    return true;
  }
  return false;
}

}  // namespace qelvar::platform::sim
