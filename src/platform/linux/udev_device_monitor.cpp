#include "platform/linux/udev_device_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qelvar::platform::linux_backend {

namespace {

// The longest the thread sleeps without looking at the stop flag, should the
// wake-up write ever be lost.
constexpr int kPollMs = 200;

std::string_view OrEmpty(const char* s) {
  return s != nullptr ? std::string_view(s) : std::string_view();
}

}  // namespace

std::optional<DeviceChange> ClassifyDiskEvent(std::string_view action, std::string_view devtype,
                                              std::string_view devpath) {
  if (devtype != "disk") return std::nullopt;
  if (devpath.find("/usb") == std::string_view::npos) return std::nullopt;
  if (action == "add") return DeviceChange::Arrival;
  if (action == "remove") return DeviceChange::Removal;
  return std::nullopt;
}

bool UdevdRunning(const std::string& udevRunDir) {
  return ::access((udevRunDir + "/control").c_str(), F_OK) == 0;
}

struct UdevDeviceMonitor::Handles {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  ~Handles() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
};

UdevDeviceMonitor::UdevDeviceMonitor(Source source, std::string udevRunDir)
    : source_(source), udevRunDir_(std::move(udevRunDir)) {}

UdevDeviceMonitor::~UdevDeviceMonitor() {
  Stop();
}

bool UdevDeviceMonitor::Start(Callback callback, std::string* why) {
  auto fail = [&](std::string text) {
    if (why != nullptr) *why = std::move(text);
    handles_.reset();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    return false;
  };
  if (thread_.joinable()) {
    // Leave the running monitor alone.
    if (why != nullptr) *why = "the device monitor is already running";
    return false;
  }
  if (!callback) return fail("no callback to report device changes to");

  // libudev itself only warns when udevd is missing and then never delivers
  // an event; say so instead of watching in silence.
  if (source_ == Source::Udev && !UdevdRunning(udevRunDir_)) {
    return fail("udevd is not running (" + udevRunDir_ + "/control" +
                " is missing): plugged and pulled drives are not noticed; press Device Scan "
                "after changing drives");
  }
  handles_ = std::make_unique<Handles>();
  handles_->context = udev_new();
  if (handles_->context == nullptr) return fail("cannot create a udev context");
  handles_->monitor =
      udev_monitor_new_from_netlink(handles_->context, source_ == Source::Udev ? "udev" : "kernel");
  if (handles_->monitor == nullptr) {
    return fail(std::string("cannot listen for device events: ") + std::strerror(errno));
  }
  if (udev_monitor_filter_add_match_subsystem_devtype(handles_->monitor, "block", "disk") < 0 ||
      udev_monitor_enable_receiving(handles_->monitor) < 0) {
    return fail(std::string("cannot receive device events: ") + std::strerror(errno));
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0)
    return fail(std::string("cannot create a wake-up event: ") + std::strerror(errno));

  stop_.store(false);
  thread_ = std::thread([this, cb = std::move(callback)]() mutable { Run(std::move(cb)); });
  return true;
}

void UdevDeviceMonitor::Stop() {
  if (thread_.joinable()) {
    stop_.store(true);
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd_, &one, sizeof one);
    (void)written;  // a lost wake-up only costs one poll period
    thread_.join();
  }
  handles_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void UdevDeviceMonitor::Run(Callback callback) {
  udev_monitor* monitor = handles_->monitor;
  pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  while (!stop_.load()) {
    int ready = ::poll(fds, 2, kPollMs);
    if (ready <= 0 || stop_.load()) continue;
    if ((fds[0].revents & POLLIN) == 0) continue;
    udev_device* device = udev_monitor_receive_device(monitor);
    if (device == nullptr) continue;
    std::optional<DeviceChange> change = ClassifyDiskEvent(
        OrEmpty(udev_device_get_action(device)), OrEmpty(udev_device_get_devtype(device)),
        OrEmpty(udev_device_get_devpath(device)));
    if (change) {
      const char* node = udev_device_get_devnode(device);
      std::string name(node != nullptr ? node : OrEmpty(udev_device_get_syspath(device)));
      callback(*change, name);
    }
    udev_device_unref(device);
  }
}

}  // namespace qelvar::platform::linux_backend
