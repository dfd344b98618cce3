#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/linux_device_io.h"
#include "support/fake_device_io.h"

namespace qelvar::platform::linux_backend {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;

TEST(SdName, CountsLikeTheKernel) {
  EXPECT_EQ(SdName(0), "sda");
  EXPECT_EQ(SdName(1), "sdb");
  EXPECT_EQ(SdName(25), "sdz");
  EXPECT_EQ(SdName(26), "sdaa");
  EXPECT_EQ(SdName(27), "sdab");
  EXPECT_EQ(SdName(701), "sdzz");
  EXPECT_EQ(SdName(702), "sdaaa");
  LinuxDeviceIo io;
  EXPECT_EQ(io.DiskPath(3), "/dev/sdd");
}

TEST(AtaPassThroughCdb, CarriesBothTaskFilesWithCheckCondition) {
  AtaRequest r;
  r.previous = {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0};
  r.current = {0xFC, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0};
  r.flags = kAtaFlagDrdyRequired | kAtaFlagDataOut | kAtaFlag48Bit;
  r.length = 512;
  auto cdb = AtaPassThrough16Cdb(r);
  // PIO data-out, extend; CK_COND, BYTE_BLOCK, length in the count field.
  EXPECT_EQ(std::vector<uint8_t>(cdb.begin(), cdb.end()),
            Bytes("85 0B 26 00 FC 00 01 00 00 00 00 00 00 E0 FF 00"));

  AtaRequest read28;
  read28.current = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0};
  read28.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn;
  read28.length = 512;
  cdb = AtaPassThrough16Cdb(read28);
  EXPECT_EQ(std::vector<uint8_t>(cdb.begin(), cdb.end()),
            Bytes("85 08 2E 00 00 00 01 00 00 00 00 00 00 E0 EC 00"));

  AtaRequest nonData;
  nonData.current = {0x0F, 0, 0, 0, 0, 0xE0, 0x92, 0};
  cdb = AtaPassThrough16Cdb(nonData);
  EXPECT_EQ(std::vector<uint8_t>(cdb.begin(), cdb.end()),
            Bytes("85 06 20 00 0F 00 00 00 00 00 00 00 00 E0 92 00"));
}

TEST(TaskFileFromSense, ReadsTheAtaStatusReturnDescriptor) {
  // Descriptor sense as libata answers CHECK POWER MODE with CK_COND.
  auto sense = Bytes("72 01 00 1D 00 00 00 0E 09 0C 00 00 00 FF 00 00 00 00 00 00 40 50");
  TaskFile tf{};
  ASSERT_TRUE(TaskFileFromSense(sense.data(), sense.size(), &tf));
  EXPECT_EQ(tf[kTaskCommand], 0x50);
  EXPECT_EQ(tf[kTaskFeatures], 0x00);
  EXPECT_EQ(tf[kTaskCount], 0xFF);
  EXPECT_EQ(tf[kTaskDevice], 0x40);
}

TEST(TaskFileFromSense, ReadsFixedFormatPassThroughInformation) {
  auto sense = Bytes("70 00 01 04 51 E0 01 0A 00 11 22 33 00 1D");
  TaskFile tf{};
  ASSERT_TRUE(TaskFileFromSense(sense.data(), sense.size(), &tf));
  EXPECT_EQ(tf[kTaskFeatures], 0x04);
  EXPECT_EQ(tf[kTaskCommand], 0x51);
  EXPECT_EQ(tf[kTaskLbaMid], 0x22);
}

TEST(TaskFileFromSense, IllegalRequestCarriesNoRegisters) {
  // What a bridge without SAT support answers.
  auto sense = Bytes("70 00 05 00 00 00 00 0A 00 00 00 00 20 00");
  TaskFile tf{};
  EXPECT_FALSE(TaskFileFromSense(sense.data(), sense.size(), &tf));
  auto truncated = Bytes("72 01 00 1D 00 00 00 0E 09 0C 00");
  EXPECT_FALSE(TaskFileFromSense(truncated.data(), truncated.size(), &tf));
}

class StorageDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("qelvar-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
  }
  void TearDown() override { fs::remove_all(root); }

  // /sys/block/<name> -> devices/<devicePath>/block/<name>, with its removable flag.
  void AddDisk(const std::string& name, const std::string& devicePath, int removable) {
    fs::path target = root / "devices" / devicePath / "block" / name;
    fs::create_directories(target);
    std::ofstream(target / "removable") << removable << "\n";
    fs::create_directories(root / "block");
    fs::create_symlink(fs::path("../devices") / devicePath / "block" / name, root / "block" / name);
  }

  fs::path root;
};

TEST_F(StorageDescriptorTest, UsbAncestryAndRemovableFlagComeFromSysfs) {
  AddDisk("sdb", "pci0000:00/0000:00:05.0/usb1/1-1/1-1.2/1-1.2:1.0/host8/target8:0:0/8:0:0:0", 0);
  AddDisk("sdc", "pci0000:00/0000:00:05.0/usb1/1-1/1-1.5/1-1.5:1.0/host9/target9:0:0/9:0:0:0", 1);
  AddDisk("sda", "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", 0);
  LinuxDeviceIo io(root.string());
  struct Case {
    const char* name;
    BusType bus;
    bool removable;
  };
  for (Case c : {Case{"sdb", BusType::Usb, false}, Case{"sdc", BusType::Usb, true},
                 Case{"sda", BusType::Other, false}}) {
    StorageDescriptor d;
    int error = 0;
    // Query through a path whose last component names the disk.
    fs::create_directories(root / "dev");
    std::ofstream(root / "dev" / c.name).put('\0');
    auto disk = io.Open((root / "dev" / c.name).string(), ShareMode::SharedReadWrite, &error);
    ASSERT_NE(disk, nullptr) << c.name;
    ASSERT_TRUE(disk->QueryStorageDescriptor(&d)) << c.name;
    EXPECT_EQ(d.busType, c.bus) << c.name;
    EXPECT_EQ(d.removableMedia, c.removable) << c.name;
  }
}

TEST_F(StorageDescriptorTest, UnknownDiskHasNoDescriptor) {
  LinuxDeviceIo io(root.string());
  fs::create_directories(root / "dev");
  std::ofstream(root / "dev" / "sdq").put('\0');
  int error = 0;
  auto disk = io.Open((root / "dev" / "sdq").string(), ShareMode::SharedReadWrite, &error);
  ASSERT_NE(disk, nullptr);
  StorageDescriptor d;
  EXPECT_FALSE(disk->QueryStorageDescriptor(&d));
}

TEST(LinuxOpen, MissingOrEmptyPathFailsWithAnError) {
  LinuxDeviceIo io;
  int error = 0;
  EXPECT_EQ(io.Open("", ShareMode::SharedReadWrite, &error), nullptr);
  EXPECT_NE(error, 0);
  EXPECT_EQ(io.Open("/dev/qelvar-no-such-disk", ShareMode::Exclusive, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
