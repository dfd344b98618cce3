#include "tools/simbridge/scsi_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qelvar::simbridge {

using platform::DataDirection;

namespace {

constexpr uint32_t kBlock = 512;

// Sense keys and additional sense codes the bridge reports.
constexpr uint8_t kIllegalRequest = 0x05, kMediumError = 0x03, kAborted = 0x0B;
constexpr uint8_t kInvalidOpcode = 0x20, kLbaOutOfRange = 0x21, kInvalidField = 0x24;

uint32_t Be16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 8 | b[at + 1];
}
uint32_t Be32(std::span<const uint8_t> b, size_t at) {
  return Be16(b, at) << 16 | Be16(b, at + 2);
}
uint64_t Be64(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint64_t>(Be32(b, at)) << 32 | Be32(b, at + 4);
}
void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
void PutBe64(uint8_t* p, uint64_t v) {
  PutBe32(p, static_cast<uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<uint32_t>(v));
}

// Copies `answer`, cut to the allocation length and the host's buffer, and
// says how many bytes that is.
uint32_t Deliver(std::span<uint8_t> data, const uint8_t* answer, size_t size, uint32_t alloc) {
  size_t n = std::min({size, static_cast<size_t>(alloc), data.size()});
  if (n > 0) std::memcpy(data.data(), answer, n);
  return static_cast<uint32_t>(n);
}

void PadCopy(uint8_t* dst, const std::string& text, size_t width) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), std::min(text.size(), width));
}

bool IsPassthrough(uint8_t opcode) {
  return opcode == 0xA1 || opcode == 0x85;
}

}  // namespace

FileBlockStore::~FileBlockStore() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileBlockStore::Open(const std::string& path, uint64_t bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  // ftruncate leaves the file sparse: only written sectors take space.
  if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    if (error != nullptr) *error = "cannot size " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return true;
}

bool FileBlockStore::Read(uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FileBlockStore::Write(uint64_t offset, std::span<const uint8_t> in) {
  size_t done = 0;
  while (done < in.size()) {
    ssize_t n =
        ::pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FileBlockStore::Flush() {
  return ::fdatasync(fd_) == 0;
}

std::vector<uint8_t> AtaReturnSense(uint8_t key, std::span<const uint8_t> cdb, uint8_t error,
                                    uint8_t status) {
  std::vector<uint8_t> s = {0x72,  key,  0x00, 0x1D, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x0C, 0x00,
                            error, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, status};
  if (cdb.size() >= 12 && cdb[0] == 0xA1) {
    s[13] = cdb[4];  // count
    s[15] = cdb[5];  // LBA low
    s[17] = cdb[6];  // LBA mid
    s[19] = cdb[7];  // LBA high
    s[20] = cdb[8];  // device
  } else if (cdb.size() >= 16 && cdb[0] == 0x85) {
    s[10] = cdb[1] & 0x01;  // EXTEND
    for (size_t i = 0; i < 8; ++i) s[12 + i] = cdb[5 + i];
    s[20] = cdb[13];
  }
  return s;
}

ScsiTarget::ScsiTarget(ScsiIdentity identity, BlockStore& store, AtaPath ata)
    : identity_(std::move(identity)), store_(store), ata_(std::move(ata)) {}

int64_t ScsiTarget::DataOutLength(std::span<const uint8_t> cdb, uint32_t hostLength) {
  if (cdb.empty()) return -1;
  switch (cdb[0]) {
    case 0x2A:
      return cdb.size() >= 10 ? static_cast<int64_t>(Be16(cdb, 7)) * kBlock : -1;
    case 0x8A:
      return cdb.size() >= 16 ? static_cast<int64_t>(Be32(cdb, 10)) * kBlock : -1;
    default:
      // A pass-through command moves what the host says: the drive behind
      // the bridge judges the length.
      return IsPassthrough(cdb[0]) ? hostLength : -1;
  }
}

ScsiOutcome ScsiTarget::Fail(uint8_t key, uint8_t asc, uint8_t ascq) {
  sense_ = {0x70, 0x00, key,  0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
            0x00, 0x00, 0x00, asc,  ascq, 0x00, 0x00, 0x00, 0x00};
  return ScsiOutcome{ScsiOutcome::Status::CheckCondition, 0};
}

ScsiOutcome ScsiTarget::Good(uint32_t moved) {
  return ScsiOutcome{ScsiOutcome::Status::Good, moved};
}

ScsiOutcome ScsiTarget::Execute(std::span<const uint8_t> cdb, DataDirection dir,
                                std::span<uint8_t> data) {
  if (cdb.empty()) return Fail(kIllegalRequest, kInvalidOpcode, 0);
  const uint8_t op = cdb[0];
  auto need = [&](size_t n) { return cdb.size() >= n; };
  auto in = [&](const uint8_t* answer, size_t size, uint32_t alloc) {
    if (dir != DataDirection::In) return Good(0);
    return Good(Deliver(data, answer, size, alloc));
  };
  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x1B:  // START STOP UNIT
      return Good(0);
    case 0x03: {  // REQUEST SENSE
      if (!need(6)) break;
      std::vector<uint8_t> answer = sense_;
      if (answer.empty()) answer = {0x70, 0, 0, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      sense_.clear();
      return in(answer.data(), answer.size(), cdb[4]);
    }
    case 0x12:
      if (!need(6)) break;
      return Inquiry(cdb, data);
    case 0x25: {  // READ CAPACITY (10)
      if (!need(10)) break;
      uint8_t answer[8];
      uint64_t last = identity_.sectors == 0 ? 0 : identity_.sectors - 1;
      PutBe32(answer, static_cast<uint32_t>(std::min<uint64_t>(last, 0xFFFFFFFFu)));
      PutBe32(answer + 4, kBlock);
      return in(answer, sizeof answer, sizeof answer);
    }
    case 0x9E: {  // SERVICE ACTION IN (16): READ CAPACITY (16) only
      if (!need(16) || (cdb[1] & 0x1F) != 0x10) return Fail(kIllegalRequest, kInvalidField, 0);
      uint8_t answer[32] = {};
      PutBe64(answer, identity_.sectors == 0 ? 0 : identity_.sectors - 1);
      PutBe32(answer + 8, kBlock);
      return in(answer, sizeof answer, Be32(cdb, 10));
    }
    case 0x1A:
      if (!need(6)) break;
      return ModeSense(cdb, data, false);
    case 0x5A:
      if (!need(10)) break;
      return ModeSense(cdb, data, true);
    case 0x28:
    case 0x2A:
      if (!need(10)) break;
      return ReadWrite(Be32(cdb, 2), Be16(cdb, 7), op == 0x2A, dir, data);
    case 0x88:
    case 0x8A:
      if (!need(16)) break;
      return ReadWrite(Be64(cdb, 2), Be32(cdb, 10), op == 0x8A, dir, data);
    case 0x35:  // SYNCHRONIZE CACHE (10)
    case 0x91:  // SYNCHRONIZE CACHE (16)
      if (!store_.Flush()) return Fail(kMediumError, 0x0C, 0x00);
      return Good(0);
    case 0xA1:
      if (!need(12)) break;
      return Passthrough(cdb, dir, data);
    case 0x85:
      if (!need(16)) break;
      return Passthrough(cdb, dir, data);
    default:
      break;
  }
  return Fail(kIllegalRequest, kInvalidOpcode, 0);
}

ScsiOutcome ScsiTarget::Inquiry(std::span<const uint8_t> cdb, std::span<uint8_t> data) {
  uint32_t alloc = Be16(cdb, 3);
  if ((cdb[1] & 0x01) != 0) {
    // Vital product data: the list of pages, and the Block Limits page of a
    // bridge that states its largest transfer.
    std::vector<uint8_t> page;
    if (!platform::sim::BridgeVpdPage(identity_.bridge, cdb[2], &page)) {
      return Fail(kIllegalRequest, kInvalidField, 0);
    }
    return Good(Deliver(data, page.data(), page.size(), alloc));
  }
  if (cdb[2] != 0) return Fail(kIllegalRequest, kInvalidField, 0);
  uint8_t answer[36] = {};
  answer[0] = 0x00;  // direct-access block device
  answer[2] = identity_.inquiryVersion;
  answer[3] = 0x02;  // response data format
  answer[4] = sizeof answer - 5;
  PadCopy(answer + 8, identity_.vendor, 8);
  PadCopy(answer + 16, identity_.product, 16);
  PadCopy(answer + 32, identity_.revision, 4);
  return Good(Deliver(data, answer, sizeof answer, alloc));
}

ScsiOutcome ScsiTarget::ModeSense(std::span<const uint8_t> cdb, std::span<uint8_t> data, bool ten) {
  uint8_t page = cdb[2] & 0x3F;
  uint32_t alloc = ten ? Be16(cdb, 7) : cdb[4];
  // The caching page, write cache off: what a bridge without a cache says.
  const uint8_t caching[20] = {0x08, 0x12};
  if (page != 0x3F && page != 0x08) return Fail(kIllegalRequest, kInvalidField, 0);
  std::vector<uint8_t> answer(ten ? 8 : 4, 0);
  answer.insert(answer.end(), caching, caching + sizeof caching);
  if (ten) {
    answer[1] = static_cast<uint8_t>(answer.size() - 2);
  } else {
    answer[0] = static_cast<uint8_t>(answer.size() - 1);
  }
  return Good(Deliver(data, answer.data(), answer.size(), alloc));
}

ScsiOutcome ScsiTarget::ReadWrite(uint64_t lba, uint32_t blocks, bool write, DataDirection dir,
                                  std::span<uint8_t> data) {
  if (lba > identity_.sectors || blocks > identity_.sectors - lba) {
    return Fail(kIllegalRequest, kLbaOutOfRange, 0);
  }
  uint64_t bytes = static_cast<uint64_t>(blocks) * kBlock;
  // The transport has checked the host's direction and length against the
  // command; what is left over is the host's buffer being larger.
  if (dir != (write ? DataDirection::Out : DataDirection::In) || bytes > data.size()) {
    return Fail(kIllegalRequest, kInvalidField, 0);
  }
  auto span = data.first(static_cast<size_t>(bytes));
  bool ok = write ? store_.Write(lba * kBlock, span) : store_.Read(lba * kBlock, span);
  if (!ok) return Fail(kMediumError, write ? 0x0C : 0x11, 0x00);
  return Good(static_cast<uint32_t>(bytes));
}

ScsiOutcome ScsiTarget::Passthrough(std::span<const uint8_t> cdb, DataDirection dir,
                                    std::span<uint8_t> data) {
  platform::ScsiRequest request;
  request.cdb = cdb;
  request.direction = dir;
  request.data = data.empty() ? nullptr : data.data();
  request.length = static_cast<uint32_t>(data.size());
  request.timeoutSeconds = 20;
  platform::ScsiResult r = ata_(request);
  if (!r.completed) return ScsiOutcome{ScsiOutcome::Status::TransportFailure, 0};
  // The simulated bridge in front of the drive has already answered as its
  // kind of bridge does: its own refusals, CK_COND and the sense format.
  uint32_t moved =
      dir == DataDirection::None ? 0 : std::min<uint32_t>(r.transferred, request.length);
  if (r.scsiStatus == 0) return Good(moved);
  if (r.senseLength > 0) {
    sense_.assign(r.sense.begin(),
                  r.sense.begin() + std::min<size_t>(r.senseLength, r.sense.size()));
  } else {
    sense_ = AtaReturnSense(kAborted, cdb, 0x04, 0x51);
  }
  return ScsiOutcome{ScsiOutcome::Status::CheckCondition, moved};
}

}  // namespace qelvar::simbridge
