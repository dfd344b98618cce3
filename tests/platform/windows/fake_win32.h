// A Win32Api that replays literal answers: devices opened by name answer each
// request (by control code and, for the hub's per-port requests, by the
// connection index in the first 4 bytes of the input) with fixed bytes; a
// device-node tree and SetupDi sets list fixed devices. Every request is
// recorded with the bytes it carried, and each is held to the sizes the
// system documents for it: a request whose buffers are smaller than its
// structure, or whose length fields disagree with them, fails the test and
// is refused as the system would refuse it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
    std::string containerId;
  };
  struct SetEntry {
    SetEntry(DEVINST n = 0, bool readable = true, std::string devicePath = {})
        : node(n), interfaceReadable(readable), path(std::move(devicePath)) {}
    DEVINST node;
    bool interfaceReadable;
    std::string path;  // the interface's device path
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
  std::map<DEVINST, Node> nodes{{1, Node{"htree\\root\\0", "", 0, {}}}};
  // By interface class name: "usb", "disk", "hcd" (host controllers).
  std::map<std::string, std::vector<SetEntry>> sets;

  DEVINST AddNode(DEVINST parent, std::string id, std::string driverKey = "") {
    DEVINST n = static_cast<DEVINST>(nodes.size() + 1);
    nodes[n] = Node{std::move(id), std::move(driverKey), parent, {}};
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
    if (std::string fault = SizeFault(name, code, input, out != nullptr ? outSize : 0);
        !fault.empty()) {
      ADD_FAILURE() << fault;
      sizeFaults.push_back(std::move(fault));
      lastError = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
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
    const char* name = std::memcmp(cls, &kDiskInterfaceClass, sizeof(GUID)) == 0 ? "disk"
                       : std::memcmp(cls, &kUsbHostControllerInterfaceClass, sizeof(GUID)) == 0
                           ? "hcd"
                           : "usb";
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
                                   SP_DEVICE_INTERFACE_DATA* data) override {
    const auto& entries = Set(set);
    if (index >= entries.size() || !entries[index].interfaceReadable) return FALSE;
    if (data->cbSize != sizeof *data) ADD_FAILURE() << "interface data without its cbSize";
    data->Reserved = index;
    return TRUE;
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA*) override {
    const std::string& path = Set(set).at(data->Reserved).path;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr || detail->cbSize != sizeof *detail) {
      ADD_FAILURE() << "interface detail without its cbSize";
      lastError = ERROR_INVALID_USER_BUFFER;
      return FALSE;
    }
    if (size < needed) {
      lastError = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) override {
    ++setsReleased;
    return TRUE;
  }
  int setsReleased = 0;

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG) override {
    if (id == nullptr || *id == 0) {
      *node = 1;
      return CR_SUCCESS;
    }
    auto lower = [](std::string t) {
      for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return t;
    };
    for (const auto& [n, info] : nodes) {
      if (lower(info.id) == lower(id)) {
        *node = n;
        return CR_SUCCESS;
      }
    }
    return CR_NO_SUCH_DEVNODE;
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
  CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, ULONG*, void* buffer,
                                              ULONG* size, ULONG) override {
    const std::string& key = property == CM_DRP_DRIVER             ? nodes.at(node).driverKey
                             : property == CM_DRP_BASE_CONTAINERID ? nodes.at(node).containerId
                                                                   : std::string();
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

  // Requests refused for their sizes, in the order made.
  std::vector<std::string> sizeFaults;

  // What is wrong with a request's sizes, as the system documents them;
  // empty when nothing is.
  static std::string SizeFault(const std::string& device, DWORD code, const Bytes& in,
                               DWORD outSize) {
    auto at32 = [&](size_t at) {
      uint32_t v = 0;
      if (in.size() >= at + 4) std::memcpy(&v, in.data() + at, 4);
      return v;
    };
    auto at16 = [&](size_t at) {
      return in.size() >= at + 2 ? uint32_t{in[at]} | uint32_t{in[at + 1]} << 8 : 0u;
    };
    auto need = [&](const char* what, size_t inAtLeast, size_t outAtLeast) -> std::string {
      if (in.size() < inAtLeast || outSize < outAtLeast) {
        return std::string(what) + ": input " + std::to_string(in.size()) + " of at least " +
               std::to_string(inAtLeast) + " bytes, output " + std::to_string(outSize) +
               " of at least " + std::to_string(outAtLeast);
      }
      return {};
    };
    const bool controller = device.rfind("\\\\.\\HCD", 0) == 0 ||
                            device.find("3abf6f2d-71c4-462a-8a92-1e6861e6af27") != std::string::npos;
    switch (code) {
      case IOCTL_USB_GET_NODE_INFORMATION:  // the same code as the root hub's name
        return controller ? need("root hub name", 0, sizeof(USB_ROOT_HUB_NAME))
                          : need("node information", sizeof(USB_NODE_INFORMATION),
                                 sizeof(USB_NODE_INFORMATION));
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
        return need("connection information", sizeof(USB_NODE_CONNECTION_INFORMATION),
                    sizeof(USB_NODE_CONNECTION_INFORMATION));
      case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
        return need("driver key name", sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME),
                    sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME));
      case IOCTL_USB_GET_NODE_CONNECTION_NAME:
        return need("connection name", sizeof(USB_NODE_CONNECTION_NAME),
                    sizeof(USB_NODE_CONNECTION_NAME));
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2: {
        constexpr size_t kSize = sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2);
        std::string fault = need("connection information v2", kSize, kSize);
        if (fault.empty() && at32(4) != kSize) fault = "connection information v2: Length not set";
        return fault;
      }
      case IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES: {
        constexpr size_t kSize = sizeof(USB_PORT_CONNECTOR_PROPERTIES);
        std::string fault = need("port connector properties", kSize, kSize);
        // The caller zeroes all but the connection index.
        for (size_t i = 4; fault.empty() && i < in.size(); ++i) {
          if (in[i] != 0) {
            fault = "port connector properties: input byte " + std::to_string(i) + " not zero";
          }
        }
        return fault;
      }
      case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return need("device number", 0, sizeof(STORAGE_DEVICE_NUMBER));
      case IOCTL_STORAGE_QUERY_PROPERTY:
        return need("property query", sizeof(STORAGE_PROPERTY_QUERY),
                    sizeof(STORAGE_DESCRIPTOR_HEADER));
      case IOCTL_SCSI_PASS_THROUGH_DIRECT: {
        constexpr size_t kSize = sizeof(SCSI_PASS_THROUGH_DIRECT);
        std::string fault = need("SCSI pass-through", kSize, kSize);
        if (!fault.empty()) return fault;
        if (at16(0) != kSize) return "SCSI pass-through: Length is not the structure's size";
        if (in[7] != 0 && at32(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset)) + in[7] >
                              std::min<size_t>(in.size(), outSize)) {
          return "SCSI pass-through: the sense bytes lie past the buffer";
        }
        if (in[8] > SCSI_IOCTL_DATA_UNSPECIFIED) return "SCSI pass-through: unknown direction";
        return {};
      }
      case IOCTL_ATA_PASS_THROUGH: {
        constexpr size_t kSize = sizeof(ATA_PASS_THROUGH_EX);
        std::string fault = need("ATA pass-through", kSize, kSize);
        if (!fault.empty()) return fault;
        if (at16(0) != kSize) return "ATA pass-through: Length is not the structure's size";
        if (in.size() != kSize + at32(8) || outSize != in.size()) {
          return "ATA pass-through: the buffers do not hold the header and its data";
        }
        return {};
      }
      case IOCTL_DISK_CREATE_DISK:
        return need("create disk", sizeof(CREATE_DISK), 0);
      case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return need("drive geometry", 0, sizeof(DISK_GEOMETRY));
      case IOCTL_DISK_GET_LENGTH_INFO:
        return need("length information", 0, sizeof(GET_LENGTH_INFORMATION));
      case IOCTL_DISK_SET_DRIVE_LAYOUT_EX: {
        std::string fault = need("drive layout", offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry), 0);
        if (fault.empty() && in.size() < offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                                             at32(4) * sizeof(PARTITION_INFORMATION_EX)) {
          fault = "drive layout: fewer bytes than its PartitionCount entries";
        }
        return fault;
      }
      default:
        return {};
    }
  }

 private:
  const std::vector<SetEntry>& Set(HDEVINFO set) {
    return sets[setNames_.at(reinterpret_cast<size_t>(set) - 1)];
  }

  std::vector<std::string> handles_;
  std::vector<std::string> setNames_;
};

}  // namespace qelvar::platform::windows::testing
