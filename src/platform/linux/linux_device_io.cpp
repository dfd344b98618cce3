#include "platform/linux/linux_device_io.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

namespace qelvar::platform::linux_backend {
namespace {

// driver_status low bits: anything but OK (and the SENSE flag, which only says
// sense data is present) is a transport error.
constexpr unsigned kDriverStatusMask = 0x07;

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kSenseKeyRecovered = 0x01;

int KernelSgIo(int fd, sg_io_hdr* io) {
  return ::ioctl(fd, SG_IO, io);
}

// Without registers, whether an ATA command ended without error can still be
// told from the answer: GOOD, or the CHECK CONDITION that CK_COND asks for
// (RECOVERED ERROR, "ATA pass through information available"). A failed
// command comes back with another sense key.
bool CompletedWithoutError(uint8_t status, const uint8_t* sense, size_t length) {
  if (status == kStatusGood) return true;
  if (status != kStatusCheckCondition || length < 4) return false;
  const uint8_t code = sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    return (sense[1] & 0x0F) == kSenseKeyRecovered && sense[2] == 0x00 && sense[3] == 0x1D;
  }
  if ((code == 0x70 || code == 0x71) && length >= 14) {
    return (sense[2] & 0x0F) == kSenseKeyRecovered && sense[12] == 0x00 && sense[13] == 0x1D;
  }
  return false;
}

class LinuxHandle final : public DeviceHandle {
 public:
  LinuxHandle(int fd, std::string path, const std::string& sysfsRoot, SgIoCall sgIo)
      : fd_(fd), path_(std::move(path)), sysfsRoot_(sysfsRoot), sgIo_(std::move(sgIo)) {}
  ~LinuxHandle() override { ::close(fd_); }

  ScsiResult SendScsi(const ScsiRequest& request) override {
    ScsiResult result;
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = static_cast<unsigned char>(request.cdb.size());
    io.cmdp = const_cast<unsigned char*>(request.cdb.data());
    io.mx_sb_len = static_cast<unsigned char>(result.sense.size());
    io.sbp = result.sense.data();
    io.timeout = request.timeoutSeconds * 1000u;
    io.dxfer_len = request.length;
    io.dxferp = request.data;
    io.dxfer_direction = request.direction == DataDirection::In    ? SG_DXFER_FROM_DEV
                         : request.direction == DataDirection::Out ? SG_DXFER_TO_DEV
                                                                   : SG_DXFER_NONE;
    if (request.length == 0) io.dxfer_direction = SG_DXFER_NONE;

    int rc = SgIo(&io);
    if (rc != 0) {
      result.errorCode = errno != 0 ? errno : EIO;
      if (request.direction == DataDirection::In && request.data) {
        std::memset(request.data, 0, request.length);
      }
      return result;
    }
    result.scsiStatus = io.status;
    result.hostStatus = io.host_status;
    result.driverStatus = io.driver_status;
    result.senseLength = std::min<uint8_t>(io.sb_len_wr, static_cast<uint8_t>(result.sense.size()));
    uint32_t resid = io.resid > 0 ? static_cast<uint32_t>(io.resid) : 0;
    result.transferred = request.length - std::min(resid, request.length);
    // Only dxfer_len - resid bytes of a data-in are valid; the kernel may leave
    // stale bytes after them.
    if (request.direction == DataDirection::In && request.data) {
      std::memset(request.data + result.transferred, 0, request.length - result.transferred);
    }
    bool transportError = io.host_status != 0 || (io.driver_status & kDriverStatusMask) != 0;
    result.completed = !transportError;
    result.errorCode = transportError ? EIO : 0;
    // Nothing a failed transport left in the buffer is the drive's answer.
    if (transportError && request.direction == DataDirection::In && request.data) {
      std::memset(request.data, 0, request.length);
    }
    return result;
  }

  AtaResult SendAta(const AtaRequest& request) override {
    AtaResult result;
    std::array<uint8_t, 16> cdb = AtaPassThrough16Cdb(request);
    std::array<uint8_t, 32> sense{};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = 16;
    io.cmdp = cdb.data();
    io.mx_sb_len = static_cast<unsigned char>(sense.size());
    io.sbp = sense.data();
    io.timeout = request.timeoutSeconds * 1000u;
    io.dxfer_len = request.length;
    io.dxferp = request.data;
    bool in = request.flags & kAtaFlagDataIn;
    bool out = request.flags & kAtaFlagDataOut;
    io.dxfer_direction = request.length == 0 ? SG_DXFER_NONE
                         : in                ? SG_DXFER_FROM_DEV
                         : out               ? SG_DXFER_TO_DEV
                                             : SG_DXFER_NONE;
    if (SgIo(&io) != 0) {
      result.errorCode = errno != 0 ? errno : EIO;
      if (in && request.data) std::memset(request.data, 0, request.length);
      return result;
    }
    if (io.host_status != 0 || (io.driver_status & kDriverStatusMask) != 0) {
      result.errorCode = EIO;
      if (in && request.data) std::memset(request.data, 0, request.length);
      return result;
    }
    if (in && request.data) {
      uint32_t resid = io.resid > 0 ? static_cast<uint32_t>(io.resid) : 0;
      uint32_t valid = request.length - std::min(resid, request.length);
      std::memset(request.data + valid, 0, request.length - valid);
    }
    result.completed = true;
    TaskFile registers = request.current;
    const size_t senseLength = std::min<size_t>(io.sb_len_wr, sense.size());
    if (!TaskFileFromSense(sense.data(), senseLength, &registers)) {
      // No ATA registers came back: the status is told from the SCSI answer
      // alone, and the other registers stay as they were sent.
      bool good = CompletedWithoutError(io.status, sense.data(), senseLength);
      registers[kTaskCommand] = good ? 0x50 : 0x51;
      registers[kTaskFeatures] = good ? 0x00 : 0x04;
    }
    result.current = registers;
    return result;
  }

  bool QueryStorageDescriptor(StorageDescriptor* out) override {
    // The bus is USB when the disk's device path in sysfs runs through a USB
    // device; the removable flag is the block device's own attribute.
    std::string_view name = path_;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    std::string blockDir = sysfsRoot_ + "/block/" + std::string(name);
    char resolved[4096];
    ssize_t n = ::readlink(blockDir.c_str(), resolved, sizeof resolved - 1);
    if (n <= 0) return false;
    resolved[n] = '\0';
    std::ifstream removable(blockDir + "/removable");
    int flag = 0;
    if (!(removable >> flag)) return false;
    out->busType = std::string_view(resolved).find("/usb") != std::string_view::npos
                       ? BusType::Usb
                       : BusType::Other;
    out->removableMedia = flag != 0;
    return true;
  }

 private:
  int SgIo(sg_io_hdr* io) {
    errno = 0;
    return sgIo_ ? sgIo_(fd_, io) : KernelSgIo(fd_, io);
  }

  int fd_;
  std::string path_;
  std::string sysfsRoot_;
  SgIoCall sgIo_;
};

}  // namespace

LinuxDeviceIo::LinuxDeviceIo(std::string sysfsRoot, SgIoCall sgIo)
    : sysfsRoot_(std::move(sysfsRoot)), sgIo_(std::move(sgIo)) {}

std::string SdName(uint32_t diskNumber) {
  // Bijective base 26: a..z, then aa..zz, then aaa...
  std::string letters;
  uint64_t n = static_cast<uint64_t>(diskNumber) + 1;
  while (n > 0) {
    --n;
    letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
    n /= 26;
  }
  return "sd" + letters;
}

std::string LinuxDeviceIo::DiskPath(uint32_t diskNumber) const { return "/dev/" + SdName(diskNumber); }

std::unique_ptr<DeviceHandle> LinuxDeviceIo::Open(std::string_view path, ShareMode mode,
                                                  int* error) {
  std::string p(path);
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  // O_EXCL on a block device fails while anyone else holds it exclusively
  // (or it is mounted): the ATA path's "no sharing".
  if (mode == ShareMode::Exclusive) flags |= O_EXCL;
  int fd = p.empty() ? -1 : ::open(p.c_str(), flags);
  if (fd < 0) {
    if (error) *error = p.empty() ? ENOENT : errno;
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<LinuxHandle>(fd, std::move(p), sysfsRoot_, sgIo_);
}

bool CanSendVendorCommands(std::string* why) {
  // SG_IO checks CAP_SYS_RAWIO in the effective set, not the user id.
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) == 0 &&
      (data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0) {
    return true;
  }
  if (why) {
    *why =
        "vendor commands through SG_IO need CAP_SYS_RAWIO: run the station as root "
        "(or grant the program cap_sys_rawio)";
  }
  return false;
}

std::array<uint8_t, 16> AtaPassThrough16Cdb(const AtaRequest& request) {
  const bool is48 = request.flags & kAtaFlag48Bit;
  const bool in = request.flags & kAtaFlagDataIn;
  const bool out = request.flags & kAtaFlagDataOut;
  const bool dma = request.flags & kAtaFlagUseDma;
  const bool data = request.length != 0 && (in || out);
  // Protocol: 3 non-data, 4 PIO data-in, 5 PIO data-out, 6 DMA.
  uint8_t protocol = !data ? 3 : dma ? 6 : in ? 4 : 5;
  std::array<uint8_t, 16> cdb{};
  cdb[0] = 0x85;
  cdb[1] = static_cast<uint8_t>(protocol << 1 | (is48 ? 1 : 0));
  // CK_COND so the registers come back, except on a PIO data-in: there the
  // SATL takes the ending status from the PIO Setup FIS, which an AHCI
  // controller may fill before the transfer (DRQ still set), and then reports
  // a command that delivered all its data as aborted. Without CK_COND a
  // successful PIO data-in answers GOOD, and a failed one still comes back
  // with CHECK CONDITION. With data: T_DIR, BYTE_BLOCK and the length in the
  // sector count field.
  const bool checkCondition = !(data && in && protocol == 4);
  cdb[2] = static_cast<uint8_t>((checkCondition ? 0x20 : 0) |
                                (data ? (0x04 | 0x02 | (in ? 0x08 : 0)) : 0));
  const TaskFile& c = request.current;
  const TaskFile& p = request.previous;
  cdb[3] = is48 ? p[kTaskFeatures] : 0;
  cdb[4] = c[kTaskFeatures];
  cdb[5] = is48 ? p[kTaskCount] : 0;
  cdb[6] = c[kTaskCount];
  cdb[7] = is48 ? p[kTaskLbaLow] : 0;
  cdb[8] = c[kTaskLbaLow];
  cdb[9] = is48 ? p[kTaskLbaMid] : 0;
  cdb[10] = c[kTaskLbaMid];
  cdb[11] = is48 ? p[kTaskLbaHigh] : 0;
  cdb[12] = c[kTaskLbaHigh];
  cdb[13] = c[kTaskDevice];
  cdb[14] = c[kTaskCommand];
  return cdb;
}

bool TaskFileFromSense(const uint8_t* sense, size_t length, TaskFile* out) {
  if (length < 8) return false;
  const uint8_t code = sense[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    // Descriptor format: look for the ATA Status Return descriptor (09h).
    size_t total = std::min<size_t>(length, 8u + sense[7]);
    for (size_t i = 8; i + 1 < total;) {
      uint8_t type = sense[i];
      size_t len = sense[i + 1];
      if (type == 0x09 && len >= 0x0C && i + 14 <= total) {
        const uint8_t* d = sense + i;
        (*out)[kTaskFeatures] = d[3];   // error
        (*out)[kTaskCount] = d[5];
        (*out)[kTaskLbaLow] = d[7];
        (*out)[kTaskLbaMid] = d[9];
        (*out)[kTaskLbaHigh] = d[11];
        (*out)[kTaskDevice] = d[12];
        (*out)[kTaskCommand] = d[13];   // status
        return true;
      }
      i += 2 + len;
    }
    return false;
  }
  if ((code == 0x70 || code == 0x71) && length >= 12) {
    // Fixed format: the information field carries error, status, device and
    // count; the command-specific field the low LBA bytes. Only an ATA
    // pass-through answer (sense key RECOVERED ERROR with ASC/ASCQ 00h/1Dh,
    // "ATA pass through information available") carries registers.
    if (length >= 14 && sense[12] == 0x00 && sense[13] == 0x1D) {
      (*out)[kTaskFeatures] = sense[3];
      (*out)[kTaskCommand] = sense[4];
      (*out)[kTaskDevice] = sense[5];
      (*out)[kTaskCount] = sense[6];
      (*out)[kTaskLbaLow] = sense[9];
      (*out)[kTaskLbaMid] = sense[10];
      (*out)[kTaskLbaHigh] = sense[11];
      return true;
    }
  }
  return false;
}

}  // namespace qelvar::platform::linux_backend
