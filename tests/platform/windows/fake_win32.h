// A Win32Api that replays literal answers: devices opened by name answer each
// request (by control code and, for the hub's per-port requests, by the
// connection index in the first 4 bytes of the input) with fixed bytes; a
// device-node tree and SetupDi sets list fixed devices. Every request is
// recorded with the bytes it carried.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows/win32_api.h"

namespace qelvar::platform::windows::testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Wide text with its terminator, as the hub requests return names.
inline void PutWide(Bytes& b, size_t at, const std::string& text) {
  for (size_t i = 0; i <= text.size(); ++i) Put16(b, at + 2 * i, i < text.size() ? text[i] : 0);
}

class FakeWin32 final : public Win32Api {
 public:
  struct Answer {
    bool ok = true;
    Bytes bytes;  // copied into the output, cut to its size
    DWORD error = 0;
  };
  // A request's full handling, for answers that depend on the input.
  using Handler = std::function<BOOL(Bytes& in, uint8_t* out, DWORD outSize, DWORD* returned)>;
  struct Device {
    std::map<std::pair<DWORD, ULONG>, Answer> answers;
    std::map<DWORD, Handler> handlers;
    DWORD openError = 0;  // non-zero: the open fails with it
  };
  struct Call {
    std::string device;
    DWORD code = 0;
    Bytes in;
  };
  struct Open {
    std::string name;
    DWORD access = 0;
    DWORD share = 0;
    DWORD disposition = 0;
  };
  struct Node {
    std::string id;
    std::string driverKey;
    DEVINST parent = 0;
  };
  struct SetEntry {
    DEVINST node = 0;
    bool interfaceReadable = true;
  };

  std::map<std::string, Device> devices;
  std::vector<Call> calls;
  std::vector<Open> opens;
  int openHandles = 0;
  DWORD lastError = 0;
  // A successful request leaves the thread's error as it was, like most
  // Win32 calls; non-zero: it sets this code although it succeeded.
  DWORD errorAfterSuccess = 0;

  // The device-node tree: node 1 is the root; children in insertion order.
  std::map<DEVINST, Node> nodes{{1, Node{"htree\\root\\0", "", 0}}};
  std::map<std::string, std::vector<SetEntry>> sets;  // by interface class name: "usb", "disk"

  DEVINST AddNode(DEVINST parent, std::string id, std::string driverKey = "") {
    DEVINST n = static_cast<DEVINST>(nodes.size() + 1);
    nodes[n] = Node{std::move(id), std::move(driverKey), parent};
    return n;
  }

  // Win32Api
  HANDLE CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) override {
    opens.push_back({name, access, share, disposition});
    auto it = devices.find(name);
    if (it == devices.end() || it->second.openError != 0) {
      lastError = it == devices.end() ? ERROR_FILE_NOT_FOUND : it->second.openError;
      return INVALID_HANDLE_VALUE;
    }
    handles_.push_back(name);
    ++openHandles;
    lastError = 0;
    return reinterpret_cast<HANDLE>(handles_.size());
  }
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned) override {
    const std::string& name = handles_.at(reinterpret_cast<size_t>(device) - 1);
    Bytes input(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + (in ? inSize : 0));
    calls.push_back({name, code, input});
    Device& d = devices[name];
    if (auto h = d.handlers.find(code); h != d.handlers.end()) {
      BOOL ok = h->second(input, static_cast<uint8_t*>(out), outSize, returned);
      if (ok && errorAfterSuccess != 0) lastError = errorAfterSuccess;
      if (!ok && lastError == 0) lastError = ERROR_GEN_FAILURE;
      return ok;
    }
    ULONG index = 0;
    if (inSize >= 4) std::memcpy(&index, in, 4);
    auto a = d.answers.find({code, index});
    if (a == d.answers.end()) a = d.answers.find({code, 0});
    if (a == d.answers.end()) {
      lastError = ERROR_NOT_SUPPORTED;
      return FALSE;
    }
    if (!a->second.ok) {
      lastError = a->second.error;
      return FALSE;
    }
    DWORD n = std::min<DWORD>(outSize, static_cast<DWORD>(a->second.bytes.size()));
    if (n > 0) std::memcpy(out, a->second.bytes.data(), n);
    if (returned) *returned = n;
    if (errorAfterSuccess != 0) lastError = errorAfterSuccess;
    return TRUE;
  }
  BOOL CloseHandle(HANDLE) override {
    --openHandles;
    return TRUE;
  }
  DWORD GetLastError() override { return lastError; }
  void SetLastError(DWORD code) override { lastError = code; }

  HDEVINFO SetupDiGetClassDevsA(const GUID* cls, DWORD) override {
    const char* name = std::memcmp(cls, &kDiskInterfaceClass, sizeof(GUID)) == 0 ? "disk" : "usb";
    setNames_.push_back(name);
    return reinterpret_cast<HDEVINFO>(setNames_.size());
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override {
    const auto& entries = Set(set);
    if (index >= entries.size()) return FALSE;
    data->DevInst = entries[index].node;
    return TRUE;
  }
  BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO, SP_DEVINFO_DATA* data, char* id, DWORD size,
                                   DWORD*) override {
    const std::string& text = nodes.at(data->DevInst).id;
    if (text.size() + 1 > size) return FALSE;
    std::memcpy(id, text.c_str(), text.size() + 1);
    return TRUE;
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID*, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA*) override {
    const auto& entries = Set(set);
    return index < entries.size() && entries[index].interfaceReadable;
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO, SP_DEVICE_INTERFACE_DATA*,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A*, DWORD, DWORD*,
                                        SP_DEVINFO_DATA*) override {
    return TRUE;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) override {
    ++setsReleased;
    return TRUE;
  }
  int setsReleased = 0;

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char*, ULONG) override {
    *node = 1;
    return CR_SUCCESS;
  }
  CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG) override {
    for (const auto& [n, info] : nodes) {
      if (info.parent == node && n != node) {
        *child = n;
        return CR_SUCCESS;
      }
    }
    return CR_NO_SUCH_DEVNODE;
  }
  CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG) override {
    DEVINST parent = nodes.at(node).parent;
    if (parent == 0) return CR_NO_SUCH_DEVNODE;
    for (auto it = nodes.upper_bound(node); it != nodes.end(); ++it) {
      if (it->second.parent == parent) {
        *sibling = it->first;
        return CR_SUCCESS;
      }
    }
    return CR_NO_SUCH_DEVNODE;
  }
  CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG) override {
    auto it = nodes.find(node);
    if (it == nodes.end() || it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = it->second.parent;
    return CR_SUCCESS;
  }
  CONFIGRET CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG) override {
    auto it = nodes.find(node);
    if (it == nodes.end()) return CR_NO_SUCH_DEVNODE;
    if (it->second.id.size() + 1 > size) return CR_BUFFER_SMALL;
    std::memcpy(buffer, it->second.id.c_str(), it->second.id.size() + 1);
    return CR_SUCCESS;
  }
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG, ULONG*, void* buffer,
                                              ULONG* size, ULONG) override {
    const std::string& key = nodes.at(node).driverKey;
    if (key.empty()) return CR_NO_SUCH_VALUE;
    if (key.size() + 1 > *size) return CR_BUFFER_SMALL;
    std::memcpy(buffer, key.c_str(), key.size() + 1);
    *size = static_cast<ULONG>(key.size() + 1);
    return CR_SUCCESS;
  }

  DWORD logicalDrives = 0;
  std::map<char, UINT> driveTypes;
  DWORD GetLogicalDrives() override { return logicalDrives; }
  UINT GetDriveTypeA(const char* root) override {
    auto it = driveTypes.find(root[0]);
    return it == driveTypes.end() ? DRIVE_NO_ROOT_DIR : it->second;
  }

  // Started formats: their parameters; each process ends when `exitCodes`
  // has an entry for it.
  std::vector<std::string> shellParameters;
  std::vector<std::string> shellFiles;
  std::map<size_t, DWORD> exitCodes;  // by start order
  bool shellFails = false;
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) override {
    if (shellFails) {
      lastError = ERROR_FILE_NOT_FOUND;
      return FALSE;
    }
    shellFiles.push_back(info->lpFile);
    shellParameters.push_back(info->lpParameters);
    shellShow = info->nShow;
    info->hProcess = reinterpret_cast<HANDLE>(0x1000 + shellParameters.size() - 1);
    ++openHandles;
    return TRUE;
  }
  int shellShow = -1;
  DWORD WaitForSingleObject(HANDLE process, DWORD) override {
    return exitCodes.count(reinterpret_cast<size_t>(process) - 0x1000) ? WAIT_OBJECT_0
                                                                       : WAIT_TIMEOUT;
  }
  BOOL GetExitCodeProcess(HANDLE process, DWORD* code) override {
    *code = exitCodes.at(reinterpret_cast<size_t>(process) - 0x1000);
    return TRUE;
  }

 private:
  const std::vector<SetEntry>& Set(HDEVINFO set) {
    return sets[setNames_.at(reinterpret_cast<size_t>(set) - 1)];
  }

  std::vector<std::string> handles_;
  std::vector<std::string> setNames_;
};

}  // namespace qelvar::platform::windows::testing
