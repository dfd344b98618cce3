#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/udev_device_monitor.h"
#include "support/temp_folder.h"

namespace qelvar::platform::linux_backend {
namespace {

using namespace std::chrono_literals;

TEST(ClassifyDiskEvent, ReportsOnlyUsbDiskArrivalAndRemoval) {
  const char* usbDisk =
      "/devices/pci0000:00/0000:00:05.0/usb1/1-1/1-1.2/1-1.2:1.0/host8/target8:0:0/8:0:0:0/block/"
      "sdd";
  const char* sataDisk =
      "/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda";
  struct Case {
    const char* action;
    const char* devtype;
    const char* devpath;
    std::optional<DeviceChange> change;
  };
  const Case cases[] = {
      {"add", "disk", usbDisk, DeviceChange::Arrival},
      {"remove", "disk", usbDisk, DeviceChange::Removal},
      // udev sends "change" for every close of a disk opened for writing.
      {"change", "disk", usbDisk, std::nullopt},
      {"bind", "disk", usbDisk, std::nullopt},
      {"add", "partition", "/devices/pci0000:00/0000:00:05.0/usb1/1-2/block/sdb/sdb1",
       std::nullopt},
      {"add", "disk", sataDisk, std::nullopt},
      {"remove", "disk", sataDisk, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyDiskEvent(c.action, c.devtype, c.devpath), c.change)
        << c.action << " " << c.devtype << " " << c.devpath;
  }
}

TEST(UdevDeviceMonitor, RefusesToStartWithoutUdevdAndSaysWhy) {
  UdevDeviceMonitor monitor(UdevDeviceMonitor::Source::Udev, "/nonexistent/run/udev");
  std::string why;
  EXPECT_FALSE(monitor.Start([](DeviceChange, const std::string&) {}, &why));
  EXPECT_NE(why.find("udevd is not running"), std::string::npos) << why;
  EXPECT_NE(why.find("/nonexistent/run/udev/control"), std::string::npos) << why;
}

// Sends one event in udevd's wire format to the udev multicast group of the
// calling thread's network namespace, the way udevd announces a processed
// device.
bool SendUdevEvent(const std::string& action, const std::string& devtype,
                   const std::string& devpath, const std::string& devname) {
  // MurmurHash2 with seed 0, which libudev's in-kernel socket filter uses
  // to match the subsystem and device type.
  auto murmur2 = [](const std::string& s) {
    const uint32_t m = 0x5bd1e995;
    uint32_t h = static_cast<uint32_t>(s.size());
    size_t i = 0;
    for (; i + 4 <= s.size(); i += 4) {
      uint32_t k;
      std::memcpy(&k, s.data() + i, 4);
      k *= m;
      k ^= k >> 24;
      k *= m;
      h *= m;
      h ^= k;
    }
    size_t left = s.size() - i;
    if (left >= 3) h ^= static_cast<uint32_t>(static_cast<uint8_t>(s[i + 2])) << 16;
    if (left >= 2) h ^= static_cast<uint32_t>(static_cast<uint8_t>(s[i + 1])) << 8;
    if (left >= 1) {
      h ^= static_cast<uint8_t>(s[i]);
      h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
  };
  struct Header {
    char prefix[8];
    uint32_t magic, headerSize, propertiesOff, propertiesLen, subsystemHash, devtypeHash, bloomHi,
        bloomLo;
  } header{};
  std::string properties;
  const std::string lines[] = {
      "ACTION=" + action,   "DEVPATH=" + devpath, "SUBSYSTEM=block", "DEVTYPE=" + devtype,
      "DEVNAME=" + devname, "SEQNUM=4711",        "MAJOR=8",         "MINOR=48"};
  for (const std::string& p : lines) {
    properties += p;
    properties += '\0';
  }
  std::memcpy(header.prefix, "libudev", 8);
  header.magic = htonl(0xfeedcafe);
  header.headerSize = sizeof header;
  header.propertiesOff = sizeof header;
  header.propertiesLen = static_cast<uint32_t>(properties.size());
  header.subsystemHash = htonl(murmur2("block"));
  header.devtypeHash = htonl(murmur2(devtype));
  std::string message(reinterpret_cast<const char*>(&header), sizeof header);
  message += properties;

  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return false;
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 2;  // the udev group
  ssize_t sent =
      ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

// Netlink groups belong to a network namespace: events sent inside a private
// one reach only the sockets made there, never the udev listeners of the
// machine. The namespace is the calling thread's alone, so the monitor and the
// sender are both made on a thread of the test's own, which ends with it.
TEST(UdevDeviceMonitor, DeliversUsbDiskEventsAndStopsPromptly) {
  // libudev listens on the udev group when udevd's control socket exists or
  // /dev is a devtmpfs; the fake run folder stands in for a running udevd.
  const qelvar::testing::TempFolder folder("udev");
  const std::string runDir = folder.str();
  { std::ofstream(runDir + "/control") << ""; }

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<DeviceChange, std::string>> events;
  std::string unshareError, why, second;
  bool started = false, secondStarted = true, sent = false;
  std::chrono::steady_clock::duration stopTook{};
  std::thread isolated([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      unshareError = std::strerror(errno);
      return;
    }
    UdevDeviceMonitor monitor(UdevDeviceMonitor::Source::Udev, runDir);
    started = monitor.Start(
        [&](DeviceChange change, const std::string& device) {
          std::lock_guard lock(mutex);
          events.emplace_back(change, device);
          arrived.notify_all();
        },
        &why);
    if (!started) return;
    secondStarted = monitor.Start([](DeviceChange, const std::string&) {}, &second);

    const std::string usb =
        "/devices/pci0000:00/0000:00:05.0/usb1/1-2/1-2:1.0/host9/target9:0:0/9:0:0:0/block/sdq";
    sent = SendUdevEvent("change", "disk", usb, "/dev/sdq") &&
           SendUdevEvent("add", "disk", usb, "/dev/sdq") &&
           SendUdevEvent("remove", "disk", usb, "/dev/sdq");
    if (sent) {
      std::unique_lock lock(mutex);
      arrived.wait_for(lock, 5s, [&] { return events.size() >= 2; });
    }
    auto before = std::chrono::steady_clock::now();
    monitor.Stop();
    stopTook = std::chrono::steady_clock::now() - before;
  });
  isolated.join();
  if (!unshareError.empty()) {
    const char* ci = std::getenv("QELVAR_CI");
    if (ci != nullptr && std::string(ci) == "1") {
      FAIL() << "cannot make a private network namespace in CI: " << unshareError;
    }
    GTEST_SKIP() << "a private network namespace needs root here: " << unshareError;
  }
  ASSERT_TRUE(started) << why;
  EXPECT_FALSE(secondStarted);
  ASSERT_TRUE(sent) << "sending to the udev group of the private namespace failed";
  EXPECT_LT(stopTook, 500ms);

  std::lock_guard lock(mutex);
  EXPECT_EQ(events, (std::vector<std::pair<DeviceChange, std::string>>{
                        {DeviceChange::Arrival, "/dev/sdq"}, {DeviceChange::Removal, "/dev/sdq"}}));
}

}  // namespace
}  // namespace qelvar::platform::linux_backend
