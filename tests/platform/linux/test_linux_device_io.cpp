#include <gtest/gtest.h>
#include <linux/capability.h>
#include <scsi/sg.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/linux_device_io.h"
#include "support/fake_device_io.h"
#include "support/temp_folder.h"

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

  // A PIO data-in asks for no registers: an AHCI controller may hand the
  // SATL an ending status with DRQ still set, and an IDENTIFY that delivered
  // its data would come back aborted (seen on QEMU's AHCI disk).
  AtaRequest read28;
  read28.current = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0};
  read28.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn;
  read28.length = 512;
  cdb = AtaPassThrough16Cdb(read28);
  EXPECT_EQ(std::vector<uint8_t>(cdb.begin(), cdb.end()),
            Bytes("85 08 0E 00 00 00 01 00 00 00 00 00 00 E0 EC 00"));

  // A DMA data-in keeps CK_COND: its error register (UNC) matters.
  AtaRequest dmaRead;
  dmaRead.previous = {0, 0, 0, 0, 0, 0xE0, 0x25, 0};
  dmaRead.current = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0x25, 0};
  dmaRead.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn | kAtaFlag48Bit | kAtaFlagUseDma;
  dmaRead.length = 512;
  cdb = AtaPassThrough16Cdb(dmaRead);
  EXPECT_EQ(std::vector<uint8_t>(cdb.begin(), cdb.end()),
            Bytes("85 0D 2E 00 00 00 01 00 00 00 00 00 00 E0 25 00"));

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
  // /sys/block/<name> -> devices/<devicePath>/block/<name>, with its removable flag.
  void AddDisk(const std::string& name, const std::string& devicePath, int removable) {
    fs::path target = root / "devices" / devicePath / "block" / name;
    fs::create_directories(target);
    std::ofstream(target / "removable") << removable << "\n";
    fs::create_directories(root / "block");
    fs::create_symlink(fs::path("../devices") / devicePath / "block" / name, root / "block" / name);
  }

  qelvar::testing::TempFolder folder{"sysfs"};
  const fs::path root = folder.path();
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

// --- What SG_IO hands back ---------------------------------------------------

// One literal kernel answer: the header fields SG_IO fills in, the sense bytes
// and the data-in bytes it leaves in the buffer.
struct KernelAnswer {
  int rc = 0;
  int error = 0;  // errno when rc is not 0
  uint8_t status = 0;
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  int resid = 0;
  std::vector<uint8_t> sense;
  uint8_t fill = 0;  // every data-in byte the kernel leaves
};

class SgIoTest : public ::testing::Test {
 protected:
  LinuxDeviceIo Io() {
    return LinuxDeviceIo("/sys", [this](int, sg_io_hdr* io) {
      seen = *io;
      if (answer.rc != 0) {
        errno = answer.error;
        return answer.rc;
      }
      io->status = answer.status;
      io->masked_status = static_cast<unsigned char>(answer.status >> 1);
      io->host_status = answer.hostStatus;
      io->driver_status = answer.driverStatus;
      io->resid = answer.resid;
      size_t n = std::min<size_t>(answer.sense.size(), io->mx_sb_len);
      if (n > 0) std::memcpy(io->sbp, answer.sense.data(), n);
      io->sb_len_wr = static_cast<unsigned char>(n);
      if (io->dxfer_direction == SG_DXFER_FROM_DEV && io->dxferp != nullptr) {
        std::memset(io->dxferp, answer.fill, io->dxfer_len);
      }
      return 0;
    });
  }

  ScsiResult Scsi(std::vector<uint8_t>* data) {
    LinuxDeviceIo io = Io();
    int error = 0;
    auto h = io.Open("/dev/null", ShareMode::SharedReadWrite, &error);
    EXPECT_NE(h, nullptr);
    if (!h) return {};
    ScsiRequest r;
    r.cdb = cdb;
    r.direction = DataDirection::In;
    r.data = data->data();
    r.length = static_cast<uint32_t>(data->size());
    r.timeoutSeconds = 5;
    return h->SendScsi(r);
  }

  AtaResult Ata(const TaskFile& current, std::vector<uint8_t>* data) {
    LinuxDeviceIo io = Io();
    int error = 0;
    auto h = io.Open("/dev/null", ShareMode::Exclusive, &error);
    EXPECT_NE(h, nullptr);
    if (!h) return {};
    AtaRequest r;
    r.current = current;
    r.flags = data->empty() ? 0 : kAtaFlagDrdyRequired | kAtaFlagDataIn;
    r.data = data->empty() ? nullptr : data->data();
    r.length = static_cast<uint32_t>(data->size());
    r.timeoutSeconds = 30;
    return h->SendAta(r);
  }

  std::vector<uint8_t> cdb = Bytes("A1 08 0B 00 01 00 00 00 E0 EC 00 00");
  KernelAnswer answer;
  sg_io_hdr seen{};
};

TEST_F(SgIoTest, OnlyHostAndDriverErrorsFailTheScsiRequest) {
  struct Case {
    const char* what;
    uint16_t host, driver;
    bool completed;
  };
  for (Case c : {Case{"clean", 0x00, 0x00, true},
                 Case{"sense data present (DRIVER_SENSE) is no error", 0x00, 0x08, true},
                 Case{"DID_ERROR: the device went away", 0x07, 0x00, false},
                 Case{"DID_TIME_OUT", 0x03, 0x08, false},
                 Case{"DRIVER_ERROR beside the sense flag", 0x00, 0x0C, false},
                 Case{"DRIVER_TIMEOUT", 0x00, 0x06, false}}) {
    SCOPED_TRACE(c.what);
    answer = KernelAnswer{};
    answer.status = 0x02;
    answer.hostStatus = c.host;
    answer.driverStatus = c.driver;
    answer.fill = 0xAB;
    std::vector<uint8_t> data(512, 0x11);
    ScsiResult r = Scsi(&data);
    EXPECT_EQ(r.completed, c.completed);
    EXPECT_EQ(r.errorCode, c.completed ? 0 : EIO);
    EXPECT_EQ(r.hostStatus, c.host);
    EXPECT_EQ(r.driverStatus, c.driver);
    // What a failed transport left in the buffer is never handed on.
    EXPECT_EQ(data[0], c.completed ? 0xAB : 0x00);
  }
  // The request as the kernel saw it.
  EXPECT_EQ(seen.interface_id, 'S');
  EXPECT_EQ(seen.cmd_len, 12);
  EXPECT_EQ(seen.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen.dxfer_len, 512u);
  EXPECT_EQ(seen.timeout, 5000u);
}

TEST_F(SgIoTest, ARefusedIoctlReportsItsErrorAndClearsTheData) {
  answer.rc = -1;
  answer.error = ENODEV;
  std::vector<uint8_t> data(512, 0x11);
  ScsiResult r = Scsi(&data);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.errorCode, ENODEV);
  EXPECT_EQ(data, std::vector<uint8_t>(512, 0));
  std::vector<uint8_t> ataData(512, 0x11);
  AtaResult a = Ata({0, 1, 0, 0, 0, 0xE0, 0xEC, 0}, &ataData);
  EXPECT_FALSE(a.completed);
  EXPECT_EQ(a.errorCode, ENODEV);
  EXPECT_EQ(ataData, std::vector<uint8_t>(512, 0));
}

TEST_F(SgIoTest, OnlyTheBytesTheKernelMovedAreKept) {
  // A rejected data-in on a uas disk left stale bytes although resid said 512.
  answer.fill = 0xAB;
  answer.resid = 100;
  std::vector<uint8_t> data(512, 0x11);
  ScsiResult r = Scsi(&data);
  ASSERT_TRUE(r.completed);
  EXPECT_EQ(r.transferred, 412u);
  EXPECT_EQ(std::count(data.begin(), data.begin() + 412, 0xAB), 412);
  EXPECT_EQ(std::count(data.begin() + 412, data.end(), 0x00), 100);

  answer.resid = 512;
  std::vector<uint8_t> ataData(512, 0x11);
  AtaResult a = Ata({0, 1, 0, 0, 0, 0xE0, 0xEC, 0}, &ataData);
  ASSERT_TRUE(a.completed);
  EXPECT_EQ(ataData, std::vector<uint8_t>(512, 0));

  answer.resid = 0x7FFFFFFF;  // more than was asked for
  ScsiResult over = Scsi(&data);
  EXPECT_EQ(over.transferred, 0u);
  EXPECT_EQ(data, std::vector<uint8_t>(512, 0));
}

TEST_F(SgIoTest, AtaRegistersComeFromTheSenseTheBridgeReturns) {
  struct Case {
    const char* what;
    const char* sense;
    uint8_t status, error, count, lbaLow, device;
  };
  const TaskFile sent = {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xE5, 0};
  for (Case c : {
           // CHECK POWER MODE through libata with CK_COND.
           Case{"descriptor, completed",
                "72 01 00 1D 00 00 00 0E 09 0C 00 00 00 FF 00 00 00 00 00 00 40 50", 0x50, 0x00,
                0xFF, 0x00, 0x40},
           Case{"descriptor, aborted",
                "72 0B 00 00 00 00 00 0E 09 0C 00 04 00 00 00 00 00 00 00 00 E0 51", 0x51, 0x04,
                0x00, 0x00, 0xE0},
           Case{"fixed, completed", "70 00 01 00 50 E0 01 0A 00 11 22 33 00 1D", 0x50, 0x00, 0x01,
                0x11, 0xE0},
           Case{"fixed, aborted", "70 00 01 04 51 A0 00 0A 00 00 00 00 00 1D", 0x51, 0x04, 0x00,
                0x00, 0xA0},
       }) {
    SCOPED_TRACE(c.what);
    answer = KernelAnswer{};
    answer.status = 0x02;
    answer.driverStatus = 0x08;
    answer.sense = Bytes(c.sense);
    std::vector<uint8_t> none;
    AtaResult a = Ata(sent, &none);
    ASSERT_TRUE(a.completed);
    EXPECT_EQ(a.current[kTaskCommand], c.status);
    EXPECT_EQ(a.current[kTaskFeatures], c.error);
    EXPECT_EQ(a.current[kTaskCount], c.count);
    EXPECT_EQ(a.current[kTaskLbaLow], c.lbaLow);
    EXPECT_EQ(a.current[kTaskDevice], c.device);
  }
}

TEST_F(SgIoTest, ACutOffStatusReturnIsMissingRegistersNeverZeros) {
  // usb-storage fetches 18 sense bytes from an older bridge and rewrites the
  // additional length: the descriptor's status byte is lost.
  const TaskFile sent = {0x00, 0x01, 0x02, 0x03, 0x04, 0xE0, 0xE5, 0};
  struct Case {
    const char* what;
    const char* sense;
    uint8_t status, error;
  };
  for (Case c :
       {Case{"completed", "72 01 00 1D 00 00 00 0A 09 0C 00 00 00 FF 00 00 00 00", 0x50, 0x00},
        Case{"aborted", "72 0B 00 00 00 00 00 0A 09 0C 00 04 00 00 00 00 00 00", 0x51, 0x04}}) {
    SCOPED_TRACE(c.what);
    TaskFile tf{};
    auto sense = Bytes(c.sense);
    EXPECT_FALSE(TaskFileFromSense(sense.data(), sense.size(), &tf));
    answer = KernelAnswer{};
    answer.status = 0x02;
    answer.driverStatus = 0x08;
    answer.sense = sense;
    std::vector<uint8_t> none;
    AtaResult a = Ata(sent, &none);
    ASSERT_TRUE(a.completed);
    // The outcome comes from the sense key; no register is read from the
    // cut-off descriptor (its count would have been FFh, its status zero).
    EXPECT_EQ(a.current[kTaskCommand], c.status);
    EXPECT_EQ(a.current[kTaskFeatures], c.error);
    EXPECT_EQ(a.current[kTaskCount], 0x01);
    EXPECT_EQ(a.current[kTaskLbaLow], 0x02);
  }
  // A rejection without any ATA information is an abort.
  answer = KernelAnswer{};
  answer.status = 0x02;
  answer.driverStatus = 0x08;
  answer.sense = Bytes("70 00 05 00 00 00 00 0A 00 00 00 00 20 00");
  std::vector<uint8_t> none;
  AtaResult a = Ata(sent, &none);
  EXPECT_EQ(a.current[kTaskCommand], 0x51);
  // A GOOD status without sense ran the command.
  answer.status = 0x00;
  answer.driverStatus = 0x00;
  answer.sense.clear();
  a = Ata(sent, &none);
  EXPECT_EQ(a.current[kTaskCommand], 0x50);
}

TEST_F(SgIoTest, HostAndDriverErrorsFailTheAtaRequest) {
  for (uint16_t host : {uint16_t{0x03}, uint16_t{0x07}}) {
    answer = KernelAnswer{};
    answer.hostStatus = host;
    answer.fill = 0xAB;
    std::vector<uint8_t> data(512, 0x11);
    AtaResult a = Ata({0, 1, 0, 0, 0, 0xE0, 0xEC, 0}, &data);
    EXPECT_FALSE(a.completed) << host;
    EXPECT_EQ(a.errorCode, EIO);
    EXPECT_EQ(data, std::vector<uint8_t>(512, 0));
  }
  answer = KernelAnswer{};
  answer.driverStatus = 0x08 | 0x04;
  std::vector<uint8_t> none;
  EXPECT_FALSE(Ata({0, 0, 0, 0, 0, 0xE0, 0xE5, 0}, &none).completed);
}

// --- Who may send vendor commands --------------------------------------------

// Runs `body` in a child process (capabilities are changed there only) and
// returns its exit code.
int InChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Replaces the `mask` bits of the calling thread's effective set with those
// of `value` (within what it is permitted).
bool SetEffective(uint64_t mask, uint64_t value) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  uint64_t effective = data[0].effective | static_cast<uint64_t>(data[1].effective) << 32;
  effective = (effective & ~mask) | (value & mask);
  data[0].effective = static_cast<uint32_t>(effective);
  data[1].effective = static_cast<uint32_t>(effective >> 32);
  return ::syscall(SYS_capset, &header, data) == 0;
}

constexpr uint64_t kRawIo = uint64_t{1} << CAP_SYS_RAWIO;

TEST(VendorCommandRights, FollowCapSysRawioNotTheUserId) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand capabilities out";
  // Root whose CAP_SYS_RAWIO was dropped (a container, a bounding set).
  EXPECT_EQ(InChild([] {
              if (!SetEffective(kRawIo, 0)) return 10;
              std::string why;
              if (CanSendVendorCommands(&why)) return 1;
              return why.find("cap_sys_rawio") != std::string::npos ? 0 : 2;
            }),
            0);
  // Not root, but granted cap_sys_rawio.
  EXPECT_EQ(InChild([] {
              if (::prctl(PR_SET_KEEPCAPS, 1) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                  ::setresuid(65534, 65534, 65534) != 0 || !SetEffective(~uint64_t{0}, kRawIo)) {
                return 10;
              }
              std::string why;
              return CanSendVendorCommands(&why) && why.empty() ? 0 : 1;
            }),
            0);
  // Neither.
  EXPECT_EQ(InChild([] {
              if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                return 10;
              }
              std::string why;
              return CanSendVendorCommands(&why) ? 1 : 0;
            }),
            0);
  std::string why;
  EXPECT_TRUE(CanSendVendorCommands(&why)) << "root with its full set";
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
