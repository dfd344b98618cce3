#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qelvar::platform {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Aside files are named "<file>.tmp<pid>-<n>".
constexpr const char* kAsideMark = ".tmp";

// The aside files this process is writing right now; a leftover-sweep never
// takes one of them.
std::mutex gAsideMutex;
std::set<std::string> gAsideInUse;
unsigned gAsideCounter = 0;

// The file a path names, symbolic links followed (a dangling link gives the
// file it would create). False, with errno set, when the links loop.
bool FollowLinks(const std::string& path, std::string* target) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = current;
      return true;
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) {
      *target = current;
      return true;
    }
    std::string link(buffer, static_cast<size_t>(n));
    current = link.front() == '/' ? link : FolderOf(current) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

// A write killed between creating its aside file and the rename leaves the
// aside file behind. Removes those of `target` whose writer is gone: another
// process that no longer exists, or this process (a former holder of its
// number) when no write of ours uses the file.
void RemoveLeftAsideFiles(const std::string& target) {
  const std::string folder = FolderOf(target);
  size_t slash = target.find_last_of('/');
  const std::string prefix =
      (slash == std::string::npos ? target : target.substr(slash + 1)) + std::string(kAsideMark);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> gone;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    std::string_view rest = name.substr(prefix.size());
    size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size()) continue;
    auto digits = [](std::string_view s) {
      return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(rest.substr(0, dash)) || !digits(rest.substr(dash + 1))) continue;
    long pid = std::strtol(std::string(rest.substr(0, dash)).c_str(), nullptr, 10);
    bool ours = pid == ::getpid();
    bool writerGone =
        !ours && (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH));
    if (ours || writerGone) gone.push_back(folder + "/" + std::string(name));
  }
  ::closedir(dir);
  std::lock_guard lock(gAsideMutex);
  for (const std::string& file : gone) {
    if (gAsideInUse.count(file) == 0) ::unlink(file.c_str());
  }
}

}  // namespace

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* why) {
  auto fail = [&](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return false;
  };
  if (path.empty()) return fail("no file name given");
  std::string target;
  if (!FollowLinks(path, &target)) {
    return fail("cannot follow the links of " + path + ": " + std::strerror(errno));
  }
  const std::string folder = FolderOf(target);
  RemoveLeftAsideFiles(target);

  std::string aside;
  int fd = -1;
  {
    std::lock_guard lock(gAsideMutex);
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      aside =
          target + kAsideMark + std::to_string(::getpid()) + "-" + std::to_string(gAsideCounter++);
      fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      return fail("cannot create a file in the folder " + folder + ": " + std::strerror(errno));
    }
    gAsideInUse.insert(aside);
  }
  auto done = [&](bool removeAside) {
    if (removeAside) ::unlink(aside.c_str());
    std::lock_guard lock(gAsideMutex);
    gAsideInUse.erase(aside);
  };

  // The replaced file's owner first: changing the owner may clear mode bits.
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    // Only root may give a file away; anyone else keeps what the system allows.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
      (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
      int err = errno;
      ::close(fd);
      done(true);
      return fail("cannot set the permissions of " + target + ": " + std::strerror(err));
    }
  }
  bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    err = errno;
  }
  if (!written) {
    done(true);
    return fail("cannot write " + target + ": " + std::strerror(err));
  }
  if (::rename(aside.c_str(), target.c_str()) != 0) {
    err = errno;
    done(true);
    return fail("cannot replace " + target + ": " + std::strerror(err));
  }
  done(false);
  // The rename itself is only durable once the folder is flushed too.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  return (::close(fd) == 0) && ok;
}

bool FlushToDisk(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  return flushed;
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST;
}

}  // namespace qelvar::platform

namespace qelvar::platform {

std::optional<uint64_t> FreeBytes(const std::string& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "station";
  return std::string(name, strnlen(name, sizeof name));
}

}  // namespace qelvar::platform
