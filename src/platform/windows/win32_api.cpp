#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows {
namespace {

class SystemApi final : public Win32Api {
 public:
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) override {
    return ::CreateFileA(name, access, share, nullptr, disposition, 0, nullptr);
  }
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override {
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, returned, nullptr);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD code) override { ::SetLastError(code); }

  HDEVINFO SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) override {
    return ::SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr, flags);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override {
    return ::SetupDiEnumDeviceInfo(set, index, data);
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id, DWORD size,
                                   DWORD* required) override {
    return ::SetupDiGetDeviceInstanceIdA(set, data, id, size, required);
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data, const GUID* interfaceClass,
                                   DWORD index, SP_DEVICE_INTERFACE_DATA* interfaceData) override {
    return ::SetupDiEnumDeviceInterfaces(set, data, interfaceClass, index, interfaceData);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA* data) override {
    return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, size, required, data);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return ::SetupDiDestroyDeviceInfoList(set);
  }

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) override {
    return ::CM_Locate_DevNodeA(node, const_cast<char*>(id), flags);
  }
  CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) override {
    return ::CM_Get_Child(child, node, flags);
  }
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) override {
    return ::CM_Get_Sibling(sibling, node, flags);
  }
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) override {
    return ::CM_Get_Parent(parent, node, flags);
  }
  CONFIGRET CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG flags) override {
    return ::CM_Get_Device_IDA(node, buffer, size, flags);
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG* type,
                                              void* buffer, ULONG* size, ULONG flags) override {
    return ::CM_Get_DevNode_Registry_PropertyA(node, property, type, buffer, size, flags);
  }

  DWORD GetLogicalDrives() override { return ::GetLogicalDrives(); }
  UINT GetDriveTypeA(const char* root) override { return ::GetDriveTypeA(root); }
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) override { return ::ShellExecuteExA(info); }
  DWORD WaitForSingleObject(HANDLE handle, DWORD ms) override {
    return ::WaitForSingleObject(handle, ms);
  }
  BOOL GetExitCodeProcess(HANDLE process, DWORD* code) override {
    return ::GetExitCodeProcess(process, code);
  }
};

}  // namespace

Win32Api& SystemWin32Api() {
  static SystemApi api;
  return api;
}

}  // namespace qelvar::platform::windows
