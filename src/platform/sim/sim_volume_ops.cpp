#include "platform/sim/sim_volume_ops.h"

#include <algorithm>
#include <cerrno>

#include "platform/sim/sim_station.h"

namespace qelvar::platform::sim {

struct SimVolumeOps::State {
  struct Disk {
    uint64_t bytes = 0;
    uint32_t bytesPerSector = 512;
    bool removable = false;
    std::optional<DriveLayout> onDisk;  // what was last written
    std::vector<uint32_t> partitions;   // entry numbers the system sees
    std::map<Step, uint32_t> requests;  // per step, for counted faults
  };
  struct Fault {
    Step step;
    int error;
    uint32_t nth;
  };
  struct Running {
    FormatOutcome outcome;
    uint32_t pollsLeft = 1;
  };

  mutable std::mutex mutex;
  std::map<std::string, Disk, std::less<>> disks;
  std::vector<FixedVolume> extraVolumes;
  std::multimap<std::string, Fault, std::less<>> faults;
  std::map<std::string, std::string, std::less<>> failStart, failFormat;
  std::map<std::string, std::string, std::less<>> labels;
  std::vector<StartedFormat> started;
  std::vector<Running> running;
  uint32_t formatPolls = 1;
  std::function<void(SimVolumeOps&, int)> onList;
  int listings = 0;

  // The error of a failing request, counting it; 0 when it goes through.
  int Request(const std::string& disk, Step step) {
    auto d = disks.find(disk);
    uint32_t count = d == disks.end() ? 1 : ++d->second.requests[step];
    auto [first, last] = faults.equal_range(disk);
    for (auto it = first; it != last; ++it) {
      if (it->second.step == step && (it->second.nth == 0 || it->second.nth == count)) {
        return it->second.error;
      }
    }
    return 0;
  }
};

namespace {

std::string BaseName(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

class SimDisk final : public DiskHandle {
 public:
  SimDisk(std::shared_ptr<SimVolumeOps::State> state, std::string path)
      : state_(std::move(state)), path_(std::move(path)) {}

  bool CreateDisk(uint32_t signature, int* error) override {
    std::lock_guard lock(state_->mutex);
    State::Disk* disk = Begin(SimVolumeOps::Step::kCreateDisk, error);
    if (disk == nullptr) return false;
    disk->onDisk = DriveLayout{};
    disk->onDisk->signature = signature;
    return true;
  }

  bool UpdateProperties(int* error) override {
    std::lock_guard lock(state_->mutex);
    State::Disk* disk = Begin(SimVolumeOps::Step::kUpdateProperties, error);
    if (disk == nullptr) return false;
    disk->partitions.clear();
    if (disk->onDisk) {
      for (const PartitionEntry& e : disk->onDisk->entries) {
        if (e.type != 0 && e.length != 0) disk->partitions.push_back(e.number);
      }
    }
    return true;
  }

  bool GetGeometry(DiskGeometry* out, int* error) override {
    std::lock_guard lock(state_->mutex);
    State::Disk* disk = Begin(SimVolumeOps::Step::kGeometry, error);
    if (disk == nullptr) return false;
    *out = GeometryForSize(disk->bytes, disk->bytesPerSector);
    return true;
  }

  bool SetDriveLayout(const DriveLayout& layout, int* error) override {
    std::lock_guard lock(state_->mutex);
    State::Disk* disk = Begin(SimVolumeOps::Step::kSetLayout, error);
    if (disk == nullptr) return false;
    // A table the disk cannot hold is refused, as a careful backend does.
    for (const PartitionEntry& e : layout.entries) {
      if (e.type == 0) continue;
      bool aligned =
          e.startOffset % disk->bytesPerSector == 0 && e.length % disk->bytesPerSector == 0;
      bool inside = e.startOffset <= disk->bytes && e.length <= disk->bytes - e.startOffset;
      if (!aligned || !inside || e.length == 0) {
        *error = EINVAL;
        return false;
      }
    }
    disk->onDisk = layout;
    return true;
  }

 private:
  using State = SimVolumeOps::State;

  // The disk, unless it has gone or the request is to fail.
  State::Disk* Begin(SimVolumeOps::Step step, int* error) {
    auto it = state_->disks.find(path_);
    if (it == state_->disks.end()) {
      *error = ENODEV;
      return nullptr;
    }
    if (int e = state_->Request(path_, step); e != 0) {
      *error = e;
      return nullptr;
    }
    return &it->second;
  }

  std::shared_ptr<State> state_;
  std::string path_;
};

}  // namespace

SimVolumeOps::SimVolumeOps() : state_(std::make_shared<State>()) {}

SimVolumeOps::SimVolumeOps(const SimStation& station) : SimVolumeOps() {
  for (size_t i = 0; i < station.DriveCount(); ++i) {
    const DriveConfig& c = station.Config(i);
    AddDisk(station.PathOf(i), c.sectors * 512, 512, c.removable);
  }
}

SimVolumeOps::~SimVolumeOps() = default;

void SimVolumeOps::AddDisk(std::string path, uint64_t bytes, uint32_t bytesPerSector,
                           bool removable) {
  std::lock_guard lock(state_->mutex);
  State::Disk& d = state_->disks[std::move(path)];
  d = State::Disk{};
  d.bytes = bytes;
  d.bytesPerSector = bytesPerSector;
  d.removable = removable;
}

void SimVolumeOps::RemoveDisk(std::string_view path) {
  std::lock_guard lock(state_->mutex);
  if (auto it = state_->disks.find(path); it != state_->disks.end()) state_->disks.erase(it);
}

void SimVolumeOps::AddVolume(FixedVolume volume) {
  std::lock_guard lock(state_->mutex);
  state_->extraVolumes.push_back(std::move(volume));
}

void SimVolumeOps::RemoveVolume(std::string_view name) {
  std::lock_guard lock(state_->mutex);
  auto& v = state_->extraVolumes;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const FixedVolume& f) { return f.name == name; }),
          v.end());
  // A volume of a simulated table disappears as if its entry had been lost.
  for (auto& [path, disk] : state_->disks) {
    auto& parts = disk.partitions;
    parts.erase(std::remove_if(parts.begin(), parts.end(),
                               [&, p = &path](uint32_t n) {
                                 return BaseName(*p) + "p" + std::to_string(n) == name;
                               }),
                parts.end());
  }
}

void SimVolumeOps::Fail(std::string_view disk, Step step, int error, uint32_t nth) {
  std::lock_guard lock(state_->mutex);
  state_->faults.emplace(std::string(disk), State::Fault{step, error, nth});
}

void SimVolumeOps::FailFormatStart(std::string_view volume, std::string detail) {
  std::lock_guard lock(state_->mutex);
  state_->failStart[std::string(volume)] = std::move(detail);
}

void SimVolumeOps::FailFormat(std::string_view volume, std::string detail) {
  std::lock_guard lock(state_->mutex);
  state_->failFormat[std::string(volume)] = std::move(detail);
}

void SimVolumeOps::SetFormatPolls(uint32_t polls) {
  std::lock_guard lock(state_->mutex);
  state_->formatPolls = std::max<uint32_t>(polls, 1);
}

void SimVolumeOps::OnList(std::function<void(SimVolumeOps&, int)> hook) {
  std::lock_guard lock(state_->mutex);
  state_->onList = std::move(hook);
}

std::optional<DriveLayout> SimVolumeOps::Layout(std::string_view disk) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->disks.find(disk);
  if (it == state_->disks.end()) return std::nullopt;
  return it->second.onDisk;
}

std::vector<SimVolumeOps::StartedFormat> SimVolumeOps::Formats() const {
  std::lock_guard lock(state_->mutex);
  return state_->started;
}

std::optional<std::string> SimVolumeOps::Label(std::string_view volume) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->labels.find(volume);
  if (it == state_->labels.end()) return std::nullopt;
  return it->second;
}

std::unique_ptr<DiskHandle> SimVolumeOps::OpenDisk(std::string_view path, int* error) {
  std::lock_guard lock(state_->mutex);
  std::string p(path);
  int e = state_->disks.count(p) == 0 ? ENOENT : state_->Request(p, Step::kOpen);
  if (e != 0) {
    if (error != nullptr) *error = e;
    return nullptr;
  }
  return std::make_unique<SimDisk>(state_, std::move(p));
}

std::vector<FixedVolume> SimVolumeOps::ListFixedVolumes() {
  std::function<void(SimVolumeOps&, int)> hook;
  int listing = 0;
  {
    std::lock_guard lock(state_->mutex);
    hook = state_->onList;
    listing = ++state_->listings;
  }
  if (hook) hook(*this, listing);

  std::lock_guard lock(state_->mutex);
  std::vector<FixedVolume> volumes = state_->extraVolumes;
  for (const auto& [path, disk] : state_->disks) {
    if (disk.removable) continue;
    for (uint32_t n : disk.partitions) {
      std::string suffix = "p" + std::to_string(n);
      volumes.push_back({BaseName(path) + suffix, path, path + suffix, 0});
    }
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const FixedVolume& a, const FixedVolume& b) { return a.name < b.name; });
  return volumes;
}

bool SimVolumeOps::StartFormat(const FixedVolume& volume, std::string_view label,
                               std::string* detail) {
  std::lock_guard lock(state_->mutex);
  if (auto it = state_->failStart.find(volume.name); it != state_->failStart.end()) {
    if (detail != nullptr) *detail = it->second;
    return false;
  }
  state_->started.push_back({volume.name, volume.path, std::string(label)});
  State::Running r;
  r.outcome = {volume.name, std::string(label), true, {}};
  if (auto it = state_->failFormat.find(volume.name); it != state_->failFormat.end()) {
    r.outcome.succeeded = false;
    r.outcome.detail = it->second;
  }
  r.pollsLeft = state_->formatPolls;
  state_->running.push_back(std::move(r));
  return true;
}

std::vector<FormatOutcome> SimVolumeOps::CollectFinishedFormats() {
  std::lock_guard lock(state_->mutex);
  std::vector<FormatOutcome> ended;
  auto& running = state_->running;
  for (auto it = running.begin(); it != running.end();) {
    if (--it->pollsLeft > 0) {
      ++it;
      continue;
    }
    if (it->outcome.succeeded) state_->labels[it->outcome.volume] = it->outcome.label;
    ended.push_back(std::move(it->outcome));
    it = running.erase(it);
  }
  return ended;
}

size_t SimVolumeOps::FormatsRunning() const {
  std::lock_guard lock(state_->mutex);
  return state_->running.size();
}

}  // namespace qelvar::platform::sim
