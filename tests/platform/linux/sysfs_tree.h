// Builds sysfs-shaped trees under a temporary root: device directories with
// their attribute files, and the symlinks of /sys/bus/usb/devices and
// /sys/block pointing into /sys/devices, relative as the kernel makes them.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_folder.h"

namespace qelvar::testing {

class SysfsTree {
 public:
  SysfsTree() {
    std::filesystem::create_directories(root_ / "sys/bus/usb/devices");
    std::filesystem::create_directories(root_ / "sys/block");
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  [[nodiscard]] std::string Root() const { return root_.string(); }

  // A host controller's root hub, e.g. RootHub("pci0000:00/0000:00:05.0", 1, 4);
  // a USB 2 bus unless `speed` says otherwise ("5000": the SuperSpeed bus).
  std::filesystem::path RootHub(const std::string& pciPath, int bus, int ports,
                                const std::string& speed = "480") {
    auto dir = root_ / "sys/devices" / pciPath / ("usb" + std::to_string(bus));
    Device(dir, "0", "09", ports, 1);
    Write(dir / "speed", speed);
    return dir;
  }

  // A usb_device below `parent`; its name follows the kernel's: bus-devpath.
  std::filesystem::path UsbDevice(const std::filesystem::path& parent, int bus,
                                  const std::string& devpath, const std::string& deviceClass,
                                  int ports, int devnum) {
    auto dir = parent / (std::to_string(bus) + "-" + devpath);
    Device(dir, devpath, deviceClass, ports, devnum);
    return dir;
  }

  // The device's first interface, bound to `driver` (empty: unbound).
  std::filesystem::path Interface(const std::filesystem::path& device, const std::string& driver,
                                  const std::string& interfaceClass = "08") {
    auto dir = device / (device.filename().string() + ":1.0");
    std::filesystem::create_directories(dir);
    Write(dir / "bInterfaceClass", interfaceClass);
    if (!driver.empty()) {
      Link(root_ / "sys/bus/usb/drivers" / driver, dir / "driver");
    }
    Link(dir, root_ / "sys/bus/usb/devices" / dir.filename());
    return dir;
  }

  // A SCSI disk below `parent` (an interface, or any other device), listed in
  // /sys/block.
  std::filesystem::path Disk(const std::filesystem::path& parent, int host, const std::string& name,
                             bool removable = false) {
    std::string h = std::to_string(host);
    auto dir = parent / ("host" + h) / ("target" + h + ":0:0") / (h + ":0:0:0") / "block" / name;
    std::filesystem::create_directories(dir);
    Write(dir / "removable", removable ? "1" : "0");
    Write(dir / "dev", "8:" + h);
    Link(dir, root_ / "sys/block" / name);
    return dir;
  }

  // The kernel's directory for port `port` of `hub` ("usb1/1-0:1.0/usb1-port2",
  // "1-1/1-1:1.0/1-1-port2"), created when missing.
  static std::filesystem::path PortDir(const std::filesystem::path& hub, int port) {
    std::string name = hub.filename().string();
    std::string iface = name.rfind("usb", 0) == 0 ? name.substr(3) + "-0" : name;
    auto dir = hub / (iface + ":1.0") / (name + "-port" + std::to_string(port));
    std::filesystem::create_directories(dir);
    return dir;
  }

  // Pairs two ports as the two sides of one USB 3 port: each gets a "peer"
  // link to the other.
  static void Peer(const std::filesystem::path& portA, const std::filesystem::path& portB) {
    Link(portB, portA / "peer");
    Link(portA, portB / "peer");
  }

  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }

 private:
  void Device(const std::filesystem::path& dir, const std::string& devpath,
              const std::string& deviceClass, int ports, int devnum) {
    std::filesystem::create_directories(dir);
    Write(dir / "devpath", devpath);
    Write(dir / "bDeviceClass", deviceClass);
    Write(dir / "maxchild", std::to_string(ports));
    Write(dir / "devnum", std::to_string(devnum));
    Link(dir, root_ / "sys/bus/usb/devices" / dir.filename());
  }

  static void Link(const std::filesystem::path& target, const std::filesystem::path& link) {
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_directory_symlink(std::filesystem::relative(target, link.parent_path()),
                                              link);
  }

  TempFolder folder_{"sysfs"};
  const std::filesystem::path& root_ = folder_.path();
};

}  // namespace qelvar::testing
