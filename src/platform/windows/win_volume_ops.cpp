#include "platform/windows/win_volume_ops.h"

#include <cstddef>
#include <cstring>

namespace qelvar::platform::windows {

static_assert(IOCTL_DISK_CREATE_DISK == 0x0007C058 && IOCTL_DISK_UPDATE_PROPERTIES == 0x00070140 &&
              IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x00070000 &&
              IOCTL_DISK_SET_DRIVE_LAYOUT_EX == 0x0007C054);
static_assert(sizeof(CREATE_DISK) == 24 && sizeof(DISK_GEOMETRY) == 24 &&
              sizeof(DRIVE_LAYOUT_INFORMATION_EX) == 192 &&
              sizeof(PARTITION_INFORMATION_EX) == 144);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48);

namespace {

bool Fail(Win32Api& api, int* error) {
  if (error != nullptr) {
    DWORD code = api.GetLastError();
    *error = static_cast<int>(code != 0 ? code : ERROR_GEN_FAILURE);
  }
  return false;
}

class WinDisk final : public DiskHandle {
 public:
  // `volumes`: the disk's volumes, dismounted, held (and locked) while the
  // disk is open.
  WinDisk(Win32Api& api, HANDLE h, std::vector<HANDLE> volumes)
      : api_(api), h_(h), volumes_(std::move(volumes)) {}
  ~WinDisk() override {
    api_.CloseHandle(h_);
    for (HANDLE v : volumes_) api_.CloseHandle(v);
  }
  WinDisk(const WinDisk&) = delete;
  WinDisk& operator=(const WinDisk&) = delete;

  bool CreateDisk(uint32_t signature, int* error) override {
    CREATE_DISK create{};
    create.PartitionStyle = PARTITION_STYLE_MBR;
    create.Mbr.Signature = signature;
    return Request(IOCTL_DISK_CREATE_DISK, &create, sizeof create, nullptr, 0, error);
  }

  bool UpdateProperties(int* error) override {
    return Request(IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, error);
  }

  bool GetGeometry(DiskGeometry* out, int* error) override {
    DISK_GEOMETRY g{};
    if (!Request(IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, error)) return false;
    out->cylinders = static_cast<uint64_t>(g.Cylinders.QuadPart);
    out->tracksPerCylinder = g.TracksPerCylinder;
    out->sectorsPerTrack = g.SectorsPerTrack;
    out->bytesPerSector = g.BytesPerSector;
    // The whole cylinders are the least the disk holds; its length, where the
    // system tells it, is what it holds.
    out->diskBytes = out->cylinders * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (api_.DeviceIoControl(h_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                             &returned) &&
        length.Length.QuadPart > 0) {
      out->diskBytes = static_cast<uint64_t>(length.Length.QuadPart);
    }
    return true;
  }

  bool SetDriveLayout(const DriveLayout& layout, int* error) override {
    std::vector<uint8_t> block = EncodeDriveLayout(layout);
    return Request(IOCTL_DISK_SET_DRIVE_LAYOUT_EX, block.data(), static_cast<DWORD>(block.size()),
                   nullptr, 0, error);
  }

 private:
  bool Request(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, int* error) {
    DWORD returned = 0;
    if (!api_.DeviceIoControl(h_, code, in, inSize, out, outSize, &returned)) {
      return Fail(api_, error);
    }
    return true;
  }

  Win32Api& api_;
  HANDLE h_;
  std::vector<HANDLE> volumes_;
};

// The disk path ("\\.\PhysicalDrive2") of the volume open as `volume`;
// empty when the system does not tell it or it is not on a disk.
std::string DiskOfVolume(Win32Api& api, HANDLE volume) {
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  if (!api.DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                           sizeof number, &returned) ||
      number.DeviceType != FILE_DEVICE_DISK) {
    return {};
  }
  return "\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber);
}

bool LabelIsSafe(std::string_view label) {
  if (label.empty() || label.size() > 32) return false;
  for (char c : label) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeDriveLayout(const DriveLayout& layout) {
  constexpr size_t kBytes = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                            kMbrEntries * sizeof(PARTITION_INFORMATION_EX);
  std::vector<uint8_t> block(kBytes, 0);
  auto* info = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(block.data());
  info->PartitionStyle = PARTITION_STYLE_MBR;
  info->PartitionCount = kMbrEntries;
  info->Mbr.Signature = layout.signature;
  for (size_t i = 0; i < kMbrEntries; ++i) {
    const PartitionEntry& e = layout.entries[i];
    PARTITION_INFORMATION_EX& p = info->PartitionEntry[i];
    p.PartitionStyle = PARTITION_STYLE_MBR;
    p.StartingOffset.QuadPart = static_cast<LONGLONG>(e.startOffset);
    p.PartitionLength.QuadPart = static_cast<LONGLONG>(e.length);
    p.PartitionNumber = e.number;
    p.RewritePartition = e.rewrite ? TRUE : FALSE;
    p.Mbr.PartitionType = e.type;
    p.Mbr.BootIndicator = e.bootable ? TRUE : FALSE;
    p.Mbr.RecognizedPartition = e.recognized ? TRUE : FALSE;
    p.Mbr.HiddenSectors = e.hiddenSectors;
  }
  return block;
}

std::string FormatParameters(char letter, std::string_view label) {
  if (letter < 'A' || letter > 'Z' || !LabelIsSafe(label)) return {};
  // echo is given a backslash and the letter n, as the line always had.
  return std::string("/C \"echo \\n | format.com ") + letter +
         ": /force/q/u/x/a:64K/V:" + std::string(label) + "/FS:NTFS\"";
}

WinVolumeOps::~WinVolumeOps() {
  for (Job& job : jobs_) api_.CloseHandle(job.process);
}

std::unique_ptr<DiskHandle> WinVolumeOps::OpenDisk(std::string_view path, int* error) {
  std::string p(path);
  HANDLE h = p.empty() ? INVALID_HANDLE_VALUE
                       : api_.CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    if (p.empty()) {
      if (error != nullptr) *error = ERROR_FILE_NOT_FOUND;
    } else {
      Fail(api_, error);
    }
    return nullptr;
  }
  // A new partition table must not be written under a mounted file system:
  // every volume of the disk is locked (when nothing else holds it open) and
  // dismounted first, and held until the disk is closed.
  std::vector<HANDLE> held;
  DWORD mask = api_.GetLogicalDrives();
  for (int bit = 0; bit < 26; ++bit) {
    if ((mask & (DWORD{1} << bit)) == 0) continue;
    const char letter = static_cast<char>('A' + bit);
    const UINT type = api_.GetDriveTypeA((std::string(1, letter) + ":\\").c_str());
    if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) continue;
    const std::string name = std::string("\\\\.\\") + letter + ":";
    HANDLE v = api_.CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (v == INVALID_HANDLE_VALUE) continue;
    if (DiskOfVolume(api_, v) != p) {
      api_.CloseHandle(v);
      continue;
    }
    DWORD returned = 0;
    (void)api_.DeviceIoControl(v, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned);
    if (!api_.DeviceIoControl(v, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned)) {
      Fail(api_, error);
      api_.CloseHandle(v);
      for (HANDLE other : held) api_.CloseHandle(other);
      api_.CloseHandle(h);
      return nullptr;
    }
    held.push_back(v);
  }
  return std::make_unique<WinDisk>(api_, h, std::move(held));
}

std::vector<FixedVolume> WinVolumeOps::ListFixedVolumes() {
  std::vector<FixedVolume> volumes;
  DWORD mask = api_.GetLogicalDrives();
  for (int bit = 0; bit < 26; ++bit) {
    if ((mask & (DWORD{1} << bit)) == 0) continue;
    const char letter = static_cast<char>('A' + bit);
    const std::string root = std::string(1, letter) + ":\\";
    if (api_.GetDriveTypeA(root.c_str()) != DRIVE_FIXED) continue;
    FixedVolume v;
    v.name = std::string(1, letter) + ":";
    v.path = v.name;
    v.letter = letter;
    // The disk the volume lies on; a volume whose disk cannot be told is
    // listed without one and is never formatted.
    const std::string device = "\\\\.\\" + v.name;
    HANDLE h =
        api_.CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (h != INVALID_HANDLE_VALUE) {
      v.disk = DiskOfVolume(api_, h);
      api_.CloseHandle(h);
    }
    volumes.push_back(std::move(v));
  }
  return volumes;  // letters ascend, so names are sorted
}

bool WinVolumeOps::StartFormat(const FixedVolume& volume, std::string_view label,
                               std::string* detail) {
  std::string parameters = FormatParameters(volume.letter, label);
  if (parameters.empty()) {
    if (detail != nullptr) {
      *detail = "cannot format " + volume.name + ": the drive letter or the label \"" +
                std::string(label) + "\" cannot be given to format.com";
    }
    return false;
  }
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "open";
  info.lpFile = "CMD.EXE";
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  if (!api_.ShellExecuteExA(&info) || info.hProcess == nullptr) {
    if (detail != nullptr) {
      *detail = "cannot start CMD.EXE: error " + std::to_string(api_.GetLastError());
    }
    return false;
  }
  jobs_.push_back({info.hProcess, volume.name, std::string(label)});
  return true;
}

std::vector<FormatOutcome> WinVolumeOps::CollectFinishedFormats() {
  std::vector<FormatOutcome> ended;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    DWORD wait = api_.WaitForSingleObject(it->process, 0);
    if (wait == WAIT_TIMEOUT) {
      ++it;
      continue;
    }
    FormatOutcome outcome{it->volume, it->label, false, {}};
    DWORD code = 0;
    if (wait != WAIT_OBJECT_0 || !api_.GetExitCodeProcess(it->process, &code)) {
      outcome.detail = "format's exit status could not be collected: error " +
                       std::to_string(api_.GetLastError());
    } else if (code == 0) {
      outcome.succeeded = true;
    } else {
      outcome.detail = "format ended with exit status " + std::to_string(code);
    }
    api_.CloseHandle(it->process);
    ended.push_back(std::move(outcome));
    it = jobs_.erase(it);
  }
  return ended;
}

}  // namespace qelvar::platform::windows
