#include "platform/windows/win_device_monitor.h"

#include <cstddef>
#include <cstring>
#include <future>

namespace qelvar::platform::windows {
namespace {

constexpr char kWindowClass[] = "QelvarDeviceMonitor";

LRESULT CALLBACK MonitorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    auto* callback =
        reinterpret_cast<DeviceMonitor::Callback*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    std::string device;
    // The system's header says how long the whole message is.
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    size_t length = header != nullptr ? header->dbch_size : 0;
    if (callback != nullptr && header != nullptr) {
      if (auto change = ClassifyDeviceChange(wParam, header, length, &device)) {
        (*callback)(*change, device);
      }
    }
    return TRUE;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

std::optional<DeviceChange> ClassifyDeviceChange(WPARAM event, const void* header, size_t length,
                                                 std::string* device) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return std::nullopt;
  constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
  if (header == nullptr || length < kNameAt) return std::nullopt;
  DEV_BROADCAST_DEVICEINTERFACE_A fixed{};
  std::memcpy(&fixed, header, kNameAt);
  if (fixed.dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      std::memcmp(&fixed.dbcc_classguid, &kDiskInterfaceClass, sizeof(GUID)) != 0) {
    return std::nullopt;
  }
  const char* name = static_cast<const char*>(header) + kNameAt;
  size_t n = 0;
  while (kNameAt + n < length && name[n] != '\0') ++n;
  if (device != nullptr) device->assign(name, n);
  return event == DBT_DEVICEARRIVAL ? DeviceChange::Arrival : DeviceChange::Removal;
}

WinDeviceMonitor::~WinDeviceMonitor() {
  Stop();
}

bool WinDeviceMonitor::Start(Callback callback, std::string* why) {
  std::promise<std::string> started;  // empty: running
  std::future<std::string> ready = started.get_future();
  thread_ = std::thread([this, callback = std::move(callback), &started]() mutable {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = MonitorProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    ::RegisterClassA(&wc);  // fails harmlessly when already registered
    HWND window = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
    if (window == nullptr) {
      started.set_value("cannot create the device-change window: error " +
                        std::to_string(::GetLastError()));
      return;
    }
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&callback));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kDiskInterfaceClass;
    HDEVNOTIFY notify = ::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notify == nullptr) {
      std::string error = std::to_string(::GetLastError());
      ::DestroyWindow(window);
      started.set_value("cannot register for device changes: error " + error);
      return;
    }
    // The message queue exists once a window does; Stop can post to it now.
    threadId_ = ::GetCurrentThreadId();
    started.set_value({});
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
    ::UnregisterDeviceNotification(notify);
    ::DestroyWindow(window);
  });
  // Every path of the thread answers at once, after two system calls.
  std::string error = ready.get();
  if (!error.empty()) {
    thread_.join();
    threadId_ = 0;
    if (why != nullptr) *why = error;
    return false;
  }
  return true;
}

void WinDeviceMonitor::Stop() {
  if (!thread_.joinable()) return;
  ::PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
  thread_.join();
  threadId_ = 0;
}

}  // namespace qelvar::platform::windows
