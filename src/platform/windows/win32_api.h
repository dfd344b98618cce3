// The seam between the Windows backend and the system: one virtual per Win32
// call the backend makes, with the call's own arguments and answers.
//
// The backend never calls Win32 for anything that depends on the machine; it
// asks a Win32Api. On a station that is SystemWin32Api(), which forwards each
// call unchanged. Tests give the backend an object that replays literal
// answers (structures filled byte for byte as Windows fills them), so the
// marshalling, the topology walk and the format steps run without USB, without
// drives and under Wine, which answers none of these requests.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <usb.h>
#include <usbioctl.h>
// clang-format on

namespace qelvar::platform::windows {

// The device interface classes the station walks.
inline constexpr GUID kUsbHostControllerInterfaceClass = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
inline constexpr GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr GUID kDiskInterfaceClass = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

class Win32Api {
 public:
  virtual ~Win32Api() = default;

  // Handles and device requests. CreateFileA is always called without
  // security attributes, flags or template.
  virtual HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                               DWORD outSize, DWORD* returned) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD code) = 0;

  // Device information sets of an interface class (always present devices,
  // by interface).
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) = 0;
  virtual BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id,
                                           DWORD size, DWORD* required) = 0;
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data,
                                           const GUID* interfaceClass, DWORD index,
                                           SP_DEVICE_INTERFACE_DATA* interfaceData) = 0;
  virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                DWORD size, DWORD* required,
                                                SP_DEVINFO_DATA* data) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // The device-node tree.
  virtual CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG flags) = 0;
  virtual CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type,
                                                      void* buffer, ULONG* size, ULONG flags) = 0;

  // Drive letters and the format's command interpreter.
  virtual DWORD GetLogicalDrives() = 0;
  virtual UINT GetDriveTypeA(const char* root) = 0;
  virtual BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD ms) = 0;
  virtual BOOL GetExitCodeProcess(HANDLE process, DWORD* code) = 0;
};

// The system itself.
Win32Api& SystemWin32Api();

}  // namespace qelvar::platform::windows
