// The Linux VolumeOps without a real disk: fixed volumes from a sysfs-shaped
// tree, the format process (a stand-in script for mkntfs) and the open's
// refusals. Partitioning a real block device is tested on a loop device in
// tests/format/test_loop_device_format.cpp.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/linux/linux_volume_ops.h"
#include "platform/linux/sysfs_tree.h"

namespace qelvar::platform::linux_backend {
namespace {

namespace fs = std::filesystem;

void Partition(const fs::path& disk, const std::string& name) {
  fs::create_directories(disk / name);
  testing::SysfsTree::Write(disk / name / "partition", name.substr(name.size() - 1));
}

TEST(LinuxFixedVolumes, PartitionsOfNonRemovableDisksSortedByName) {
  testing::SysfsTree tree;
  fs::path pci = fs::path(tree.Root()) / "sys/devices/pci0000:00/0000:00:05.0";
  fs::path sdb = tree.Disk(pci, 1, "sdb");
  fs::path sda = tree.Disk(pci, 0, "sda");
  fs::path sdc = tree.Disk(pci, 2, "sdc", /*removable=*/true);
  tree.Disk(pci, 3, "sdd");  // no partition table
  Partition(sdb, "sdb1");
  Partition(sda, "sda2");
  Partition(sda, "sda1");
  Partition(sdc, "sdc1");
  fs::create_directories(sda / "queue");  // not a partition: no "partition" file

  LinuxVolumeOps ops(tree.Root() + "/sys");
  std::vector<FixedVolume> volumes = ops.ListFixedVolumes();

  std::ostringstream seen;
  for (const FixedVolume& v : volumes) {
    seen << v.name << " " << v.disk << " " << v.path << " " << int(v.letter) << "\n";
  }
  EXPECT_EQ(seen.str(),
            "sda1 /dev/sda /dev/sda1 0\n"
            "sda2 /dev/sda /dev/sda2 0\n"
            "sdb1 /dev/sdb /dev/sdb1 0\n");
}

TEST(LinuxOpenDisk, OnlyAnExistingBlockDeviceOpens) {
  testing::SysfsTree tree;
  std::string file = tree.Root() + "/image";
  std::ofstream(file) << "not a disk";
  LinuxVolumeOps ops(tree.Root() + "/sys");
  struct Case {
    std::string path;
    int error;
  } cases[] = {{"", ENOENT}, {tree.Root() + "/missing", ENOENT}, {file, ENOTBLK}};
  for (const Case& c : cases) {
    int error = 0;
    EXPECT_EQ(ops.OpenDisk(c.path, &error), nullptr) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
}

// A stand-in for mkntfs: records its arguments, writes to both outputs and
// exits with the status in "<script>.exit".
class FormatProcess : public ::testing::Test {
 protected:
  FormatProcess() : script_(fs::path(tree_.Root()) / "fake-mkntfs") {
    std::ofstream(script_) << "#!/bin/sh\n"
                              "printf '%s\\n' \"$@\" > \"$0.args\"\n"
                              "echo 'Creating NTFS volume structures.'\n"
                              "echo 'first complaint' >&2\n"
                              "echo 'device is busy' >&2\n"
                              "exit $(cat \"$0.exit\")\n";
    fs::permissions(script_, fs::perms::owner_all);
  }

  void ExitWith(int status) { std::ofstream(script_.string() + ".exit") << status << "\n"; }

  std::string Args() const {
    std::ifstream in(script_.string() + ".args");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Collects until the one format ends; at most 20 s.
  static FormatOutcome WaitForOne(LinuxVolumeOps& ops) {
    for (int i = 0; i < 2000; ++i) {
      std::vector<FormatOutcome> ended = ops.CollectFinishedFormats();
      if (!ended.empty()) return ended.front();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the format process never ended";
    return {};
  }

  testing::SysfsTree tree_;
  fs::path script_;
  FixedVolume volume_{"sdz9", "/dev/sdz", "/dev/sdz9", 0};
};

TEST_F(FormatProcess, QuickNtfsWith64KibClustersAndTheLabelIsStartedWithoutWaiting) {
  ExitWith(0);
  LinuxVolumeOps ops(tree_.Root() + "/sys", script_.string());
  std::string detail;
  ASSERT_TRUE(ops.StartFormat(volume_, "UDISK-C", &detail)) << detail;
  EXPECT_EQ(ops.FormatsRunning(), 1u);

  FormatOutcome outcome = WaitForOne(ops);
  EXPECT_TRUE(outcome.succeeded);
  EXPECT_EQ(outcome.volume, "sdz9");
  EXPECT_EQ(outcome.label, "UDISK-C");
  EXPECT_EQ(outcome.detail, "");
  EXPECT_EQ(Args(), "--quick\n--cluster-size\n65536\n--label\nUDISK-C\n/dev/sdz9\n");
  EXPECT_EQ(ops.FormatsRunning(), 0u);
}

TEST_F(FormatProcess, FailureCarriesTheExitStatusAndTheLastErrorLine) {
  ExitWith(3);
  LinuxVolumeOps ops(tree_.Root() + "/sys", script_.string());
  std::string detail;
  ASSERT_TRUE(ops.StartFormat(volume_, "UDISK-A", &detail)) << detail;

  FormatOutcome outcome = WaitForOne(ops);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.detail, "fake-mkntfs ended with exit status 3: device is busy");
}

TEST_F(FormatProcess, MissingProgramCannotBeStarted) {
  LinuxVolumeOps ops(tree_.Root() + "/sys", tree_.Root() + "/no-such-mkntfs");
  std::string detail;
  EXPECT_FALSE(ops.StartFormat(volume_, "UDISK-A", &detail));
  EXPECT_EQ(detail, "cannot start " + tree_.Root() + "/no-such-mkntfs: No such file or directory");
  EXPECT_EQ(ops.FormatsRunning(), 0u);
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
