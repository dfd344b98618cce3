#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/format_drives.h"
#include "platform/clock.h"
#include "platform/windows/fake_win32.h"
#include "platform/windows/win_volume_ops.h"

namespace qelvar::platform::windows {
namespace {

using testing::Bytes;
using testing::FakeWin32;
using testing::Put32;

TEST(DriveLayoutBlock, IsLaidOutByteForByte) {
  DriveLayout layout;
  layout.signature = 0x12345678;
  layout.entries[0] = {0x07, false, true, true, 1, 0x100000, 0x123456000ull, 2048};
  for (size_t i = 1; i < kMbrEntries; ++i) layout.entries[i].rewrite = true;
  Bytes block = EncodeDriveLayout(layout);
  ASSERT_EQ(block.size(), 48u + 4 * 144u);
  const Bytes header = {0x00, 0x00, 0x00, 0x00,   // MBR
                        0x04, 0x00, 0x00, 0x00,   // 4 entries
                        0x78, 0x56, 0x34, 0x12};  // signature
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 12), header);
  EXPECT_EQ(Bytes(block.begin() + 12, block.begin() + 48), Bytes(36, 0));
  const Bytes first = {
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // MBR entry, alignment
      0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00,  // starts at 1 MiB (sector 2048)
      0x00, 0x60, 0x45, 0x23, 0x01, 0x00, 0x00, 0x00,  // length
      0x01, 0x00, 0x00, 0x00,                          // partition number 1
      0x01, 0x00, 0x00, 0x00,                          // rewrite
      0x07, 0x00, 0x01, 0x00,                          // NTFS, not bootable, recognised
      0x00, 0x08, 0x00, 0x00};                         // 2048 hidden sectors
  EXPECT_EQ(Bytes(block.begin() + 48, block.begin() + 88), first);
  EXPECT_EQ(Bytes(block.begin() + 88, block.begin() + 192), Bytes(104, 0));
  for (size_t i = 1; i < kMbrEntries; ++i) {
    const size_t at = 48 + 144 * i;
    Bytes empty(40, 0);
    empty[28] = 0x01;  // rewritten as empty
    EXPECT_EQ(
        Bytes(block.begin() + static_cast<long>(at), block.begin() + static_cast<long>(at) + 40),
        empty)
        << i;
  }
}

class WinVolumeOpsTest : public ::testing::Test {
 protected:
  static constexpr const char* kDrive = "\\\\.\\PhysicalDrive3";
  void SetUp() override {
    auto& d = fake.devices[kDrive].answers;
    d[{IOCTL_DISK_CREATE_DISK, 0}] = {true, {}, 0};
    d[{IOCTL_DISK_UPDATE_PROPERTIES, 0}] = {true, {}, 0};
    // 1000 cylinders of 255 x 63 sectors of 512 bytes, fixed medium.
    Bytes geometry;
    Put32(geometry, 0, 1000);
    Put32(geometry, 4, 0);
    Put32(geometry, 8, 12);
    Put32(geometry, 12, 255);
    Put32(geometry, 16, 63);
    Put32(geometry, 20, 512);
    d[{IOCTL_DISK_GET_DRIVE_GEOMETRY, 0}] = {true, geometry, 0};
    Bytes length;
    Put32(length, 0, 0xEA6A7000);  // 8,229,900,288 bytes: a little more than the cylinders
    Put32(length, 4, 1);
    d[{IOCTL_DISK_GET_LENGTH_INFO, 0}] = {true, length, 0};
    d[{IOCTL_DISK_SET_DRIVE_LAYOUT_EX, 0}] = {true, {}, 0};
  }
  FakeWin32 fake;
  WinVolumeOps volumes{fake};
};

TEST_F(WinVolumeOpsTest, PartitioningSendsTheFourDiskRequestsInOrder) {
  VirtualClock clock(0x5F5E1000);
  EXPECT_EQ(format::PartitionDisk(volumes, clock, kDrive), format::kPartitioned);
  ASSERT_EQ(fake.opens.size(), 1u);
  EXPECT_EQ(fake.opens[0].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(fake.opens[0].share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
  std::vector<DWORD> codes;
  for (const auto& c : fake.calls) codes.push_back(c.code);
  EXPECT_EQ(codes, (std::vector<DWORD>{0x0007C058, 0x00070140, 0x00070000,
                                       IOCTL_DISK_GET_LENGTH_INFO, 0x0007C054, 0x00070140}));
  // CREATE_DISK: MBR with the calendar's signature.
  Bytes create(24, 0);
  Put32(create, 4, 0x5F5E1000);
  EXPECT_EQ(fake.calls[0].in, create);
  // The layout: one NTFS partition from sector 2048 over the whole cylinders.
  const Bytes& layout = fake.calls[4].in;
  ASSERT_EQ(layout.size(), 624u);
  EXPECT_EQ(layout[8], 0x00);
  EXPECT_EQ(layout[48 + 10], 0x10);  // 1 MiB
  EXPECT_EQ(layout[48 + 32], 0x07);
  EXPECT_EQ(fake.openHandles, 0);
}

TEST_F(WinVolumeOpsTest, EachFailingStepGivesItsNumberAndTheSystemsError) {
  VirtualClock clock;
  std::vector<std::string> lines;
  auto log = [&](std::string_view line) { lines.emplace_back(line); };
  EXPECT_EQ(format::PartitionDisk(volumes, clock, "\\\\.\\PhysicalDrive9", log),
            format::kOpenFailed);
  EXPECT_EQ(lines.back(), "CreateFile() Error:2 \r\n");
  fake.devices[kDrive].answers[{IOCTL_DISK_GET_DRIVE_GEOMETRY, 0}] = {false, {}, ERROR_NOT_READY};
  EXPECT_EQ(format::PartitionDisk(volumes, clock, kDrive, log), format::kGeometryFailed);
  EXPECT_EQ(lines.back(), "IOCTL_DISK_GET_DRIVE_GEOMETRY Error:21 \r\n");
  EXPECT_EQ(fake.openHandles, 0);
  int error = 0;
  EXPECT_FALSE(volumes.OpenDisk("", &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(WinVolumeOpsTest, GeometryTakesTheDisksLengthWhereTheSystemTellsIt) {
  int error = 0;
  auto disk = volumes.OpenDisk(kDrive, &error);
  ASSERT_TRUE(disk);
  DiskGeometry g;
  ASSERT_TRUE(disk->GetGeometry(&g, &error));
  EXPECT_EQ(g.cylinders, 1000u);
  EXPECT_EQ(g.tracksPerCylinder, 255u);
  EXPECT_EQ(g.sectorsPerTrack, 63u);
  EXPECT_EQ(g.bytesPerSector, 512u);
  EXPECT_EQ(g.diskBytes, 0x1EA6A7000ull);
  fake.devices[kDrive].answers.erase({IOCTL_DISK_GET_LENGTH_INFO, 0});
  ASSERT_TRUE(disk->GetGeometry(&g, &error));
  EXPECT_EQ(g.diskBytes, 1000ull * 255 * 63 * 512);
}

TEST_F(WinVolumeOpsTest, FixedVolumesAreTiedToTheirDisks) {
  fake.logicalDrives = 0b111100;  // C D E F
  fake.driveTypes = {
      {'C', DRIVE_FIXED}, {'D', DRIVE_CDROM}, {'E', DRIVE_FIXED}, {'F', DRIVE_FIXED}};
  Bytes number;
  Put32(number, 0, FILE_DEVICE_DISK);
  Put32(number, 4, 0);
  Put32(number, 8, 1);
  fake.devices["\\\\.\\C:"].answers[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, number, 0};
  Put32(number, 4, 3);
  fake.devices["\\\\.\\E:"].answers[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, number, 0};
  std::vector<FixedVolume> v = volumes.ListFixedVolumes();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].name, "C:");
  EXPECT_EQ(v[0].disk, "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(v[1].name, "E:");
  EXPECT_EQ(v[1].letter, 'E');
  EXPECT_EQ(v[1].disk, kDrive);
  EXPECT_EQ(v[2].name, "F:");
  EXPECT_EQ(v[2].disk, "");  // its disk cannot be told: never formatted
  EXPECT_EQ(fake.openHandles, 0);
}

TEST_F(WinVolumeOpsTest, TheDisksMountedVolumesAreDismountedBeforeItIsRepartitioned) {
  fake.logicalDrives = 0b110100;  // C E F
  fake.driveTypes = {{'C', DRIVE_FIXED}, {'E', DRIVE_FIXED}, {'F', DRIVE_REMOVABLE}};
  Bytes number;
  Put32(number, 0, FILE_DEVICE_DISK);
  Put32(number, 8, 1);
  for (auto [letter, disk] : {std::pair{'C', 0u}, std::pair{'E', 3u}, std::pair{'F', 3u}}) {
    Put32(number, 4, disk);
    auto& v = fake.devices[std::string("\\\\.\\") + letter + ":"].answers;
    v[{IOCTL_STORAGE_GET_DEVICE_NUMBER, 0}] = {true, number, 0};
    v[{FSCTL_LOCK_VOLUME, 0}] = {true, {}, 0};
    v[{FSCTL_DISMOUNT_VOLUME, 0}] = {true, {}, 0};
  }
  // E: is held open elsewhere: it cannot be locked, and is dismounted all the same.
  fake.devices["\\\\.\\E:"].answers[{FSCTL_LOCK_VOLUME, 0}] = {false, {}, ERROR_ACCESS_DENIED};
  VirtualClock clock(0x5F5E1000);
  EXPECT_EQ(format::PartitionDisk(volumes, clock, kDrive), format::kPartitioned);
  std::vector<std::string> dismounted;
  size_t firstDiskRequest = fake.calls.size();
  for (size_t i = 0; i < fake.calls.size(); ++i) {
    if (fake.calls[i].code == FSCTL_DISMOUNT_VOLUME) dismounted.push_back(fake.calls[i].device);
    if (fake.calls[i].code == IOCTL_DISK_CREATE_DISK) firstDiskRequest = std::min(firstDiskRequest, i);
  }
  EXPECT_EQ(dismounted, (std::vector<std::string>{"\\\\.\\E:", "\\\\.\\F:"}));
  EXPECT_EQ(fake.calls.back().code, DWORD{IOCTL_DISK_UPDATE_PROPERTIES});
  EXPECT_GT(firstDiskRequest, 0u);
  EXPECT_EQ(fake.calls[firstDiskRequest - 1].code, DWORD{FSCTL_DISMOUNT_VOLUME});
  EXPECT_EQ(fake.openHandles, 0);  // held to the end, then closed

  // A volume that cannot be dismounted leaves the disk alone.
  fake.devices["\\\\.\\F:"].answers[{FSCTL_DISMOUNT_VOLUME, 0}] = {false, {}, ERROR_ACCESS_DENIED};
  fake.calls.clear();
  int error = 0;
  EXPECT_FALSE(volumes.OpenDisk(kDrive, &error));
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  for (const auto& c : fake.calls) EXPECT_NE(c.code, DWORD{IOCTL_DISK_CREATE_DISK});
  EXPECT_EQ(fake.openHandles, 0);
}

TEST_F(WinVolumeOpsTest, FormatRunsHiddenAndItsExitStatusIsCollected) {
  FixedVolume e{"E:", kDrive, "E:", 'E'};
  FixedVolume g{"G:", "\\\\.\\PhysicalDrive4", "G:", 'G'};
  std::string detail;
  ASSERT_TRUE(volumes.StartFormat(e, "UDISK-E", &detail));
  ASSERT_TRUE(volumes.StartFormat(g, "UDISK-G", &detail));
  EXPECT_EQ(fake.shellFiles.at(0), "CMD.EXE");
  EXPECT_EQ(fake.shellParameters.at(0),
            "/C \"echo \\n | format.com E: /force/q/u/x/a:64K/V:UDISK-E/FS:NTFS\"");
  EXPECT_EQ(fake.shellShow, SW_HIDE);
  EXPECT_TRUE(volumes.CollectFinishedFormats().empty());
  EXPECT_EQ(volumes.FormatsRunning(), 2u);

  fake.exitCodes[1] = 4;
  std::vector<FormatOutcome> ended = volumes.CollectFinishedFormats();
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].volume, "G:");
  EXPECT_FALSE(ended[0].succeeded);
  EXPECT_EQ(ended[0].detail, "format ended with exit status 4");
  fake.exitCodes[0] = 0;
  ended = volumes.CollectFinishedFormats();
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended[0].succeeded);
  EXPECT_EQ(ended[0].label, "UDISK-E");
  EXPECT_EQ(volumes.FormatsRunning(), 0u);
  EXPECT_EQ(fake.openHandles, 0);  // both processes' handles released
}

TEST_F(WinVolumeOpsTest, NothingUnsafeReachesTheCommandInterpreter) {
  std::string detail;
  FixedVolume e{"E:", kDrive, "E:", 'E'};
  EXPECT_FALSE(volumes.StartFormat(e, "X\" & del *", &detail));
  EXPECT_FALSE(detail.empty());
  FixedVolume noLetter{"sdb1", kDrive, "/dev/sdb1", 0};
  EXPECT_FALSE(volumes.StartFormat(noLetter, "UDISK-A", &detail));
  EXPECT_FALSE(volumes.StartFormat(e, std::string(33, 'A'), &detail));
  EXPECT_TRUE(fake.shellParameters.empty());

  fake.shellFails = true;
  EXPECT_FALSE(volumes.StartFormat(e, "UDISK-E", &detail));
  EXPECT_EQ(detail, "cannot start CMD.EXE: error 2");
  EXPECT_EQ(volumes.FormatsRunning(), 0u);
}

}  // namespace
}  // namespace qelvar::platform::windows
