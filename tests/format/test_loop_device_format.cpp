// The post-run format on a real block device: a sparse file attached as a
// loop device with partition scanning ("losetup -P"), partitioned through the
// kernel and formatted by mkntfs.
//
// Needs root. Skipped when not root, or when losetup, mkntfs or blkid is
// missing; with QELVAR_CI=1 a missing tool or loop device fails the test
// instead, so CI cannot pass by skipping. The loop device is always detached.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/fake_topology.h"
#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/linux/linux_volume_ops.h"
#include "support/fake_device_io.h"
#include "support/temp_folder.h"

namespace qelvar::format {
namespace {

namespace fs = std::filesystem;
using qelvar::testing::Bytes;

struct Output {
  int status = -1;
  std::string text;
};

// Runs a shell command; its standard output and exit status.
Output Sh(const std::string& command) {
  Output out;
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 256> buffer{};
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    out.text.append(buffer.data(), n);
  int status = ::pclose(pipe);
  out.status = status == 0 ? 0 : (status < 0 ? -1 : 1);
  return out;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool InCi() {
  const char* ci = std::getenv("QELVAR_CI");
  return ci != nullptr && std::string(ci) == "1";
}

// The effective user ID from /proc: the second number of the "Uid:" line.
bool IsRoot() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Uid:") {
      long real = -1, effective = -1;
      status >> real >> effective;
      return effective == 0;
    }
    std::getline(status, key);
  }
  return false;
}

bool HaveTool(const std::string& tool) {
  return Sh("command -v " + tool).status == 0;
}

// Skips (or, in CI, fails) unless the test can attach loop devices and run
// every tool named.
#define REQUIRE_ROOT_AND_TOOLS(...)                                                \
  do {                                                                             \
    if (!IsRoot()) {                                                               \
      GTEST_SKIP() << "needs root to attach a loop device (CI runs as root)";      \
    }                                                                              \
    for (const char* tool : {__VA_ARGS__}) {                                       \
      if (HaveTool(tool)) continue;                                                \
      if (InCi()) FAIL() << tool << " is missing; scripts/setup.sh installs it";   \
      GTEST_SKIP() << tool << " is missing (Debian packages util-linux, ntfs-3g)"; \
    }                                                                              \
  } while (0)

// A sparse file of `bytes` bytes attached as a loop device; detached and
// removed again however the test ends.
class LoopDevice {
 public:
  explicit LoopDevice(uint64_t bytes) {
    std::ofstream(file_).close();
    fs::resize_file(file_, bytes);
    Output attached = Sh("losetup -P --find --show " + file_.string());
    if (attached.status == 0) device_ = Trimmed(attached.text);
  }
  ~LoopDevice() {
    if (!device_.empty()) (void)Sh("losetup -d " + device_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  [[nodiscard]] const std::string& Device() const { return device_; }
  [[nodiscard]] std::string Name() const { return fs::path(device_).filename().string(); }
  // `n` bytes of the backing file from `offset`.
  [[nodiscard]] std::vector<uint8_t> Read(uint64_t offset, size_t n) const {
    std::vector<uint8_t> bytes(n);
    std::ifstream in(file_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(n));
    return bytes;
  }

 private:
  qelvar::testing::TempFolder folder_{"loop"};
  fs::path file_ = folder_.path() / "disk.img";
  std::string device_;
};

#define REQUIRE_ATTACHED(loop)                                                          \
  do {                                                                                  \
    if ((loop).Device().empty()) {                                                      \
      if (InCi()) FAIL() << "losetup could not attach a loop device";                   \
      GTEST_SKIP() << "losetup could not attach a loop device (no /dev/loop-control?)"; \
    }                                                                                   \
  } while (0)

std::vector<uint8_t> Slice(const std::vector<uint8_t>& s, size_t from, size_t n) {
  return {s.begin() + static_cast<ptrdiff_t>(from), s.begin() + static_cast<ptrdiff_t>(from + n)};
}

struct LoopCase {
  const char* name;
  uint64_t sectors;
  const char* entry1;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const LoopCase& c, std::ostream* os) {
  *os << c.name;
}

class LoopPartition : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LoopPartition, PartitionDiskWritesTheMbrThroughTheKernel) {
  REQUIRE_ROOT_AND_TOOLS("losetup");
  const LoopCase& c = GetParam();
  LoopDevice loop(c.sectors * 512);
  REQUIRE_ATTACHED(loop);
  platform::linux_backend::LinuxVolumeOps volumes;
  platform::VirtualClock clock(0x1'2345'6789);

  ASSERT_EQ(PartitionDisk(volumes, clock, loop.Device()), 0);

  std::vector<uint8_t> mbr = loop.Read(0, 512);
  EXPECT_EQ(Slice(mbr, 440, 4), Bytes("89 67 45 23")) << "disk signature";
  EXPECT_EQ(Slice(mbr, 446, 16), Bytes(c.entry1));
  EXPECT_EQ(Slice(mbr, 462, 48), std::vector<uint8_t>(48, 0)) << "entries 2 to 4 empty";
  EXPECT_EQ(Slice(mbr, 510, 2), Bytes("55 AA"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LoopPartition,
                         ::testing::Values(
                             // 100 MiB: 12 cylinders (192780 sectors) from sector 2048 fit.
                             LoopCase{"WholeCylinders", 204800,
                                      "00 20 21 00 07 20 20 0C 00 08 00 00 0C F1 02 00"},
                             // 8 cylinders and 1000 sectors: cut to end at the disk's last sector
                             // (127472 sectors).
                             LoopCase{"CutAtTheLastSector", 8 * 16065 + 1000,
                                      "00 20 21 00 07 0F 37 08 00 08 00 00 F0 F1 01 00"}),
                         [](const auto& p) { return std::string(p.param.name); });

// Answers for the loop device as for a fixed USB disk of the station.
class LoopIo final : public platform::DeviceIo {
 public:
  explicit LoopIo(std::string device) : device_(std::move(device)) {}
  std::unique_ptr<platform::DeviceHandle> Open(std::string_view path, platform::ShareMode mode,
                                               int* error) override {
    return fake_.Open(path, mode, error);  // USB, not removable
  }
  std::string DiskPath(uint32_t) const override { return device_; }

 private:
  std::string device_;
  qelvar::testing::FakeDeviceIo fake_;
};

// Some VM kernels are built without MBR partition support: BLKRRPART then
// finds no partition in the table we wrote. partx reads the same table in
// user space and adds its partitions, which is what such a kernel leaves
// undone; everything else is the real backend.
class PartxWhereTheKernelReadsNoMbr final : public platform::VolumeOps {
 public:
  PartxWhereTheKernelReadsNoMbr(platform::VolumeOps& inner, const LoopDevice& loop)
      : inner_(inner), loop_(loop) {}

  std::unique_ptr<platform::DiskHandle> OpenDisk(std::string_view path, int* error) override {
    return inner_.OpenDisk(path, error);
  }
  std::vector<platform::FixedVolume> ListFixedVolumes() override {
    fs::path partition = fs::path("/sys/block") / loop_.Name() / (loop_.Name() + "p1");
    if (++listings_ > 1 && !fs::exists(partition)) {
      usedPartx = true;
      partxStatus = Sh("partx -a " + loop_.Device()).status;
    }
    return inner_.ListFixedVolumes();
  }
  bool StartFormat(const platform::FixedVolume& volume, std::string_view label,
                   std::string* detail) override {
    return inner_.StartFormat(volume, label, detail);
  }
  std::vector<platform::FormatOutcome> CollectFinishedFormats() override {
    return inner_.CollectFinishedFormats();
  }
  size_t FormatsRunning() const override { return inner_.FormatsRunning(); }

  bool usedPartx = false;
  int partxStatus = 0;

 private:
  platform::VolumeOps& inner_;
  const LoopDevice& loop_;
  int listings_ = 0;
};

class RecordingSink final : public settings::MessageSink {
 public:
  void Show(std::string_view text, std::string_view, settings::MessageIcon) override {
    texts.emplace_back(text);
  }
  std::vector<std::string> texts;
};

TEST(LoopDeviceFormat, FormatDrivesLeavesAnNtfsVolumeLabelledWithThePortLetter) {
  REQUIRE_ROOT_AND_TOOLS("losetup", "mkntfs", "blkid", "partx");
  LoopDevice loop(204800 * 512);
  REQUIRE_ATTACHED(loop);

  // Station port 2 is hub port 3 of "hub-a" and holds the loop device; ports
  // 0 and 1 were numbered but held no drive at the last scan.
  qelvar::testing::FakeTopology topology;
  topology.Plug("hub-a", 3, 0);
  LoopIo io(loop.Device());
  discovery::PortState state;
  for (int port = 0; port < 3; ++port) {
    discovery::PortIdentity& e = state.gPortTable[static_cast<size_t>(port)];
    platform::CopyName(e.hubInstanceId, sizeof e.hubInstanceId, "hub-a");
    e.portIndex = static_cast<uint16_t>(port);
  }
  state.gPortsAssigned = 3;
  state.gPortCount = 3;
  platform::CopyName(state.gDeviceInfo[2].Path, sizeof state.gDeviceInfo[2].Path, loop.Device());
  state.gDeviceInfo[2].InterfaceType = discovery::kSatPath;

  platform::linux_backend::LinuxVolumeOps linuxVolumes;
  PartxWhereTheKernelReadsNoMbr volumes(linuxVolumes, loop);
  std::unique_ptr<platform::Clock> clock = platform::MakeScaledClock(0.1);
  RecordingSink sink;
  std::array<uint8_t, discovery::kPortCount> failed{};

  EXPECT_EQ(FormatDrives(state, topology, io, volumes, *clock, sink, failed), 2);
  EXPECT_EQ(WaitForFormats(volumes, *clock, sink, 60000), 0u);

  if (volumes.usedPartx) {
    std::printf("note: this kernel reads no MBR; partx added the partition (status %d)\n",
                volumes.partxStatus);
  }
  EXPECT_TRUE(sink.texts.empty()) << sink.texts.front();
  EXPECT_EQ(failed[0], 1);
  EXPECT_EQ(failed[1], 1);
  EXPECT_EQ(failed[2], 0);
  EXPECT_EQ(loop.Read(450, 1), Bytes("07"));
  // The NTFS boot sector at the partition's start (sector 2048).
  std::vector<uint8_t> oem = loop.Read(2048 * 512 + 3, 8);
  EXPECT_EQ(std::string(oem.begin(), oem.end()), "NTFS    ");
  std::string partition = loop.Device() + "p1";
  EXPECT_EQ(Trimmed(Sh("blkid -p -o value -s TYPE " + partition).text), "ntfs");
  EXPECT_EQ(Trimmed(Sh("blkid -p -o value -s LABEL " + partition).text), "UDISK-C");
}

}  // namespace
}  // namespace qelvar::format
