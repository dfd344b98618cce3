// PartitionDisk on the simulated VolumeOps: the layout it writes and the
// result code and diagnostic line of every step that can fail.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/sim/sim_volume_ops.h"

namespace qelvar::format {
namespace {

using platform::sim::SimVolumeOps;
using Step = SimVolumeOps::Step;

constexpr int64_t kCalendar = 0x1'2345'6789;  // the signature keeps the low 32 bits

struct PartitionCase {
  const char* name;
  uint64_t sectors;
  uint32_t sectorBytes;
  uint64_t expectStart;
  uint64_t expectLength;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const PartitionCase& c, std::ostream* os) {
  *os << c.name;
}

class PartitionLayout : public ::testing::TestWithParam<PartitionCase> {};

TEST_P(PartitionLayout, OnePartitionOfType07hFromSector2048OverTheWholeCylinders) {
  const PartitionCase& c = GetParam();
  SimVolumeOps volumes;
  volumes.AddDisk("/sim/disk1", c.sectors * c.sectorBytes, c.sectorBytes);
  platform::VirtualClock clock(kCalendar);

  ASSERT_EQ(PartitionDisk(volumes, clock, "/sim/disk1"), 0);

  std::optional<platform::DriveLayout> layout = volumes.Layout("/sim/disk1");
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->signature, 0x23456789u);
  const platform::PartitionEntry& first = layout->entries[0];
  EXPECT_EQ(first.type, 0x07);
  EXPECT_EQ(first.number, 1u);
  EXPECT_FALSE(first.bootable);
  EXPECT_TRUE(first.recognized);
  EXPECT_EQ(first.hiddenSectors, 2048u);
  EXPECT_EQ(first.startOffset, c.expectStart);
  EXPECT_EQ(first.length, c.expectLength);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(layout->entries[i].type, 0x00) << "entry " << i + 1;
  EXPECT_EQ(clock.Now(), 3000u);
}

INSTANTIATE_TEST_SUITE_P(
    Disks, PartitionLayout,
    ::testing::Values(
        // 1 TB: 121601 cylinders of 16065 sectors, 5103 sectors to spare.
        PartitionCase{"OneTerabyte", 1953525168, 512, 1048576, 1000202273280},
        // 15566 cylinders end 1890 sectors before the disk does: the
        // partition starting at 2048 is cut at the last sector.
        PartitionCase{"CylindersPastTheEndAreCut", 250069680, 512, 1048576, 128034627584},
        // 4 KiB sectors: sector 2048 is 8 MiB in; 105 cylinders fit.
        PartitionCase{"FourKibSectors", 1700000, 4096, 8388608, 105ull * 16065 * 4096},
        // 3 TB: an MBR entry counts at most 2^32 - 1 sectors.
        PartitionCase{"BeyondWhatAnMbrCounts", 5860533168, 512, 1048576, 2199023255040}),
    [](const auto& p) { return std::string(p.param.name); });

struct FailureCase {
  const char* name;
  Step step;
  uint32_t nth;
  int result;
  const char* line;
};

// How a case shows in the test listing (not as raw bytes).
inline void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PartitionFailure : public ::testing::TestWithParam<FailureCase> {};

// The line goes to the caller's diagnostics and the log, never to standard
// output, which a line tool keeps for its table or JSON.
TEST_P(PartitionFailure, ReturnsTheStepsNumberAndSendsItsLineToTheSinksOnly) {
  const FailureCase& c = GetParam();
  SimVolumeOps volumes;
  volumes.AddDisk("/sim/disk1", 250069680ull * 512);
  volumes.Fail("/sim/disk1", c.step, 13, c.nth);
  platform::VirtualClock clock;
  std::vector<std::string> log;
  std::vector<std::string> diagnostics;

  ::testing::internal::CaptureStdout();
  int result = PartitionDisk(
      volumes, clock, "/sim/disk1", [&](std::string_view line) { log.emplace_back(line); },
      [&](std::string_view line) { diagnostics.emplace_back(line); });
  std::string printed = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(log, std::vector<std::string>{c.line});
  EXPECT_EQ(diagnostics, std::vector<std::string>{c.line});
  EXPECT_EQ(clock.Now(), 0u) << "no settling pause after a failure";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PartitionFailure,
    ::testing::Values(FailureCase{"Open", Step::kOpen, 0, 2, "CreateFile() Error:13 \r\n"},
                      FailureCase{"CreateDisk", Step::kCreateDisk, 0, 3,
                                  "IOCTL_DISK_CREATE_DISK Error:13 \r\n"},
                      FailureCase{"FirstUpdate", Step::kUpdateProperties, 1, 4,
                                  "IOCTL_DISK_UPDATE_PROPERTIES Error:13 \r\n"},
                      FailureCase{"Geometry", Step::kGeometry, 0, 5,
                                  "IOCTL_DISK_GET_DRIVE_GEOMETRY Error:13 \r\n"},
                      FailureCase{"Layout", Step::kSetLayout, 0, 6,
                                  "IOCTL_DISK_SET_DRIVE_LAYOUT_EX Error:13 \r\n"},
                      FailureCase{"SecondUpdate", Step::kUpdateProperties, 2, 7,
                                  "IOCTL_DISK_UPDATE_PROPERTIES Error:13 \r\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(PartitionDisk, DiskTooSmallForTheLayoutFailsAtTheLayoutWithoutALine) {
  SimVolumeOps volumes;
  volumes.AddDisk("/sim/disk1", 2048 * 512);  // nothing after sector 2048
  platform::VirtualClock clock;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(PartitionDisk(volumes, clock, "/sim/disk1"), 6);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  // The empty table written first stays: the drive has no partition.
  ASSERT_TRUE(volumes.Layout("/sim/disk1"));
  EXPECT_EQ(volumes.Layout("/sim/disk1")->entries[0].type, 0x00);
}

}  // namespace
}  // namespace qelvar::format
