// VolumeOps for the simulated station: each drive's disk by its device path,
// with a partition table in memory. Like a kernel, the system's view of a
// disk's volumes changes only when it is asked to re-read the table
// (UpdateProperties): then one volume appears per non-empty entry, named
// after the disk ("/sim/disk3" -> "disk3p1"). Formats "complete" when they
// are collected. Tests add and remove other volumes, fail any step of any
// disk, and fail formats.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/volume_ops.h"

namespace qelvar::platform::sim {

class SimStation;

class SimVolumeOps final : public VolumeOps {
 public:
  enum class Step : uint8_t { kOpen, kCreateDisk, kUpdateProperties, kGeometry, kSetLayout };

  struct StartedFormat {
    std::string volume;
    std::string path;
    std::string label;
  };

  SimVolumeOps();
  // Every drive of the station as a disk of its IDENTIFY size.
  explicit SimVolumeOps(const SimStation& station);
  ~SimVolumeOps() override;
  SimVolumeOps(const SimVolumeOps&) = delete;
  SimVolumeOps& operator=(const SimVolumeOps&) = delete;

  // A blank disk (no partition table). The volumes of a removable disk are
  // not fixed volumes.
  void AddDisk(std::string path, uint64_t bytes, uint32_t bytesPerSector = 512,
               bool removable = false);
  // The disk goes away with its volumes; opening it fails.
  void RemoveDisk(std::string_view path);
  // A fixed volume that no table here describes (another disk's, or one
  // whose disk is not simulated).
  void AddVolume(FixedVolume volume);
  void RemoveVolume(std::string_view name);

  // The `nth` request (1-based, counted per disk and step; 0: every one) of
  // `step` on `disk` fails with `error`.
  void Fail(std::string_view disk, Step step, int error, uint32_t nth = 0);
  // The volume's format cannot be started, or starts and ends failed.
  void FailFormatStart(std::string_view volume, std::string detail);
  void FailFormat(std::string_view volume, std::string detail);
  // Formats end at the `polls`th collection after their start (default 1).
  void SetFormatPolls(uint32_t polls);
  // Runs at the start of every ListFixedVolumes with its 1-based count, so a
  // test can change the volumes between a snapshot and a later listing.
  void OnList(std::function<void(SimVolumeOps&, int listing)> hook);

  // The table on the disk, if one was written.
  [[nodiscard]] std::optional<DriveLayout> Layout(std::string_view disk) const;
  [[nodiscard]] std::vector<StartedFormat> Formats() const;
  // The label a finished format gave the volume.
  [[nodiscard]] std::optional<std::string> Label(std::string_view volume) const;

  std::unique_ptr<DiskHandle> OpenDisk(std::string_view path, int* error) override;
  std::vector<FixedVolume> ListFixedVolumes() override;
  bool StartFormat(const FixedVolume& volume, std::string_view label, std::string* detail) override;
  std::vector<FormatOutcome> CollectFinishedFormats() override;
  size_t FormatsRunning() const override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace qelvar::platform::sim
