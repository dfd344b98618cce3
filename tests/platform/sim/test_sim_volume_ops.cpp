// The simulated VolumeOps behaves like a kernel where the format depends on
// it: volumes follow the table only when it is re-read, and only fixed disks
// have fixed volumes.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/sim/sim_volume_ops.h"

namespace qelvar::platform::sim {
namespace {

DriveLayout OnePartition(uint64_t start, uint64_t length) {
  DriveLayout layout;
  layout.signature = 7;
  layout.entries[0].type = 0x07;
  layout.entries[0].number = 1;
  layout.entries[0].startOffset = start;
  layout.entries[0].length = length;
  return layout;
}

std::vector<std::string> Names(SimVolumeOps& ops) {
  std::vector<std::string> names;
  for (const FixedVolume& v : ops.ListFixedVolumes()) names.push_back(v.name + " " + v.disk);
  return names;
}

TEST(SimVolumeOps, VolumesFollowTheTableOnlyWhenItIsReRead) {
  SimVolumeOps ops;
  ops.AddDisk("/sim/disk2", 64ull << 20);
  ops.AddDisk("/sim/disk3", 64ull << 20, 512, /*removable=*/true);
  for (const char* path : {"/sim/disk3", "/sim/disk2"}) {
    int error = 0;
    auto disk = ops.OpenDisk(path, &error);
    ASSERT_TRUE(disk) << path;
    ASSERT_TRUE(disk->SetDriveLayout(OnePartition(1 << 20, 32 << 20), &error));
    EXPECT_TRUE(Names(ops).empty()) << path << " listed before the re-read";
    ASSERT_TRUE(disk->UpdateProperties(&error));
  }
  EXPECT_EQ(Names(ops), std::vector<std::string>{"disk2p1 /sim/disk2"});

  int error = 0;
  auto disk = ops.OpenDisk("/sim/disk2", &error);
  ASSERT_TRUE(disk->CreateDisk(9, &error));
  EXPECT_EQ(Names(ops).size(), 1u);
  ASSERT_TRUE(disk->UpdateProperties(&error));
  EXPECT_TRUE(Names(ops).empty()) << "an empty table leaves no volume";
}

TEST(SimVolumeOps, LayoutPastTheDiskOrOutsideSectorsIsRefused) {
  SimVolumeOps ops;
  ops.AddDisk("/sim/disk1", 64ull << 20);
  int error = 0;
  auto disk = ops.OpenDisk("/sim/disk1", &error);
  ASSERT_TRUE(disk);
  for (DriveLayout bad : {OnePartition(1 << 20, 64ull << 20), OnePartition(1000, 1 << 20)}) {
    error = 0;
    EXPECT_FALSE(disk->SetDriveLayout(bad, &error));
    EXPECT_EQ(error, EINVAL);
  }
  EXPECT_FALSE(ops.Layout("/sim/disk1"));
}

TEST(SimVolumeOps, RemovedDiskFailsItsOpenAndItsOpenHandles) {
  SimVolumeOps ops;
  ops.AddDisk("/sim/disk1", 64ull << 20);
  int error = 0;
  auto disk = ops.OpenDisk("/sim/disk1", &error);
  ops.RemoveDisk("/sim/disk1");
  EXPECT_FALSE(disk->UpdateProperties(&error));
  EXPECT_EQ(error, ENODEV);
  EXPECT_EQ(ops.OpenDisk("/sim/disk1", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace qelvar::platform::sim
