// Before windows.h, which would rename the station's own ReplaceFile.
#include "platform/files.h"
// clang-format off
#include "platform/windows/win32_recording.h"
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/windows/pass_through_blocks.h"

#undef ReplaceFile

namespace qelvar::platform::windows {
namespace {

// The longest byte field a line carries: a bound on what a recording holds
// per call (the largest answer of a scan is a 64 KiB data phase).
constexpr size_t kMaxBlob = 1 << 20;
constexpr DWORD kMaxString = 4096;

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
  return text;
}

// Bytes as hex up to the last non-zero one, then "/" and the whole length.
std::string Blob(const void* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* b = static_cast<const uint8_t*>(bytes);
  size_t used = n;
  while (used > 0 && b[used - 1] == 0) --used;
  std::string text;
  text.reserve(used * 2 + 8);
  for (size_t i = 0; i < used; ++i) {
    text.push_back(kDigits[b[i] >> 4]);
    text.push_back(kDigits[b[i] & 15]);
  }
  return text + "/" + std::to_string(n);
}

// Text in double quotes; bytes outside printable ASCII, '"' and '%' as %XX.
std::string Quoted(std::string_view s) {
  std::string text = "\"";
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '%') {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", c);
      text += esc;
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  return text + "\"";
}

std::string GuidText(const GUID* g) {
  if (g == nullptr) return "{}";
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(g->Data1), g->Data2, g->Data3, g->Data4[0], g->Data4[1],
                g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseNumber(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

bool ParseBlob(std::string_view text, std::vector<uint8_t>* out) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos || slash % 2 != 0) return false;
  size_t n = 0;
  for (char c : text.substr(slash + 1)) {
    if (c < '0' || c > '9' || n > kMaxBlob) return false;
    n = n * 10 + static_cast<size_t>(c - '0');
  }
  if (slash + 1 == text.size() || n > kMaxBlob || slash / 2 > n) return false;
  out->assign(n, 0);
  for (size_t i = 0; i < slash / 2; ++i) {
    int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*out)[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool ParseQuoted(std::string_view text, std::string* out) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  out->clear();
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 3 >= text.size()) return false;
    int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

// The SCSI request's data buffer: the address the system would follow, its
// length and direction, when `in` is a SCSI pass-through block.
struct SptdData {
  bool present = false;
  uint8_t* address = nullptr;
  uint32_t length = 0;
  uint8_t direction = 0;
};
SptdData DataOf(DWORD code, const void* in, DWORD inSize) {
  SptdData d;
  if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT || in == nullptr || inSize < kSptdNative.size) {
    return d;
  }
  SCSI_PASS_THROUGH_DIRECT request;
  std::memcpy(&request, in, sizeof request);
  d.present = true;
  d.address = static_cast<uint8_t*>(request.DataBuffer);
  d.length = std::min<uint32_t>(request.DataTransferLength, kMaxBlob);
  d.direction = request.DataIn;
  if (d.address == nullptr) d.length = 0;
  return d;
}

// A block with the data buffer's address taken out: it differs from run to
// run, the bytes it points to are recorded instead.
std::string BlockBlob(DWORD code, const void* bytes, DWORD size) {
  if (bytes == nullptr) return Blob(nullptr, 0);
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(bytes),
                            static_cast<const uint8_t*>(bytes) + size);
  if (DataOf(code, bytes, size).present) {
    std::fill_n(copy.begin() + kSptdNative.dataBuffer, kSptdNative.pointerBytes, uint8_t{0});
  }
  return Blob(copy.data(), copy.size());
}

std::string IoctlKey(const std::string& device, DWORD code, const void* in, DWORD inSize,
                     DWORD outSize) {
  std::string key = "DeviceIoControl dev=" + Quoted(device) + " code=" + Hex(code) +
                    " in=" + BlockBlob(code, in, in != nullptr ? inSize : 0) +
                    " outsize=" + Hex(outSize);
  SptdData d = DataOf(code, in, inSize);
  if (d.present && d.direction == kScsiDataOut && d.length > 0) {
    key += " data=" + Blob(d.address, d.length);
  }
  return key;
}

std::string Ok(BOOL ok, DWORD error) {
  return "ok=" + std::string(ok ? "1" : "0") + " error=" + Hex(error);
}

std::string Cr(CONFIGRET cr) {
  return "cr=" + Hex(cr);
}

std::string CText(const char* text, size_t capacity) {
  return text == nullptr ? std::string() : std::string(text, strnlen(text, capacity));
}

std::string SetName(const GUID* interfaceClass) {
  return GuidText(interfaceClass);
}

}  // namespace

// ---- recording

std::string RecordingWin32Api::Text() const {
  std::lock_guard lock(mutex_);
  return std::string(kRecordingHeader) + "\n" + lines_;
}

bool RecordingWin32Api::Save(const std::string& path, std::string* why) const {
  return platform::ReplaceFile(path, Text(), why);
}

void RecordingWin32Api::Add(const std::string& key, const std::string& answer) {
  std::lock_guard lock(mutex_);
  lines_ += key + " -> " + answer + "\n";
}

std::string RecordingWin32Api::NameOf(const void* handle) {
  std::lock_guard lock(mutex_);
  auto it = names_.find(handle);
  return it == names_.end() ? std::string("?") : it->second;
}

HANDLE RecordingWin32Api::CreateFileA(const char* name, DWORD access, DWORD share,
                                      DWORD disposition) {
  HANDLE h = inner_.CreateFileA(name, access, share, disposition);
  DWORD error = inner_.GetLastError();
  const bool ok = h != INVALID_HANDLE_VALUE;
  if (ok) {
    std::lock_guard lock(mutex_);
    names_[h] = CText(name, kMaxString);
  }
  Add("CreateFileA name=" + Quoted(CText(name, kMaxString)) + " access=" + Hex(access) +
          " share=" + Hex(share) + " disposition=" + Hex(disposition),
      Ok(ok, error));
  inner_.SetLastError(error);
  return h;
}

BOOL RecordingWin32Api::DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize,
                                        void* out, DWORD outSize, DWORD* returned) {
  const std::string key = IoctlKey(NameOf(device), code, in, inSize, outSize);
  const SptdData data = DataOf(code, in, inSize);
  DWORD count = 0;
  BOOL ok = inner_.DeviceIoControl(device, code, in, inSize, out, outSize, &count);
  DWORD error = inner_.GetLastError();
  if (returned != nullptr) *returned = count;
  std::string answer = "ok=" + std::string(ok ? "1" : "0") + " returned=" + Hex(count) +
                       " out=" + BlockBlob(code, out, out != nullptr ? outSize : 0);
  if (ok && data.present && data.direction == kScsiDataIn && data.length > 0) {
    answer += " data=" + Blob(data.address, data.length);
  }
  Add(key, answer + " error=" + Hex(error));
  inner_.SetLastError(error);
  return ok;
}

BOOL RecordingWin32Api::CloseHandle(HANDLE handle) {
  {
    std::lock_guard lock(mutex_);
    names_.erase(handle);
  }
  return inner_.CloseHandle(handle);
}

HDEVINFO RecordingWin32Api::SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) {
  HDEVINFO set = inner_.SetupDiGetClassDevsA(interfaceClass, flags);
  DWORD error = inner_.GetLastError();
  const bool ok = set != INVALID_HANDLE_VALUE;
  if (ok) {
    std::lock_guard lock(mutex_);
    names_[set] = SetName(interfaceClass);
  }
  Add("SetupDiGetClassDevsA class=" + SetName(interfaceClass) + " flags=" + Hex(flags),
      Ok(ok, error));
  inner_.SetLastError(error);
  return set;
}

BOOL RecordingWin32Api::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  BOOL ok = inner_.SetupDiEnumDeviceInfo(set, index, data);
  DWORD error = inner_.GetLastError();
  Add("SetupDiEnumDeviceInfo class=" + NameOf(set) + " index=" + Hex(index),
      Ok(ok, error) + " devinst=" + Hex(ok && data != nullptr ? data->DevInst : 0));
  inner_.SetLastError(error);
  return ok;
}

BOOL RecordingWin32Api::SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id,
                                                    DWORD size, DWORD* required) {
  BOOL ok = inner_.SetupDiGetDeviceInstanceIdA(set, data, id, size, required);
  DWORD error = inner_.GetLastError();
  Add("SetupDiGetDeviceInstanceIdA class=" + NameOf(set) +
          " devinst=" + Hex(data != nullptr ? data->DevInst : 0) + " size=" + Hex(size),
      Ok(ok, error) + " id=" + Quoted(ok ? CText(id, size) : std::string()));
  inner_.SetLastError(error);
  return ok;
}

BOOL RecordingWin32Api::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* data,
                                                    const GUID* interfaceClass, DWORD index,
                                                    SP_DEVICE_INTERFACE_DATA* interfaceData) {
  BOOL ok = inner_.SetupDiEnumDeviceInterfaces(set, data, interfaceClass, index, interfaceData);
  DWORD error = inner_.GetLastError();
  {
    std::lock_guard lock(mutex_);
    lastInterface_[set] = index;
  }
  Add("SetupDiEnumDeviceInterfaces class=" + NameOf(set) + " index=" + Hex(index), Ok(ok, error));
  inner_.SetLastError(error);
  return ok;
}

BOOL RecordingWin32Api::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                         SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                         SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                         DWORD size, DWORD* required,
                                                         SP_DEVINFO_DATA* data) {
  DWORD index = 0;
  {
    std::lock_guard lock(mutex_);
    index = lastInterface_[set];
  }
  BOOL ok = inner_.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, size, required,
                                                    data);
  DWORD error = inner_.GetLastError();
  constexpr size_t kPathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  std::string path = ok && detail != nullptr && size > kPathAt
                         ? CText(detail->DevicePath, size - kPathAt)
                         : std::string();
  Add("SetupDiGetDeviceInterfaceDetailA class=" + NameOf(set) + " index=" + Hex(index) +
          " size=" + Hex(size),
      Ok(ok, error) + " path=" + Quoted(path));
  inner_.SetLastError(error);
  return ok;
}

BOOL RecordingWin32Api::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  {
    std::lock_guard lock(mutex_);
    names_.erase(set);
    lastInterface_.erase(set);
  }
  return inner_.SetupDiDestroyDeviceInfoList(set);
}

CONFIGRET RecordingWin32Api::CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) {
  CONFIGRET cr = inner_.CM_Locate_DevNodeA(node, id, flags);
  Add("CM_Locate_DevNodeA id=" + Quoted(CText(id, kMaxString)) + " flags=" + Hex(flags),
      Cr(cr) + " devinst=" + Hex(cr == CR_SUCCESS ? *node : 0));
  return cr;
}

CONFIGRET RecordingWin32Api::CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) {
  CONFIGRET cr = inner_.CM_Get_Child(child, node, flags);
  Add("CM_Get_Child devinst=" + Hex(node), Cr(cr) + " devinst=" + Hex(cr == CR_SUCCESS ? *child : 0));
  return cr;
}

CONFIGRET RecordingWin32Api::CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) {
  CONFIGRET cr = inner_.CM_Get_Sibling(sibling, node, flags);
  Add("CM_Get_Sibling devinst=" + Hex(node),
      Cr(cr) + " devinst=" + Hex(cr == CR_SUCCESS ? *sibling : 0));
  return cr;
}

CONFIGRET RecordingWin32Api::CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG flags) {
  CONFIGRET cr = inner_.CM_Get_Parent(parent, node, flags);
  Add("CM_Get_Parent devinst=" + Hex(node),
      Cr(cr) + " devinst=" + Hex(cr == CR_SUCCESS ? *parent : 0));
  return cr;
}

CONFIGRET RecordingWin32Api::CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size,
                                               ULONG flags) {
  CONFIGRET cr = inner_.CM_Get_Device_IDA(node, buffer, size, flags);
  Add("CM_Get_Device_IDA devinst=" + Hex(node) + " size=" + Hex(size),
      Cr(cr) + " id=" + Quoted(cr == CR_SUCCESS ? CText(buffer, size) : std::string()));
  return cr;
}

CONFIGRET RecordingWin32Api::CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property,
                                                              ULONG* type, void* buffer,
                                                              ULONG* size, ULONG flags) {
  const ULONG capacity = size != nullptr ? *size : 0;
  CONFIGRET cr = inner_.CM_Get_DevNode_Registry_PropertyA(node, property, type, buffer, size, flags);
  const ULONG got = cr == CR_SUCCESS && size != nullptr ? std::min(*size, capacity) : 0;
  Add("CM_Get_DevNode_Registry_PropertyA devinst=" + Hex(node) + " property=" + Hex(property) +
          " size=" + Hex(capacity),
      Cr(cr) + " type=" + Hex(cr == CR_SUCCESS && type != nullptr ? *type : 0) +
          " data=" + Blob(buffer, buffer != nullptr ? got : 0));
  return cr;
}

DWORD RecordingWin32Api::GetLogicalDrives() {
  DWORD mask = inner_.GetLogicalDrives();
  Add("GetLogicalDrives", "value=" + Hex(mask));
  return mask;
}

UINT RecordingWin32Api::GetDriveTypeA(const char* root) {
  UINT type = inner_.GetDriveTypeA(root);
  Add("GetDriveTypeA root=" + Quoted(CText(root, kMaxString)), "value=" + Hex(type));
  return type;
}

// The format's process calls are passed on unrecorded: a recording is of a
// scan, and a replay starts no process.
BOOL RecordingWin32Api::ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  return inner_.ShellExecuteExA(info);
}
DWORD RecordingWin32Api::WaitForSingleObject(HANDLE handle, DWORD ms) {
  return inner_.WaitForSingleObject(handle, ms);
}
BOOL RecordingWin32Api::GetExitCodeProcess(HANDLE process, DWORD* code) {
  return inner_.GetExitCodeProcess(process, code);
}

// ---- replay

namespace {
thread_local DWORD replayError = 0;  // the thread's error, as the system keeps it per thread

bool SplitFields(std::string_view text, ReplayWin32Api::Answer* out) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) return false;
    size_t end = eq + 1;
    if (end < text.size() && text[end] == '"') {
      end = text.find('"', end + 1);
      if (end == std::string_view::npos) return false;
      ++end;
    } else {
      end = std::min(text.find(' ', end), text.size());
    }
    (*out)[std::string(text.substr(i, eq - i))] = std::string(text.substr(eq + 1, end - eq - 1));
    i = end;
  }
  return true;
}

uint64_t Number(const ReplayWin32Api::Answer& a, std::string_view name) {
  auto it = a.find(name);
  uint64_t v = 0;
  if (it != a.end()) (void)ParseNumber(it->second, &v);
  return v;
}

std::string String(const ReplayWin32Api::Answer& a, std::string_view name) {
  auto it = a.find(name);
  std::string s;
  if (it != a.end()) (void)ParseQuoted(it->second, &s);
  return s;
}

std::vector<uint8_t> Bytes(const ReplayWin32Api::Answer& a, std::string_view name) {
  auto it = a.find(name);
  std::vector<uint8_t> b;
  if (it != a.end()) (void)ParseBlob(it->second, &b);
  return b;
}

// Copies a recorded text into a caller's buffer of `size` bytes, terminated.
bool CopyText(const std::string& text, char* buffer, size_t size) {
  if (buffer == nullptr || text.size() + 1 > size) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// Every field of an answer must read as its kind: numbers hex, texts quoted,
// bytes as hex with their length.
bool AnswerIsWellFormed(const ReplayWin32Api::Answer& a) {
  for (const auto& [name, value] : a) {
    uint64_t n = 0;
    std::string s;
    std::vector<uint8_t> b;
    const bool ok = name == "out" || name == "data" ? ParseBlob(value, &b)
                    : name == "id" || name == "path" ? ParseQuoted(value, &s)
                                                     : ParseNumber(value, &n);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<ReplayWin32Api> ReplayWin32Api::FromText(std::string_view text, std::string* why) {
  std::unique_ptr<ReplayWin32Api> replay(new ReplayWin32Api());
  size_t lineNumber = 0;
  bool header = false;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!header) {
      if (line != kRecordingHeader) {
        if (why) *why = "line " + std::to_string(lineNumber) + ": not a Win32 recording";
        return nullptr;
      }
      header = true;
      continue;
    }
    const size_t arrow = line.find(" -> ");
    Answer answer;
    if (arrow == std::string_view::npos || !SplitFields(line.substr(arrow + 4), &answer) ||
        !AnswerIsWellFormed(answer)) {
      if (why) *why = "line " + std::to_string(lineNumber) + ": cannot be read";
      return nullptr;
    }
    replay->answers_[std::string(line.substr(0, arrow))].push_back(std::move(answer));
  }
  if (!header) {
    if (why) *why = "not a Win32 recording";
    return nullptr;
  }
  return replay;
}

std::unique_ptr<ReplayWin32Api> ReplayWin32Api::FromFile(const std::string& path, std::string* why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (why) *why = "cannot open " + path;
    return nullptr;
  }
  std::string text;
  char chunk[8192];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < (size_t{64} << 20)) {
    text.append(chunk, n);
  }
  std::fclose(f);
  return FromText(text, why);
}

std::vector<std::string> ReplayWin32Api::Unanswered() const {
  std::lock_guard lock(mutex_);
  return unanswered_;
}

const ReplayWin32Api::Answer* ReplayWin32Api::Find(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = answers_.find(key);
  if (it == answers_.end() || it->second.empty()) {
    unanswered_.push_back(key);
    return nullptr;
  }
  // Answers in turn; the last one stays for every later call. Answers are
  // never removed while one is in use: a deque keeps the rest in place.
  if (it->second.size() > 1) {
    retired_.push_back(std::move(it->second.front()));
    it->second.pop_front();
    return &retired_.back();
  }
  return &it->second.front();
}

HANDLE ReplayWin32Api::Handle(const std::string& name) {
  std::lock_guard lock(mutex_);
  handles_.push_back(name);
  return reinterpret_cast<HANDLE>(handles_.size());
}

std::string ReplayWin32Api::NameOf(const void* handle) {
  std::lock_guard lock(mutex_);
  const size_t n = reinterpret_cast<size_t>(handle);
  return n >= 1 && n <= handles_.size() ? handles_[n - 1] : std::string("?");
}

void ReplayWin32Api::SetError(const Answer& answer) {
  replayError = static_cast<DWORD>(Number(answer, "error"));
}

DWORD ReplayWin32Api::GetLastError() {
  return replayError;
}

void ReplayWin32Api::SetLastError(DWORD code) {
  replayError = code;
}

HANDLE ReplayWin32Api::CreateFileA(const char* name, DWORD access, DWORD share, DWORD disposition) {
  const std::string path = CText(name, kMaxString);
  const Answer* a = Find("CreateFileA name=" + Quoted(path) + " access=" + Hex(access) +
                         " share=" + Hex(share) + " disposition=" + Hex(disposition));
  if (a == nullptr) {
    replayError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  SetError(*a);
  return Number(*a, "ok") != 0 ? Handle(path) : INVALID_HANDLE_VALUE;
}

BOOL ReplayWin32Api::DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                     DWORD outSize, DWORD* returned) {
  const SptdData data = DataOf(code, in, inSize);
  const Answer* a = Find(IoctlKey(NameOf(device), code, in, inSize, outSize));
  if (a == nullptr) {
    replayError = ERROR_NOT_SUPPORTED;
    return FALSE;
  }
  std::vector<uint8_t> bytes = Bytes(*a, "out");
  if (out != nullptr) {
    const size_t n = std::min<size_t>(bytes.size(), outSize);
    if (n > 0) std::memcpy(out, bytes.data(), n);
    // The answer's block points at this caller's buffer, as the system's would.
    if (data.present && outSize >= kSptdNative.size) {
      std::memcpy(static_cast<uint8_t*>(out) + kSptdNative.dataBuffer,
                  static_cast<const uint8_t*>(in) + kSptdNative.dataBuffer,
                  kSptdNative.pointerBytes);
    }
  }
  if (data.present && data.direction == kScsiDataIn && data.length > 0) {
    std::vector<uint8_t> moved = Bytes(*a, "data");
    std::memcpy(data.address, moved.data(), std::min<size_t>(moved.size(), data.length));
  }
  if (returned != nullptr) {
    *returned = static_cast<DWORD>(std::min<uint64_t>(Number(*a, "returned"), outSize));
  }
  SetError(*a);
  return Number(*a, "ok") != 0;
}

BOOL ReplayWin32Api::CloseHandle(HANDLE) {
  return TRUE;
}

HDEVINFO ReplayWin32Api::SetupDiGetClassDevsA(const GUID* interfaceClass, DWORD flags) {
  const Answer* a =
      Find("SetupDiGetClassDevsA class=" + SetName(interfaceClass) + " flags=" + Hex(flags));
  if (a == nullptr) {
    replayError = ERROR_INVALID_DATA;
    return INVALID_HANDLE_VALUE;
  }
  SetError(*a);
  return Number(*a, "ok") != 0 ? Handle(SetName(interfaceClass)) : INVALID_HANDLE_VALUE;
}

BOOL ReplayWin32Api::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  const Answer* a = Find("SetupDiEnumDeviceInfo class=" + NameOf(set) + " index=" + Hex(index));
  if (a == nullptr) {
    replayError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  SetError(*a);
  if (Number(*a, "ok") == 0) return FALSE;
  if (data != nullptr) data->DevInst = static_cast<DEVINST>(Number(*a, "devinst"));
  return TRUE;
}

BOOL ReplayWin32Api::SetupDiGetDeviceInstanceIdA(HDEVINFO set, SP_DEVINFO_DATA* data, char* id,
                                                 DWORD size, DWORD* required) {
  const Answer* a = Find("SetupDiGetDeviceInstanceIdA class=" + NameOf(set) +
                         " devinst=" + Hex(data != nullptr ? data->DevInst : 0) +
                         " size=" + Hex(size));
  if (a == nullptr) {
    replayError = ERROR_NO_SUCH_DEVINST;
    return FALSE;
  }
  SetError(*a);
  const std::string text = String(*a, "id");
  if (required != nullptr) *required = static_cast<DWORD>(text.size() + 1);
  return Number(*a, "ok") != 0 && CopyText(text, id, size);
}

BOOL ReplayWin32Api::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID*,
                                                 DWORD index, SP_DEVICE_INTERFACE_DATA*) {
  {
    std::lock_guard lock(mutex_);
    lastInterface_[set] = index;
  }
  const Answer* a =
      Find("SetupDiEnumDeviceInterfaces class=" + NameOf(set) + " index=" + Hex(index));
  if (a == nullptr) {
    replayError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  SetError(*a);
  return Number(*a, "ok") != 0;
}

BOOL ReplayWin32Api::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA*,
                                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                      DWORD size, DWORD* required,
                                                      SP_DEVINFO_DATA*) {
  DWORD index = 0;
  {
    std::lock_guard lock(mutex_);
    index = lastInterface_[set];
  }
  const Answer* a = Find("SetupDiGetDeviceInterfaceDetailA class=" + NameOf(set) +
                         " index=" + Hex(index) + " size=" + Hex(size));
  if (a == nullptr) {
    replayError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  SetError(*a);
  constexpr size_t kPathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const std::string path = String(*a, "path");
  if (required != nullptr) *required = static_cast<DWORD>(kPathAt + path.size() + 1);
  return Number(*a, "ok") != 0 && detail != nullptr && size > kPathAt &&
         CopyText(path, detail->DevicePath, size - kPathAt);
}

BOOL ReplayWin32Api::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  std::lock_guard lock(mutex_);
  lastInterface_.erase(set);
  return TRUE;
}

CONFIGRET ReplayWin32Api::CM_Locate_DevNodeA(DEVINST* node, const char* id, ULONG flags) {
  const Answer* a =
      Find("CM_Locate_DevNodeA id=" + Quoted(CText(id, kMaxString)) + " flags=" + Hex(flags));
  if (a == nullptr) return CR_NO_SUCH_DEVNODE;
  const auto cr = static_cast<CONFIGRET>(Number(*a, "cr"));
  if (cr == CR_SUCCESS) *node = static_cast<DEVINST>(Number(*a, "devinst"));
  return cr;
}

namespace {
CONFIGRET Related(const ReplayWin32Api::Answer* a, DEVINST* out) {
  if (a == nullptr) return CR_NO_SUCH_DEVNODE;
  const auto cr = static_cast<CONFIGRET>(Number(*a, "cr"));
  if (cr == CR_SUCCESS) *out = static_cast<DEVINST>(Number(*a, "devinst"));
  return cr;
}
}  // namespace

CONFIGRET ReplayWin32Api::CM_Get_Child(DEVINST* child, DEVINST node, ULONG) {
  return Related(Find("CM_Get_Child devinst=" + Hex(node)), child);
}

CONFIGRET ReplayWin32Api::CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG) {
  return Related(Find("CM_Get_Sibling devinst=" + Hex(node)), sibling);
}

CONFIGRET ReplayWin32Api::CM_Get_Parent(DEVINST* parent, DEVINST node, ULONG) {
  return Related(Find("CM_Get_Parent devinst=" + Hex(node)), parent);
}

CONFIGRET ReplayWin32Api::CM_Get_Device_IDA(DEVINST node, char* buffer, ULONG size, ULONG) {
  const Answer* a = Find("CM_Get_Device_IDA devinst=" + Hex(node) + " size=" + Hex(size));
  if (a == nullptr) return CR_NO_SUCH_DEVNODE;
  const auto cr = static_cast<CONFIGRET>(Number(*a, "cr"));
  if (cr != CR_SUCCESS) return cr;
  return CopyText(String(*a, "id"), buffer, size) ? CR_SUCCESS : CR_BUFFER_SMALL;
}

CONFIGRET ReplayWin32Api::CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property,
                                                           ULONG* type, void* buffer, ULONG* size,
                                                           ULONG) {
  const ULONG capacity = size != nullptr ? *size : 0;
  const Answer* a = Find("CM_Get_DevNode_Registry_PropertyA devinst=" + Hex(node) +
                         " property=" + Hex(property) + " size=" + Hex(capacity));
  if (a == nullptr) return CR_NO_SUCH_VALUE;
  const auto cr = static_cast<CONFIGRET>(Number(*a, "cr"));
  if (cr != CR_SUCCESS) return cr;
  std::vector<uint8_t> data = Bytes(*a, "data");
  if (data.size() > capacity || buffer == nullptr || size == nullptr) return CR_BUFFER_SMALL;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *size = static_cast<ULONG>(data.size());
  if (type != nullptr) *type = static_cast<ULONG>(Number(*a, "type"));
  return CR_SUCCESS;
}

DWORD ReplayWin32Api::GetLogicalDrives() {
  const Answer* a = Find("GetLogicalDrives");
  return a == nullptr ? 0 : static_cast<DWORD>(Number(*a, "value"));
}

UINT ReplayWin32Api::GetDriveTypeA(const char* root) {
  const Answer* a = Find("GetDriveTypeA root=" + Quoted(CText(root, kMaxString)));
  return a == nullptr ? DRIVE_NO_ROOT_DIR : static_cast<UINT>(Number(*a, "value"));
}

BOOL ReplayWin32Api::ShellExecuteExA(SHELLEXECUTEINFOA*) {
  replayError = ERROR_NOT_SUPPORTED;
  return FALSE;
}

DWORD ReplayWin32Api::WaitForSingleObject(HANDLE, DWORD) {
  replayError = ERROR_INVALID_HANDLE;
  return WAIT_FAILED;
}

BOOL ReplayWin32Api::GetExitCodeProcess(HANDLE, DWORD*) {
  replayError = ERROR_INVALID_HANDLE;
  return FALSE;
}

}  // namespace qelvar::platform::windows
