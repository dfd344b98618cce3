#include "platform/linux/linux_volume_ops.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/mbr_sector.h"

extern char** environ;

namespace qelvar::platform::linux_backend {

namespace fs = std::filesystem;

namespace {

constexpr const char* kInstalledMkntfs = "/usr/sbin/mkntfs";
constexpr size_t kErrorTailBytes = 512;

class LinuxDisk final : public DiskHandle {
 public:
  explicit LinuxDisk(int fd) : fd_(fd) {}
  ~LinuxDisk() override { ::close(fd_); }
  LinuxDisk(const LinuxDisk&) = delete;
  LinuxDisk& operator=(const LinuxDisk&) = delete;

  bool CreateDisk(uint32_t signature, int* error) override {
    DriveLayout empty;
    empty.signature = signature;
    std::array<uint8_t, kMbrSectorBytes> sector{};
    if (!EncodeMbrSector(empty, kMbrSectorBytes, sector)) return Fail(error, EINVAL);
    return WriteSectorZero(sector, error);
  }

  bool UpdateProperties(int* error) override {
    if (::ioctl(fd_, BLKRRPART) != 0) return Fail(error, errno);
    return true;
  }

  bool GetGeometry(DiskGeometry* out, int* error) override {
    int sectorSize = 0;
    uint64_t bytes = 0;
    if (!Size(&sectorSize, &bytes, error)) return false;
    *out = GeometryForSize(bytes, static_cast<uint32_t>(sectorSize));
    return true;
  }

  bool SetDriveLayout(const DriveLayout& layout, int* error) override {
    int sectorSize = 0;
    uint64_t bytes = 0;
    if (!Size(&sectorSize, &bytes, error)) return false;
    // The kernel would accept an entry that runs past the disk and cut it
    // there; a table that disagrees with its disk is refused instead.
    for (const PartitionEntry& e : layout.entries) {
      if (e.type != 0 && (e.startOffset > bytes || e.length > bytes - e.startOffset)) {
        return Fail(error, EINVAL);
      }
    }
    std::array<uint8_t, kMbrSectorBytes> sector{};
    if (!EncodeMbrSector(layout, static_cast<uint32_t>(sectorSize), sector)) {
      return Fail(error, EINVAL);
    }
    return WriteSectorZero(sector, error);
  }

 private:
  static bool Fail(int* error, int code) {
    if (error != nullptr) *error = code;
    return false;
  }

  bool Size(int* sectorSize, uint64_t* bytes, int* error) {
    if (::ioctl(fd_, BLKSSZGET, sectorSize) != 0) return Fail(error, errno);
    if (::ioctl(fd_, BLKGETSIZE64, bytes) != 0) return Fail(error, errno);
    if (*sectorSize <= 0) return Fail(error, EINVAL);
    return true;
  }

  // The table must be on the medium before the kernel is asked to read it
  // and before the drive can be pulled.
  bool WriteSectorZero(std::span<const uint8_t> sector, int* error) {
    size_t done = 0;
    while (done < sector.size()) {
      ssize_t n =
          ::pwrite(fd_, sector.data() + done, sector.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(error, n < 0 ? errno : EIO);
      done += static_cast<size_t>(n);
    }
    if (::fsync(fd_) != 0) return Fail(error, errno);
    return true;
  }

  int fd_;
};

std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The last non-empty line of what the child wrote to its error output.
std::string LastErrorLine(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size <= 0) return {};
  off_t from = std::max<off_t>(0, st.st_size - static_cast<off_t>(kErrorTailBytes));
  std::array<char, kErrorTailBytes> buffer{};
  ssize_t n = ::pread(fd, buffer.data(), buffer.size(), from);
  if (n <= 0) return {};
  std::string_view text(buffer.data(), static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  if (auto nl = text.find_last_of('\n'); nl != std::string_view::npos) text.remove_prefix(nl + 1);
  return std::string(text);
}

}  // namespace

LinuxVolumeOps::LinuxVolumeOps(std::string sysfsRoot, std::string mkntfs)
    : sysfsRoot_(std::move(sysfsRoot)), mkntfs_(std::move(mkntfs)) {
  if (mkntfs_.empty()) {
    if (::access(kInstalledMkntfs, X_OK) == 0) {
      mkntfs_ = kInstalledMkntfs;
    } else {
      mkntfs_ = "mkntfs";
      searchPath_ = true;
    }
  }
}

LinuxVolumeOps::~LinuxVolumeOps() {
  (void)CollectFinishedFormats();
  for (Job& job : jobs_) ::close(job.errorsFd);
}

std::unique_ptr<DiskHandle> LinuxVolumeOps::OpenDisk(std::string_view path, int* error) {
  std::string p(path);
  int fd = ::open(p.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    if (error != nullptr) *error = errno;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    ::close(fd);
    if (error != nullptr) *error = ENOTBLK;
    return nullptr;
  }
  return std::make_unique<LinuxDisk>(fd);
}

std::vector<FixedVolume> LinuxVolumeOps::ListFixedVolumes() {
  std::vector<FixedVolume> volumes;
  std::error_code ec;
  fs::directory_iterator disks(fs::path(sysfsRoot_) / "block", ec);
  for (; !ec && disks != fs::directory_iterator(); disks.increment(ec)) {
    const fs::path& disk = disks->path();
    if (ReadFirstLine(disk / "removable") != "0") continue;
    std::string diskName = disk.filename().string();
    std::error_code childEc;
    fs::directory_iterator child(disk, childEc);
    for (; !childEc && child != fs::directory_iterator(); child.increment(childEc)) {
      std::error_code existsEc;
      if (!fs::exists(child->path() / "partition", existsEc)) continue;
      std::string name = child->path().filename().string();
      volumes.push_back({name, "/dev/" + diskName, "/dev/" + name, 0});
    }
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const FixedVolume& a, const FixedVolume& b) { return a.name < b.name; });
  return volumes;
}

std::vector<std::string> LinuxVolumeOps::FormatCommand(const FixedVolume& volume,
                                                       std::string_view label) const {
  return {mkntfs_,   "--quick",          "--cluster-size", "65536",
          "--label", std::string(label), volume.path};
}

bool LinuxVolumeOps::StartFormat(const FixedVolume& volume, std::string_view label,
                                 std::string* detail) {
  auto fail = [&](const std::string& why) {
    if (detail != nullptr) *detail = "cannot start " + mkntfs_ + ": " + why;
    return false;
  };
  std::error_code ec;
  fs::path tmp = fs::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  std::string pattern = (tmp / "qelvar-mkntfs-XXXXXX").string();
  int errorsFd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (errorsFd < 0) return fail(std::strerror(errno));
  ::unlink(pattern.c_str());

  std::vector<std::string> args = FormatCommand(volume, label);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errorsFd, 2);
  pid_t pid = -1;
  int rc = searchPath_ ? ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                       : ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ::close(errorsFd);
    return fail(std::strerror(rc));
  }
  jobs_.push_back({pid, volume.name, std::string(label), errorsFd});
  return true;
}

std::vector<FormatOutcome> LinuxVolumeOps::CollectFinishedFormats() {
  std::vector<FormatOutcome> ended;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    int status = 0;
    pid_t r = -1;
    do {
      r = ::waitpid(it->pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      ++it;
      continue;
    }
    FormatOutcome outcome{it->volume, it->label, false, {}};
    std::string program = fs::path(mkntfs_).filename().string();
    if (r < 0) {
      outcome.detail = program + "'s exit status could not be collected: " + std::strerror(errno);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      outcome.succeeded = true;
    } else if (WIFEXITED(status)) {
      outcome.detail = program + " ended with exit status " + std::to_string(WEXITSTATUS(status));
    } else {
      outcome.detail = program + " was ended by signal " + std::to_string(WTERMSIG(status));
    }
    if (!outcome.succeeded) {
      std::string line = LastErrorLine(it->errorsFd);
      if (!line.empty()) outcome.detail += ": " + line;
    }
    ::close(it->errorsFd);
    ended.push_back(std::move(outcome));
    it = jobs_.erase(it);
  }
  return ended;
}

}  // namespace qelvar::platform::linux_backend
