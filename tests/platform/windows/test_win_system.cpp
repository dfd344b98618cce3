// The backend against the system itself (a Windows machine, or Wine in CI):
// files, the tick, the device-change window, and what the system answers for
// a disk that does not carry pass-through requests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/windows/win_clock.h"
#include "platform/windows/win_device_io.h"
#include "platform/windows/win_device_monitor.h"
#include "platform/windows/win_volume_ops.h"
#include "support/temp_folder.h"

#undef ReplaceFile

namespace qelvar::platform::windows {
namespace {

namespace fs = std::filesystem;

using qelvar::testing::TempFolder;

size_t Entries(const TempFolder& folder) {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()));
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WinFiles, ExecutableDirIsTheFolderOfThisProgram) {
  std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '\\');
  EXPECT_TRUE(fs::is_directory(dir));
  char self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  EXPECT_EQ(std::string(self).substr(0, dir.size() + 1), dir + "\\");
}

TEST(WinFiles, ReplaceKeepsTheFilesAttributesAndLeavesNoAsideFile) {
  TempFolder folder;
  std::string path = folder / "speedQelvar.ini";
  ASSERT_TRUE(ReplaceFile(path, "first\r\n"));
  EXPECT_EQ(Read(path), "first\r\n");
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(ReplaceFile(path, std::string(100000, 'x')));
  EXPECT_EQ(Read(path).size(), 100000u);
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Entries(folder), 1u);

  // A file that cannot be replaced stays as it was, and so does the folder.
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string before = Read(path);
  (void)ReplaceFile(path, "lost");
  if (Read(path) != "lost") {
    EXPECT_EQ(Read(path), before);
  }
  EXPECT_EQ(Entries(folder), 1u);
  EXPECT_FALSE(ReplaceFile(folder / "missing\\sub\\file.txt", "x"));
  EXPECT_FALSE(ReplaceFile("", "x"));
}

TEST(WinFiles, AppendAddsAndMakeFolderAcceptsAnExistingName) {
  TempFolder folder;
  std::string path = folder / "0_RDT.txt";
  ASSERT_TRUE(AppendToFile(path, "one\r\n"));
  ASSERT_TRUE(AppendToFile(path, "two\r\n"));
  EXPECT_EQ(Read(path), "one\r\ntwo\r\n");
  std::string dbug = folder / "dbug";
  EXPECT_TRUE(MakeFolder(dbug));
  EXPECT_TRUE(MakeFolder(dbug));
  EXPECT_TRUE(MakeFolder(path));  // a file of that name is left alone
  EXPECT_EQ(Read(path), "one\r\ntwo\r\n");
  EXPECT_FALSE(MakeFolder(folder / "no\\such\\parent"));
}

TEST(WinClock, TickFollowsTheSystemTick) {
  auto clock = MakeTickCountClock();
  uint32_t before = clock->TickMs();
  clock->SleepMs(50);
  uint32_t elapsed = clock->TickMs() - before;
  EXPECT_GE(elapsed, 20u);  // milliseconds, at the tick's resolution of 10-16 ms
  EXPECT_LT(elapsed, 5000u);
  EXPECT_GT(clock->CalendarSeconds(), 1'600'000'000);
}

TEST(WinDeviceMonitor, StartsAndStopsPromptly) {
  WinDeviceMonitor monitor;
  std::string why;
  ASSERT_TRUE(monitor.Start([](DeviceChange, const std::string&) {}, &why)) << why;
  auto start = std::chrono::steady_clock::now();
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  monitor.Stop();  // a second stop does nothing
}

// A DEV_BROADCAST_DEVICEINTERFACE_A for a disk, as the system sends it.
std::vector<uint8_t> DiskBroadcast(const std::string& name, const GUID& cls) {
  std::vector<uint8_t> b(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1, 0);
  DEV_BROADCAST_DEVICEINTERFACE_A head{};
  head.dbcc_size = static_cast<DWORD>(b.size());
  head.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  head.dbcc_classguid = cls;
  std::memcpy(b.data(), &head, offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name));
  std::memcpy(b.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), name.c_str(),
              name.size() + 1);
  return b;
}

TEST(WinDeviceMonitor, DiskArrivalsAndRemovalsAreRecognised) {
  const std::string name =
      "\\\\?\\USBSTOR#Disk&Ven_Qelvar#0001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  std::vector<uint8_t> disk = DiskBroadcast(name, kDiskInterfaceClass);
  std::string device;
  EXPECT_EQ(ClassifyDeviceChange(DBT_DEVICEARRIVAL, disk.data(), disk.size(), &device),
            DeviceChange::Arrival);
  EXPECT_EQ(device, name);
  EXPECT_EQ(ClassifyDeviceChange(DBT_DEVICEREMOVECOMPLETE, disk.data(), disk.size(), &device),
            DeviceChange::Removal);
  // Other events, other classes, and a message cut short are nothing.
  EXPECT_FALSE(ClassifyDeviceChange(DBT_DEVNODES_CHANGED, disk.data(), disk.size(), &device));
  std::vector<uint8_t> usb = DiskBroadcast(name, kUsbDeviceInterfaceClass);
  EXPECT_FALSE(ClassifyDeviceChange(DBT_DEVICEARRIVAL, usb.data(), usb.size(), &device));
  EXPECT_FALSE(ClassifyDeviceChange(DBT_DEVICEARRIVAL, disk.data(), 12, &device));
  // A name without its terminator is read only as far as the message goes.
  disk.pop_back();
  disk.back() = 'X';
  ASSERT_TRUE(ClassifyDeviceChange(DBT_DEVICEARRIVAL, disk.data(), disk.size(), &device));
  EXPECT_EQ(device.size(), name.size());
}

TEST(WinSystem, ADiskWithoutPassThroughRefusesTheRequests) {
  // Wine's placeholder disk opens but carries no pass-through request; on a
  // Windows machine disk 0 is the system disk, where the same holds for a
  // SATA disk behind a controller without SAT. Either way nothing completes
  // with a drive's answer unless it really came from a drive.
  WinDeviceIo io;
  int error = 0;
  auto handle = io.Open(io.DiskPath(0), ShareMode::SharedReadWrite, &error);
  if (!handle) {
    EXPECT_NE(error, 0);  // no disk 0 on this machine: the open said why
    return;
  }
  AtaRequest request;
  request.current = {0, 1, 0, 0, 0, 0xA0, 0xEC, 0};
  uint8_t buffer[512] = {};
  request.flags = kAtaFlagDrdyRequired | kAtaFlagDataIn;
  request.data = buffer;
  request.length = 512;
  request.timeoutSeconds = 5;
  AtaResult ata = handle->SendAta(request);
  if (!ata.completed) {
    EXPECT_NE(ata.errorCode, 0);
  }
  EXPECT_FALSE(io.Open(io.DiskPath(200), ShareMode::Exclusive, &error));
  EXPECT_NE(error, 0);
}

TEST(WinSystem, FixedVolumesOfThisMachineHaveLetters) {
  WinVolumeOps volumes;
  for (const FixedVolume& v : volumes.ListFixedVolumes()) {
    EXPECT_GE(v.letter, 'A');
    EXPECT_LE(v.letter, 'Z');
    EXPECT_EQ(v.name, std::string(1, v.letter) + ":");
  }
}

}  // namespace
}  // namespace qelvar::platform::windows
