// The file calls of platform/files.h on Windows (files.cpp is the POSIX one).
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/windows/win32_api.h"

// windows.h names ReplaceFileA so; the station's own ReplaceFile is meant.
#undef ReplaceFile

namespace qelvar::platform {
namespace {

constexpr DWORD kMaxModulePath = 32768;

bool WriteAll(HANDLE h, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

// The system's words for an error code, without the trailing line end.
std::string SystemMessage(DWORD code) {
  char text[512] = {};
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text - 1, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return std::string(text, n);
}

void Explain(std::string* why, const std::string& what, DWORD code) {
  if (why) *why = what + ": " + SystemMessage(code);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Aside files "<path>.tmp<pid>-<n>" of writes that were killed: those of
// processes that no longer run. A running process's files may still be in
// use, and this process's own are removed by the write that made them.
void RemoveLeftAsideFiles(const std::string& path) {
  WIN32_FIND_DATAA found{};
  const std::string pattern = path + ".tmp*";
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  const std::string folder = FolderOf(path);
  const std::string base = path.substr(folder.size() == path.size() ? 0 : folder.size() + 1);
  do {
    const std::string name = found.cFileName;
    const std::string rest = name.substr(std::min(name.size(), base.size() + 4));
    const size_t dash = rest.find('-');
    if (name.rfind(base + ".tmp", 0) != 0 || dash == 0 || dash == std::string::npos) continue;
    DWORD pid = 0;
    bool digits = true;
    for (size_t i = 0; i < dash && digits; ++i) {
      digits = rest[i] >= '0' && rest[i] <= '9' && pid < 0x19999999u;
      if (digits) pid = pid * 10 + static_cast<DWORD>(rest[i] - '0');
    }
    if (!digits || pid == ::GetCurrentProcessId()) continue;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process != nullptr) {
      DWORD exitCode = 0;
      const bool running = ::GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
      ::CloseHandle(process);
      if (running) continue;
    } else if (::GetLastError() == ERROR_ACCESS_DENIED) {
      continue;  // another user's process that still runs
    }
    (void)::DeleteFileA((folder + "\\" + name).c_str());
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

}  // namespace

std::string ExecutableDir() {
  std::vector<char> buffer(MAX_PATH);
  while (true) {
    DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      std::string path(buffer.data(), n);
      size_t slash = path.find_last_of("\\/");
      if (slash == std::string::npos) return {};
      return path.substr(0, slash);
    }
    if (buffer.size() >= kMaxModulePath) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* why) {
  if (path.empty()) {
    if (why) *why = "no file name was given";
    return false;
  }
  RemoveLeftAsideFiles(path);
  // A fresh aside name per attempt; CREATE_NEW never reuses a leftover file.
  static std::atomic<unsigned> counter{0};
  std::string aside;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    aside =
        path + ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    h = ::CreateFileA(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
      Explain(why, "cannot create a file in the folder " + FolderOf(path), ::GetLastError());
      return false;
    }
  }
  if (h == INVALID_HANDLE_VALUE) {
    if (why) *why = "cannot create a file in the folder " + FolderOf(path);
    return false;
  }
  bool ok = WriteAll(h, bytes) && ::FlushFileBuffers(h);
  DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
  ok = ::CloseHandle(h) && ok;
  if (!ok) Explain(why, "cannot write " + aside, code == ERROR_SUCCESS ? ::GetLastError() : code);
  if (ok) {
    // An existing file is replaced in place: it keeps its attributes, its
    // security and its creation time. A new one is moved into place.
    DWORD existing = ::GetFileAttributesA(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
      ok = ::ReplaceFileA(path.c_str(), aside.c_str(), nullptr,
                          REPLACEFILE_WRITE_THROUGH | REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                          nullptr);
      if (!ok) Explain(why, "cannot replace " + path, ::GetLastError());
      // Not every implementation carries the attributes over (Wine does
      // not): set them again where they were lost.
      constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
      DWORD now = ok ? ::GetFileAttributesA(path.c_str()) : INVALID_FILE_ATTRIBUTES;
      if (now != INVALID_FILE_ATTRIBUTES && (now & kKept) != (existing & kKept)) {
        (void)::SetFileAttributesA(path.c_str(), (now & ~kKept) | (existing & kKept));
      }
    } else {
      ok = ::MoveFileExA(aside.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
      if (!ok) Explain(why, "cannot create " + path, ::GetLastError());
    }
  }
  if (!ok) {
    ::DeleteFileA(aside.c_str());
    return false;
  }
  return true;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // One write at the end of the file.
  DWORD written = 0;
  bool ok = bytes.size() <= 0xFFFFFFFFu &&
            ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && ::FlushFileBuffers(h);
  return ::CloseHandle(h) && ok;
}

bool FlushToDisk(const std::string& path) {
  // A folder opens only with backup semantics; its entries go with the file system's journal.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool flushed = ::FlushFileBuffers(h) != 0;
  ::CloseHandle(h);
  return flushed;
}

bool MakeFolder(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
  return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

std::optional<uint64_t> FreeBytes(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::space_info space = std::filesystem::space(folder, ec);
  if (ec) return std::nullopt;
  return static_cast<uint64_t>(space.available);
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameA(name, &size) || size == 0) return "station";
  return std::string(name, size < sizeof name ? size : sizeof name - 1);
}

}  // namespace qelvar::platform
