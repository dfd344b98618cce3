// Recording and replaying the Win32 calls of the backend.
//
// RecordingWin32Api forwards every call to another Win32Api and notes it:
// its inputs, its outputs, its return value and the thread's error code right
// after it. ReplayWin32Api answers the same calls from such a recording, so a
// test can run the backend against a real station's answers.
//
// The recording is text, one call to a line (docs/win32-recording.md):
//
//   qelvar-win32-recording 1
//   CreateFileA name="\\.\HCD0" access=40000000 share=2 disposition=3 -> ok=1 error=0
//   DeviceIoControl dev="\\.\HCD0" code=220408 in=/6 outsize=6 -> ok=1 returned=6 out=30/6 error=0
//
// Everything before " -> " is the call's key, everything after it its
// answer. A replay answers a call with the answer recorded under the same
// key: answers given in turn when a key was recorded more than once, the last
// one again after that. Handles are named by what was opened (a device path,
// an interface class); a pointer the system would follow (the data buffer of
// a SCSI request) is recorded as the bytes it points to. Lines starting with
// "#" are comments.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {

inline constexpr std::string_view kRecordingHeader = "qelvar-win32-recording 1";

class RecordingWin32Api final : public Win32Api {
 public:
  explicit RecordingWin32Api(Win32Api& inner) : inner_(inner) {}

  // The recording so far, header included.
  [[nodiscard]] std::string Text() const;
  // Replaces `path` with the recording; false with *why set when it cannot.
  [[nodiscard]] bool Save(const std::string& path, std::string* why) const;

  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                       DWORD outSize, DWORD* returned) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD GetLastError() override { return inner_.GetLastError(); }
  void SetLastError(DWORD code) override { inner_.SetLastError(code); }

  HDEVINFO SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id, DWORD size,
                                   DWORD* required) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* interfaceClass,
                                   DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) override;
  CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG flags) override;
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type,
                                              void* buffer, ULONG* size, ULONG flags) override;

  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeA(const char* root) override;
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD ms) override;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* code) override;

 private:
  void Add(const std::string& key, const std::string& answer);
  std::string NameOf(const void* handle);

  Win32Api& inner_;
  mutable std::mutex mutex_;
  std::string lines_;
  std::map<const void*, std::string> names_;      // open handles and sets: what they name
  std::map<const void*, DWORD> lastInterface_;  // per set: the interface last enumerated
};

class ReplayWin32Api final : public Win32Api {
 public:
  // Null with *why set (naming the line) when the text is not a recording.
  static std::unique_ptr<ReplayWin32Api> FromText(std::string_view text, std::string* why);
  static std::unique_ptr<ReplayWin32Api> FromFile(const std::string& path, std::string* why);

  // The keys of calls that found no answer, in the order made: those calls
  // failed as a system without the device would fail them.
  [[nodiscard]] std::vector<std::string> Unanswered() const;

  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                       DWORD outSize, DWORD* returned) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD GetLastError() override;
  void SetLastError(DWORD code) override;

  HDEVINFO SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id, DWORD size,
                                   DWORD* required) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* interfaceClass,
                                   DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) override;
  CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override;
  CONFIGRET CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG flags) override;
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type,
                                              void* buffer, ULONG* size, ULONG flags) override;

  DWORD GetLogicalDrives() override;
  UINT GetDriveTypeA(const char* root) override;
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD ms) override;
  BOOL GetExitCodeProcess(HANDLE process, DWORD* code) override;

  // One recorded answer: its fields by name.
  using Answer = std::map<std::string, std::string, std::less<>>;

 private:
  ReplayWin32Api() = default;
  // The answer for `key`, or null (the call is noted as unanswered).
  const Answer* Find(const std::string& key);
  HANDLE Handle(const std::string& name);
  std::string NameOf(const void* handle);
  void SetError(const Answer& answer);

  mutable std::mutex mutex_;
  std::map<std::string, std::deque<Answer>, std::less<>> answers_;
  std::deque<Answer> retired_;  // answers given in turn, kept while callers read them
  std::vector<std::string> unanswered_;
  std::vector<std::string> handles_;  // handle n + 1 names handles_[n]
  std::map<const void*, DWORD> lastInterface_;
  DWORD lastError_ = 0;
};

}  // namespace qelvar::platform::windows
