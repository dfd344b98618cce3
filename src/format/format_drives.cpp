#include "format/format_drives.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "discovery/port_candidates.h"

namespace qelvar::format {

namespace {

constexpr uint32_t kCollectPollMs = 250;

void Log(const DebugLog& log, const std::string& line) {
  if (log) log(line);
}

// The disk now on the port's hub port, if it is a fixed USB disk. The drives
// rebooted during the run: the system may have given a drive another name
// and handed its old one to another disk, so the name from the last scan is
// not trusted.
std::string ResolvePortDisk(const discovery::PortIdentity& identity,
                            std::span<const discovery::PortCandidate> candidates,
                            platform::DeviceIo& io) {
  for (const discovery::PortCandidate& c : candidates) {
    if (c.portIndex != identity.portIndex ||
        std::strncmp(c.hubInstanceId, identity.hubInstanceId, sizeof identity.hubInstanceId) != 0) {
      continue;
    }
    std::string path = io.DiskPath(c.diskNumber);
    int error = 0;
    std::unique_ptr<platform::DeviceHandle> handle =
        io.Open(path, platform::ShareMode::SharedReadWrite, &error);
    if (!handle) return {};
    platform::StorageDescriptor descriptor;
    bool ok = handle->QueryStorageDescriptor(&descriptor);
    if (!ok || descriptor.busType != platform::BusType::Usb || descriptor.removableMedia) return {};
    return path;
  }
  return {};
}

bool InSnapshot(std::span<const platform::FixedVolume> snapshot, const std::string& name) {
  return std::any_of(snapshot.begin(), snapshot.end(),
                     [&](const platform::FixedVolume& v) { return v.name == name; });
}

void ReportFailure(settings::MessageSink& messages, const std::string& volume,
                   const std::string& label, const std::string& detail) {
  std::string text = "Format of " + volume + " as " + label + " failed";
  if (!detail.empty()) text += ": " + detail;
  messages.Show(text, kFormatFailCaption, settings::MessageIcon::kWarning);
}

}  // namespace

size_t ListFixedDriveLetters(platform::VolumeOps& volumes,
                             std::vector<platform::FixedVolume>* out) {
  *out = volumes.ListFixedVolumes();
  std::sort(out->begin(), out->end(),
            [](const platform::FixedVolume& a, const platform::FixedVolume& b) {
              return a.name < b.name;
            });
  return out->size();
}

int FormatNewVolumes(platform::VolumeOps& volumes, platform::Clock& clock,
                     settings::MessageSink& messages,
                     std::span<const platform::FixedVolume> snapshot,
                     std::span<const PartitionedDisk> partitioned, const DebugLog& log) {
  std::vector<platform::FixedVolume> now;
  if (ListFixedDriveLetters(volumes, &now) <= snapshot.size()) {
    Log(log, "No new fixed volume\r\n");
    return kNoNewVolume;
  }
  bool found = false;
  for (const platform::FixedVolume& volume : now) {
    if (InSnapshot(snapshot, volume.name)) continue;
    auto owner = std::find_if(partitioned.begin(), partitioned.end(),
                              [&](const PartitionedDisk& d) { return d.disk == volume.disk; });
    // A disk the operator plugged in meanwhile, or a station drive whose
    // partitioning failed, is none of this format's business.
    if (owner == partitioned.end()) {
      Log(log, "New volume " + volume.name + " on " + volume.disk +
                   " is not on a drive just partitioned; left alone\r\n");
      continue;
    }
    found = true;
    // Without drive letters the port's letter ("A" for port 0) names the
    // volume, so the label tells the operator where the drive sat.
    char letter = volume.letter != 0 ? volume.letter : static_cast<char>('A' + owner->port);
    std::string label = std::string("UDISK-") + letter;
    std::string detail;
    if (!volumes.StartFormat(volume, label, &detail)) {
      ReportFailure(messages, volume.name, label, detail);
      continue;
    }
    Log(log, "Formatting " + volume.name + " as " + label + "\r\n");
    clock.SleepMs(kAfterFormatStartMs);
    (void)CollectFormatResults(volumes, messages, log);
  }
  return found ? 0 : kNoNewVolume;
}

int FormatDrives(discovery::PortState& ports, platform::Topology& topology, platform::DeviceIo& io,
                 platform::VolumeOps& volumes, platform::Clock& clock,
                 settings::MessageSink& messages,
                 std::span<uint8_t, discovery::kPortCount> failedPorts, const DebugLog& log,
                 const DebugLog& diagnostics) {
  // Formats of an earlier run that ended since are reported first.
  (void)CollectFormatResults(volumes, messages, log);

  std::vector<platform::FixedVolume> snapshot;
  ListFixedDriveLetters(volumes, &snapshot);

  std::array<discovery::PortCandidate, platform::kMaxCandidates> candidates;
  size_t candidateCount = discovery::DiscoverPortCandidates(topology, candidates);
  std::span<const discovery::PortCandidate> found(candidates.data(), candidateCount);

  // gPortCount wraps to 0 once 16 hub ports are numbered; every number handed
  // out so far is covered instead.
  size_t assigned = std::min<size_t>(ports.gPortsAssigned, discovery::kPortCount);
  int failures = 0;
  std::vector<PartitionedDisk> partitioned;
  for (size_t i = 0; i < assigned; ++i) {
    const discovery::DeviceInfo& info = ports.gDeviceInfo[i];
    int port = static_cast<int>(i);
    // A port without a drive keeps its empty path and fails at the open.
    std::string path;
    if (info.Path[0] != '\0') {
      path = ResolvePortDisk(ports.gPortTable[i], found, io);
      if (path.empty()) {
        Log(log, "Port " + std::to_string(port) +
                     ": its hub port holds no fixed USB disk now; not partitioned\r\n");
        ++failures;
        failedPorts[i] = 1;
        continue;
      }
      if (path != info.Path) {
        Log(log, "Port " + std::to_string(port) + ": " + info.Path + " is now " + path + "\r\n");
      }
    }
    if (PartitionDisk(volumes, clock, path, log, diagnostics) != kPartitioned) {
      ++failures;
      failedPorts[i] = 1;
      continue;
    }
    partitioned.push_back({port, path});
  }

  if (FormatNewVolumes(volumes, clock, messages, snapshot, partitioned, log) == kNoNewVolume) {
    messages.Show(kFormatErrorText, kFormatErrorCaption, settings::MessageIcon::kNone);
  }
  return failures;
}

void ReportFormatOutcomes(std::span<const platform::FormatOutcome> ended,
                          settings::MessageSink& messages, const DebugLog& log) {
  for (const platform::FormatOutcome& outcome : ended) {
    if (outcome.succeeded) {
      Log(log, "Formatted " + outcome.volume + " as " + outcome.label + "\r\n");
    } else {
      ReportFailure(messages, outcome.volume, outcome.label, outcome.detail);
    }
  }
}

size_t CollectFormatResults(platform::VolumeOps& volumes, settings::MessageSink& messages,
                            const DebugLog& log) {
  ReportFormatOutcomes(volumes.CollectFinishedFormats(), messages, log);
  return volumes.FormatsRunning();
}

size_t WaitForFormats(platform::VolumeOps& volumes, platform::Clock& clock,
                      settings::MessageSink& messages, uint32_t timeoutMs, const DebugLog& log) {
  uint32_t waited = 0;
  size_t running = CollectFormatResults(volumes, messages, log);
  while (running > 0 && waited < timeoutMs) {
    uint32_t step = std::min(kCollectPollMs, timeoutMs - waited);
    clock.SleepMs(step);
    waited += step;
    running = CollectFormatResults(volumes, messages, log);
  }
  return running;
}

}  // namespace qelvar::format
