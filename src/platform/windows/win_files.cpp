// The file calls of platform/files.h on Windows (files.cpp is the POSIX one).
#include <atomic>
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

bool ReplaceFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  // A fresh aside name per attempt; CREATE_NEW never reuses a leftover file.
  static std::atomic<unsigned> counter{0};
  std::string aside;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    aside =
        path + ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    h = ::CreateFileA(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, bytes) && ::FlushFileBuffers(h);
  ok = ::CloseHandle(h) && ok;
  if (ok) {
    // An existing file is replaced in place: it keeps its attributes, its
    // security and its creation time. A new one is moved into place.
    DWORD existing = ::GetFileAttributesA(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES) {
      ok = ::ReplaceFileA(path.c_str(), aside.c_str(), nullptr,
                          REPLACEFILE_WRITE_THROUGH | REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                          nullptr);
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

bool MakeFolder(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
  return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace qelvar::platform
