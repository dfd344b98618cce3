#include "platform/sim/sim_drive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "digest/sha256.h"
#include "platform/files.h"
#include "platform/sim/drive_answers.h"
#include "platform/sim/image_check.h"

namespace qelvar::platform::sim {
namespace {

using Bytes16 = std::array<uint8_t, 16>;

// The command images the controller answers, byte for byte.
constexpr uint8_t kIdentifyImage[12] = {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00,
                                        0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
constexpr uint8_t kMicrocodeImage[12] = {0xA1, 0x06, 0x00, 0x0F, 0x00, 0x00,
                                         0x00, 0x00, 0xE0, 0x92, 0x00, 0x00};
constexpr Bytes16 kFirstPhase = {0x85, 0x0B, 0x06, 0x00, 0xFC, 0x00, 0x01, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr Bytes16 kSecondNone = {0x85, 0x06, 0x04, 0x00, 0xFD, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr Bytes16 kSecondIn512 = {0x85, 0x09, 0x0E, 0x00, 0xFD, 0x00, 0x01, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr Bytes16 kSecondIn4096 = {0x85, 0x09, 0x0E, 0x00, 0xFD, 0x00, 0x08, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr Bytes16 kSecondOut512 = {0x85, 0x0B, 0x06, 0x00, 0xFD, 0x00, 0x01, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0x00};
constexpr Bytes16 kReadRdt = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x21, 0x01,
                              0xDE, 0x00, 0x80, 0x00, 0x00, 0xE0, 0x2F, 0x00};
constexpr Bytes16 kReadFct = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x40, 0x00,
                              0xDE, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x2F, 0x00};
constexpr Bytes16 kReadDft = {0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x40, 0x00,
                              0xDE, 0x00, 0x40, 0x00, 0x00, 0xE0, 0x2F, 0x00};

constexpr uint32_t kBurnerBytes = 393216;
constexpr uint32_t kChunkBytes = 4096;
constexpr uint32_t kBurnerChunkPauseMs = 10;
constexpr uint32_t kChunkPauseMs = 50;
constexpr uint32_t kPhasePauseMs = 500;
constexpr uint32_t kRebootPauseMs = 4000;
constexpr uint8_t kModeImmediate = 0x03;
constexpr uint8_t kModeDeferred = 0x0E;

enum class Second : uint8_t { None, NoData, In512, In4096, Out512 };

// The command blocks of the FFh protocol: sub-command, bytes 1-6, whether the
// common tail follows, and what the second phase carries.
struct BlockShape {
  uint8_t sub;
  Command command;
  uint8_t pattern[6];
  bool tail;
  Second second;
};

constexpr BlockShape kBlocks[] = {
    {0x22, Command::SkipRunBadBlocks, {0x01, 0, 0, 0, 0, 0}, false, Second::None},
    {0xB1, Command::SetDriveCapacity, {0, 0, 0, 0, 0, 0}, false, Second::None},
    {0x15, Command::TriggerBurn, {0x01, 0x11, 0x00, 0xC4, 0x00, 0x10}, true, Second::NoData},
    {0x16, Command::CalibrateNand, {0x01, 0x43, 0x00, 0xC4, 0x00, 0x42}, true, Second::NoData},
    {0x0E, Command::EnterRomMode, {0x01, 0x7D, 0x00, 0xC4, 0x00, 0x7B}, true, Second::NoData},
    {0x11, Command::RebootDrive, {0x01, 0x7D, 0x00, 0xC4, 0x00, 0x7B}, true, Second::NoData},
    {0x12, Command::EraseNand, {0x01, 0x56, 0x00, 0xC4, 0x00, 0x54}, false, Second::Out512},
    {0x14, Command::GetVendorIdentify, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In512},
    {0x13, Command::GetNandInfo, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In512},
    {0xB0, Command::GetBin, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In512},
    {0xB2, Command::GetCeBinTable, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In512},
    {0xB3, Command::GetCeMrTable, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In512},
    {0x21, Command::GetInjectStatus, {0x01, 0x59, 0x00, 0xC4, 0x00, 0x57}, false, Second::In4096},
};

void PutTail(uint8_t* block) {
  block[9] = 0x02;
  block[12] = 0x0A;
  block[20] = 0x28;
  block[33] = 0x01;
  block[38] = 0xEC;
}

const BlockShape* ShapeOf(Command command) {
  for (const BlockShape& s : kBlocks) {
    if (s.command == command) return &s;
  }
  return nullptr;
}

// The command a well-formed block names, or null. Every byte counts.
const BlockShape* MatchBlock(const uint8_t* block) {
  for (const BlockShape& s : kBlocks) {
    if (block[0] != s.sub) continue;
    uint8_t expected[512] = {};
    expected[0] = s.sub;
    std::memcpy(expected + 1, s.pattern, 6);
    if (s.command == Command::SetDriveCapacity) {
      expected[1] = block[1];
      expected[2] = block[2];
    }
    if (s.tail) PutTail(expected);
    return std::memcmp(expected, block, 512) == 0 ? &s : nullptr;
  }
  return nullptr;
}

bool IsEraseBlock(const uint8_t* block) {
  uint8_t expected[512] = {};
  std::memcpy(expected, "bnrfmt", 6);
  expected[6] = block[6];
  PutTail(expected);
  return (block[6] == '0' || block[6] == '1' || block[6] == '2') &&
         std::memcmp(expected, block, 512) == 0;
}

bool ModeAllows(Command command, DriveMode mode) {
  switch (command) {
    case Command::EnterRomMode:
      return true;
    case Command::RebootDrive:
    case Command::GetVendorIdentify:
    case Command::GetInjectStatus:
    case Command::EraseNand:
    case Command::CalibrateNand:
      return mode != DriveMode::Rom;
    default:
      return mode == DriveMode::Burner;
  }
}

// Time since `then` on the wrapping tick.
uint32_t Since(uint32_t now, uint32_t then) {
  return now - then;
}

std::string AtaText(const std::vector<uint8_t>& page, size_t at, size_t chars) {
  // The parameter block stores ATA strings: the first character of a pair in
  // the high byte of its little-endian word.
  std::string out;
  for (size_t i = 0; i < chars; ++i) {
    char c = static_cast<char>(page[at + (i ^ 1)]);
    out.push_back(c == 0 ? ' ' : c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool WriteFileAtomic(const std::string& path, const std::vector<uint8_t>& bytes) {
  return ReplaceFile(path,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

SimDrive::SimDrive(DriveConfig config, std::string path, Clock& clock, Tracer& tracer,
                   std::string dumpDir, Notify notify)
    : config_(std::move(config)),
      path_(std::move(path)),
      clock_(clock),
      tracer_(tracer),
      notify_(std::move(notify)),
      dumpDir_(std::move(dumpDir)) {
  PowerOn();
}

void SimDrive::PowerOn() {
  mode_ = config_.startMode == StartMode::Rom ? DriveMode::Rom : DriveMode::Normal;
  rebooted_ = false;
  imageRejected_ = false;
  busyPolls_ = 0;
  enumerating_ = false;
  pending_ = Pending{};
  sequence_ = Sequence{};
  model_ = config_.model;
  serial_ = config_.serial;
  firmware_ = config_.firmware;
  burner_.clear();
  rdtParam_.clear();
  sysFw_.clear();
  spi_.clear();
  rdtParamValid_ = sysFwValid_ = false;
  capacityValue_ = 0;
  eraseSelector_ = 0;
  calibrations_ = 0;
  StartSession(mode_);
}

void SimDrive::StartSession(DriveMode mode) {
  mode_ = mode;
  pending_ = Pending{};
  burned_ = false;
  capacitySet_ = false;
  skipRunBad_ = false;
  rdtSeen_ = sysFwSeen_ = spiSeen_ = false;
  lastSysFwValid_ = false;
  lastSysFwFirstChunk_.clear();
  if (mode == DriveMode::Rom) burnerComplete_ = false;
}

constexpr int32_t kForgetEnumerationMs = 24 * 3600 * 1000;

void SimDrive::ReEnumerate(uint32_t now, uint32_t ms) {
  enumerating_ = true;
  enumAt_ = now;
  enumMs_ = ms;
  if (notify_) {
    notify_(DeviceChange::Removal, path_);
    notify_(DeviceChange::Arrival, path_);
  }
}

bool SimDrive::PresentLocked(uint32_t now) {
  if (!plugged_) return false;
  if (enumerating_) {
    // Every caller sees the drive in its own time: on the virtual clock each
    // thread has a time of its own, and a thread already past the absence
    // must not end it for one still inside it. A caller behind the
    // re-enumeration sees the drive as it was before.
    const auto since = static_cast<int32_t>(now - enumAt_);
    if (since >= 0 && static_cast<uint32_t>(since) < enumMs_) return false;
    // A day on, the absence is over for every caller: forget it before the
    // tick count can wrap back into it.
    if (since >= kForgetEnumerationMs) enumerating_ = false;
  }
  return true;
}

bool SimDrive::Present() {
  uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  return PresentLocked(now);
}

bool SimDrive::Open(ShareMode mode, int* error) {
  uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  if (!PresentLocked(now)) {
    if (error != nullptr) *error = ENOENT;
    return false;
  }
  bool busy = exclusive_ || (mode == ShareMode::Exclusive && shared_ > 0);
  if (busy) {
    if (error != nullptr) *error = EBUSY;
    return false;
  }
  if (mode == ShareMode::Exclusive) {
    exclusive_ = true;
  } else {
    ++shared_;
  }
  if (error != nullptr) *error = 0;
  return true;
}

void SimDrive::Close(ShareMode mode) {
  std::lock_guard lock(mutex_);
  if (mode == ShareMode::Exclusive) {
    exclusive_ = false;
  } else if (shared_ > 0) {
    --shared_;
  }
}

bool SimDrive::Descriptor(StorageDescriptor* out) {
  uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  if (!PresentLocked(now)) return false;
  out->busType = BusType::Usb;
  out->removableMedia = config_.removable;
  return true;
}

void SimDrive::Plug() {
  {
    std::lock_guard lock(mutex_);
    if (plugged_) return;
    plugged_ = true;
    // Plugging in powers the drive up afresh.
    PowerOn();
  }
  if (notify_) notify_(DeviceChange::Arrival, path_);
}

void SimDrive::Unplug() {
  {
    std::lock_guard lock(mutex_);
    if (!plugged_) return;
    CloseSequence();
    plugged_ = false;
  }
  if (notify_) notify_(DeviceChange::Removal, path_);
}

void SimDrive::SetDumpDir(std::string dir) {
  std::lock_guard lock(mutex_);
  dumpDir_ = std::move(dir);
}

void SimDrive::Flush() {
  std::lock_guard lock(mutex_);
  CloseSequence();
}

uint32_t SimDrive::StatusWord() const {
  if (imageRejected_) return 5;
  if (spiSeen_ && config_.statusAfterSpi != 0) return config_.statusAfterSpi;
  if (burned_) return config_.statusAfterBurn;
  return config_.statusFirst;
}

DriveState SimDrive::Inspect() {
  uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  DriveState s;
  s.mode = mode_;
  s.plugged = plugged_;
  s.present = PresentLocked(now);
  s.rebooted = rebooted_;
  s.burned = burned_;
  s.burnerComplete = burnerComplete_;
  s.imageRejected = imageRejected_;
  s.statusWord = StatusWord();
  s.busyPolls = busyPolls_;
  s.openHandles = shared_ + (exclusive_ ? 1 : 0);
  s.eraseSelector = eraseSelector_;
  s.calibrations = calibrations_;
  s.capacitySet = capacitySet_;
  s.capacityValue = capacityValue_;
  s.skipRunBad = skipRunBad_;
  s.burner = burner_;
  s.rdtParam = rdtParam_;
  s.sysFw = sysFw_;
  s.spi = spi_;
  // An open download shows as far as it has come.
  if (sequence_.open) {
    std::vector<uint8_t>* into[] = {&s.burner, &s.rdtParam, &s.sysFw, &s.spi};
    *into[static_cast<int>(sequence_.image)] = sequence_.bytes;
  }
  s.rdtParamValid = rdtParamValid_;
  s.sysFwValid = sysFwValid_;
  if (mode_ == DriveMode::Normal) {
    s.model = model_;
    s.serial = serial_;
    s.firmware = firmware_;
  } else {
    s.model = config_.romModel;
    s.serial = config_.romSerial;
    s.firmware = config_.romFirmware;
  }
  s.accepted = accepted_;
  s.refused = refused_;
  s.failed = failed_;
  return s;
}

void SimDrive::Dump(const char* what, const std::vector<uint8_t>& bytes) {
  if (dumpDir_.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(dumpDir_, ec);
  (void)WriteFileAtomic(dumpDir_ + "/" + config_.name + "_" + what + ".bin", bytes);
}

SimDrive::Verdict SimDrive::Trip(Command command, uint32_t count, uint32_t step) {
  if (pullPlanned_ && pull_.command == command && (pull_.nth == 0 || pull_.nth == count) &&
      pull_.step == step) {
    pullPlanned_ = false;
    return Verdict::Gone;
  }
  for (const FaultRule& f : config_.faults) {
    if (f.command == command && (f.nth == 0 || f.nth == count) && f.step == step) {
      return Verdict::Fail;
    }
  }
  return Verdict::Accept;
}

void SimDrive::UnplugOn(Command command, uint32_t nth, uint32_t step) {
  std::lock_guard lock(mutex_);
  pullPlanned_ = true;
  pull_ = FaultRule{command, nth, step};
}

void SimDrive::Vanish() {
  CloseSequence();
  plugged_ = false;
  pulled_ = true;
}

bool SimDrive::QuietKept(uint32_t now) const {
  return Since(now, quietAt_) >= quietMs_;
}

void SimDrive::Quiet(uint32_t now, uint32_t ms) {
  quietAt_ = now;
  quietMs_ = ms;
}

uint32_t SimDrive::ExpectedTimeout(bool ata, DataDirection dir) const {
  if (ata) return 30;
  if (dir != DataDirection::In) return config_.timeoutOut != 0 ? config_.timeoutOut : 20;
  if (config_.timeoutIn != 0) return config_.timeoutIn;
  // The station gives data-in on a path naming USB the long time-out.
  return path_.find("usb") != std::string::npos ? 300 : 5;
}

namespace {

// A command image as the drive's task file sees it, whichever form of ATA
// PASS-THROUGH carried it: a bridge turns (12) and (16) into the same
// registers, so a 16-byte command whose upper bytes are zero may arrive as
// (12), and a 12-byte one as (16) with EXTEND clear. The protocol bytes must
// still be ones the station sends; CK_COND only asks the bridge for the
// registers and does not reach the drive.
struct TaskView {
  bool ok = false;
  uint8_t protocol = 0;
  // hob features, features, hob count, count, hob/low LBA, hob/mid, hob/high, device, command
  std::array<uint8_t, 12> r{};
  bool operator==(const TaskView&) const = default;
};

TaskView ViewOf(const uint8_t* i, size_t n) {
  TaskView v;
  const uint8_t b1 = i[1];
  const uint8_t b2 = static_cast<uint8_t>(i[2] & ~kCkCondBit);
  if (n == 12 && i[0] == kSatOpcode12) {
    bool pair =
        (b1 == 0x06 && b2 == 0x00) || (b1 == 0x08 && b2 == 0x0B) || (b1 == 0x0A && b2 == 0x03);
    if (!pair || i[10] != 0 || i[11] != 0) return v;
    v.r = {0, i[3], 0, i[4], 0, i[5], 0, i[6], 0, i[7], i[8], i[9]};
  } else if (n == 16 && i[0] == kSatOpcode16) {
    bool pair = (b1 == 0x06 && b2 == 0x04) || ((b1 == 0x08 || b1 == 0x09) && b2 == 0x0E) ||
                ((b1 == 0x0A || b1 == 0x0B) && b2 == 0x06);
    if (!pair || i[15] != 0) return v;
    const bool extend = (b1 & 0x01) != 0;
    if (!extend && (i[3] | i[5] | i[7] | i[9] | i[11]) != 0) return v;
    v.r = {i[3], i[4], i[5], i[6], i[7], i[8], i[9], i[10], i[11], i[12], i[13], i[14]};
  } else {
    return v;
  }
  v.protocol = static_cast<uint8_t>(b1 >> 1);
  v.ok = true;
  return v;
}

constexpr uint8_t kCheckPowerMode = 0xE5;

}  // namespace

SimDrive::Decoded SimDrive::Decode(const Exchange& x) {
  Decoded d;
  const TaskView view = ViewOf(x.image.data(), x.imageLength);
  if (!view.ok) return d;
  auto is = [&](const auto& image, size_t n, DataDirection dir, uint32_t length) {
    return view == ViewOf(image, n) && x.dir == dir && x.length == length;
  };
  if (is(kIdentifyImage, 12, DataDirection::In, 512)) {
    d.kind = Kind::Identify;
  } else if (view.r[11] == kCheckPowerMode && view.protocol == 3 && x.dir == DataDirection::None &&
             x.length == 0 && view.r[10] == 0xE0) {
    d.kind = Kind::CheckPowerMode;
  } else if (is(kMicrocodeImage, 12, DataDirection::None, 0)) {
    d.kind = Kind::Microcode;
  } else if (is(kFirstPhase.data(), 16, DataDirection::Out, 512)) {
    d.kind = Kind::FirstPhase;
  } else if (is(kSecondNone.data(), 16, DataDirection::None, 0)) {
    d.kind = Kind::SecondNone;
  } else if (is(kSecondIn512.data(), 16, DataDirection::In, 512)) {
    d.kind = Kind::SecondIn512;
  } else if (is(kSecondIn4096.data(), 16, DataDirection::In, 4096)) {
    d.kind = Kind::SecondIn4096;
  } else if (is(kSecondOut512.data(), 16, DataDirection::Out, 512)) {
    d.kind = Kind::SecondOut512;
  } else if (is(kReadRdt.data(), 16, DataDirection::In, 16896)) {
    d.kind = Kind::ReadRdt;
  } else if (is(kReadFct.data(), 16, DataDirection::In, 32768)) {
    d.kind = Kind::ReadFct;
  } else if (is(kReadDft.data(), 16, DataDirection::In, 32768)) {
    d.kind = Kind::ReadDft;
  } else if (view.protocol == 5) {
    // A download chunk: features = mode, count = blocks, LBA low 0, LBA
    // mid/high = the offset in blocks, device E0h, command 92h.
    const auto& r = view.r;
    bool shape = r[0] == 0 && r[2] == 0 && r[4] == 0 && r[6] == 0 && r[8] == 0 &&
                 (r[1] == kModeImmediate || r[1] == kModeDeferred) && r[3] >= 1 && r[3] <= 8 &&
                 r[5] == 0x00 && r[10] == 0xE0 && r[11] == 0x92;
    if (shape && x.dir == DataDirection::Out && x.length == r[3] * 512u) {
      d.kind = Kind::Chunk;
      d.mode = r[1];
      d.blocks = r[3];
      d.offsetBlocks = static_cast<uint32_t>(r[7]) | static_cast<uint32_t>(r[9]) << 8;
    }
  }
  return d;
}

SimDrive::Verdict SimDrive::Answer(const Exchange& x, const std::vector<uint8_t>& bytes) {
  if (x.data != nullptr) {
    size_t n = std::min<size_t>(x.length, bytes.size());
    std::memcpy(x.data, bytes.data(), n);
    std::memset(x.data + n, 0, x.length - n);
  }
  return Verdict::Accept;
}

SimDrive::Image SimDrive::Classify(const uint8_t* firstChunk, uint8_t blocks) const {
  // Downloads reach a running controller in a fixed order: RDT parameters,
  // system firmware, SPI ROM, each optional and each possibly repeated from
  // offset 0. The RDT parameters fit one chunk and carry their checksum.
  if (mode_ == DriveMode::Burner && !sysFwSeen_ && !spiSeen_) {
    std::span<const uint8_t> chunk(firstChunk, blocks * 512u);
    if (blocks < 8 || RdtParametersValid(chunk)) return Image::RdtParam;
  }
  if (config_.expectSysFw && !spiSeen_) {
    if (!sysFwSeen_ || !lastSysFwValid_) return Image::SysFw;
    if (blocks * 512u == lastSysFwFirstChunk_.size() &&
        std::memcmp(firstChunk, lastSysFwFirstChunk_.data(), lastSysFwFirstChunk_.size()) == 0) {
      return Image::SysFw;  // the same image again: a repeated download
    }
  }
  return Image::Spi;
}

void SimDrive::CloseSequence() {
  if (!sequence_.open) return;
  Sequence s = std::move(sequence_);
  sequence_ = Sequence{};
  switch (s.image) {
    case Image::Burner:
      burnerComplete_ = s.bytes.size() == kBurnerBytes;
      burner_ = std::move(s.bytes);
      Dump("burner", burner_);
      break;
    case Image::RdtParam:
      rdtParamValid_ = RdtParametersValid(s.bytes);
      if (!rdtParamValid_) imageRejected_ = true;
      rdtParam_ = std::move(s.bytes);
      Dump("rdtparam", rdtParam_);
      break;
    case Image::SysFw: {
      bool valid = SystemFirmwareValid(s.bytes);
      lastSysFwValid_ = valid;
      sysFwValid_ = valid;
      if (!valid) imageRejected_ = true;
      lastSysFwFirstChunk_.assign(s.bytes.begin(),
                                  s.bytes.begin() + std::min<size_t>(s.bytes.size(), kChunkBytes));
      sysFw_ = std::move(s.bytes);
      Dump("sysfw", sysFw_);
      break;
    }
    case Image::Spi:
      spi_ = std::move(s.bytes);
      Dump("spi", spi_);
      break;
  }
}

SimDrive::Verdict SimDrive::HandleChunk(const Decoded& d, const Exchange& x, uint32_t now) {
  if (d.offsetBlocks == 0) {
    uint8_t wantedMode = mode_ == DriveMode::Normal ? kModeDeferred : kModeImmediate;
    if (d.mode != wantedMode) return Verdict::Refuse;
    Image image = mode_ == DriveMode::Rom ? Image::Burner : Classify(x.data, d.blocks);
    if (sequence_.open && sequence_.image != image) {
      // The next image follows at once: the one before it is complete.
      CloseSequence();
      image = Classify(x.data, d.blocks);
    }
    if (image != Image::RdtParam && d.blocks != 8) return Verdict::Refuse;
    Command command = image == Image::Burner     ? Command::DownloadBurner
                      : image == Image::RdtParam ? Command::DownloadRdtParameters
                      : image == Image::SysFw    ? Command::DownloadSystemFirmware
                                                 : Command::DownloadSpiRom;
    uint32_t count = ++counts_[static_cast<size_t>(command)];
    if (Verdict v = Trip(command, count, 1); v != Verdict::Accept) return v;
    // A download that starts again at offset 0 abandons the one before it.
    sequence_ = Sequence{};
    sequence_.open = true;
    sequence_.image = image;
    sequence_.mode = d.mode;
    sequence_.count = count;
    switch (image) {
      case Image::RdtParam:
        rdtSeen_ = true;
        break;
      case Image::SysFw:
        sysFwSeen_ = true;
        break;
      case Image::Spi:
        spiSeen_ = true;
        break;
      case Image::Burner:
        break;
    }
  } else {
    if (!sequence_.open) return Verdict::Refuse;
    Command command = sequence_.image == Image::Burner     ? Command::DownloadBurner
                      : sequence_.image == Image::RdtParam ? Command::DownloadRdtParameters
                      : sequence_.image == Image::SysFw    ? Command::DownloadSystemFirmware
                                                           : Command::DownloadSpiRom;
    if (Verdict v = Trip(command, sequence_.count, sequence_.chunks + 1); v != Verdict::Accept) {
      return v;
    }
    bool follows = d.offsetBlocks == sequence_.nextBlock && sequence_.lastBlocks == 8 &&
                   d.mode == sequence_.mode &&
                   (sequence_.image == Image::RdtParam || d.blocks == 8);
    if (!follows) return Verdict::Refuse;
  }
  static constexpr uint32_t kCapacity[] = {393216, 4096, 786432, 131072};
  uint64_t end = (static_cast<uint64_t>(d.offsetBlocks) + d.blocks) * 512;
  if (end > kCapacity[static_cast<int>(sequence_.image)]) {
    if (d.offsetBlocks == 0) sequence_ = Sequence{};
    return Verdict::Refuse;
  }
  if (sequence_.bytes.size() < end) sequence_.bytes.resize(end);
  std::memcpy(sequence_.bytes.data() + d.offsetBlocks * 512u, x.data, x.length);
  sequence_.chunks++;
  sequence_.nextBlock = d.offsetBlocks + d.blocks;
  sequence_.lastBlocks = d.blocks;
  sequence_.lastAt = now;
  // Every chunk, the last one too, is followed by its pause.
  Quiet(now, sequence_.image == Image::Burner ? kBurnerChunkPauseMs : kChunkPauseMs);
  return Verdict::Accept;
}

SimDrive::Verdict SimDrive::HandleFirstPhase(const Exchange& x, uint32_t now) {
  const BlockShape* shape = MatchBlock(x.data);
  if (shape == nullptr) return Verdict::Refuse;
  // A first phase never replaces one whose second phase is still due.
  if (pending_.open) return Verdict::Refuse;
  uint32_t count = ++counts_[static_cast<size_t>(shape->command)];
  if (Verdict v = Trip(shape->command, count, 1); v != Verdict::Accept) return v;
  if (!ModeAllows(shape->command, mode_)) return Verdict::Refuse;
  // The command's pause follows the first phase, with or without a second.
  const uint32_t pause = shape->command == Command::RebootDrive ? kRebootPauseMs : kPhasePauseMs;
  switch (shape->command) {
    case Command::SkipRunBadBlocks:
      skipRunBad_ = true;
      Quiet(now, pause);
      return Verdict::Accept;
    case Command::SetDriveCapacity:
      capacitySet_ = true;
      capacityValue_ = static_cast<uint16_t>(x.data[1] | x.data[2] << 8);
      Quiet(now, pause);
      return Verdict::Accept;
    case Command::TriggerBurn:
      // The burn lays out the capacity it was given.
      if (!capacitySet_) return Verdict::Refuse;
      break;
    case Command::GetBin:
    case Command::GetCeBinTable:
    case Command::GetCeMrTable:
      if (!burned_) return Verdict::Refuse;
      break;
    default:
      break;
  }
  pending_.open = true;
  pending_.command = shape->command;
  pending_.count = count;
  pending_.at = now;
  Quiet(now, pause);
  return Verdict::Accept;
}

SimDrive::Verdict SimDrive::HandleSecondPhase(const Decoded& d, const Exchange& x, uint32_t now) {
  if (!pending_.open) return Verdict::Refuse;
  const BlockShape* shape = ShapeOf(pending_.command);
  Second wanted = d.kind == Kind::SecondNone     ? Second::NoData
                  : d.kind == Kind::SecondIn512  ? Second::In512
                  : d.kind == Kind::SecondIn4096 ? Second::In4096
                                                 : Second::Out512;
  if (shape == nullptr || shape->second != wanted) return Verdict::Refuse;
  if (Verdict v = Trip(pending_.command, pending_.count, 2); v != Verdict::Accept) {
    // The second phase was lost on the way: the host moves on without it.
    pending_ = Pending{};
    return v;
  }
  uint32_t pause = pending_.command == Command::RebootDrive ? kRebootPauseMs : kPhasePauseMs;
  if (Since(now, pending_.at) < pause) return Verdict::Refuse;
  if (pending_.command == Command::EraseNand && !IsEraseBlock(x.data)) {
    // The controller took the command and aborted it on its argument.
    pending_ = Pending{};
    return Verdict::Refuse;
  }

  Command command = pending_.command;
  pending_ = Pending{};
  switch (command) {
    case Command::EnterRomMode:
      StartSession(DriveMode::Rom);
      ReEnumerate(now, config_.romEntryMs);
      return Verdict::Accept;
    case Command::RebootDrive:
      StartSession(DriveMode::Normal);
      rebooted_ = true;
      if (sysFwValid_) {
        // The drive now boots the system firmware it stored, with the
        // identity its parameter block carries.
        uint64_t block = 0;
        if (FindParameterBlock(sysFw_, &block) && block + kParameterBlockBytes <= sysFw_.size()) {
          size_t page = static_cast<size_t>(block) + 76;
          serial_ = AtaText(sysFw_, page + 20, 20);
          firmware_ = AtaText(sysFw_, page + 46, 8);
          model_ = AtaText(sysFw_, page + 54, 40);
        }
      }
      ReEnumerate(now, config_.rebootMs);
      return Verdict::Accept;
    case Command::TriggerBurn:
      burned_ = true;
      busyPolls_ = config_.burnBusyPolls;
      return Verdict::Accept;
    case Command::CalibrateNand:
      ++calibrations_;
      busyPolls_ = config_.calibrateBusyPolls;
      return Verdict::Accept;
    case Command::EraseNand:
      eraseSelector_ = static_cast<char>(x.data[6]);
      busyPolls_ = config_.eraseBusyPolls;
      return Verdict::Accept;
    case Command::GetVendorIdentify: {
      BadUnits bad = GenerateBadUnits(config_);
      uint32_t badBlocks = config_.badBlockNumber >= 0
                               ? static_cast<uint32_t>(config_.badBlockNumber)
                               : static_cast<uint32_t>(bad.factory.size() + bad.runtime.size());
      uint32_t sectors = mode_ == DriveMode::Normal ? config_.capacitySectors : 0;
      return Answer(x, BuildVendorIdentify(sectors, badBlocks));
    }
    case Command::GetNandInfo: {
      std::vector<uint8_t> info = BuildNandInfo(config_);
      Dump("nandinfo", info);
      return Answer(x, info);
    }
    case Command::GetBin:
      return Answer(x, std::vector<uint8_t>{config_.bin});
    case Command::GetCeBinTable:
      return Answer(x, std::vector<uint8_t>(config_.ceBin.begin(), config_.ceBin.end()));
    case Command::GetCeMrTable:
      return Answer(x, std::vector<uint8_t>(config_.ceMr.begin(), config_.ceMr.end()));
    case Command::GetInjectStatus: {
      uint32_t w = StatusWord();
      return Answer(
          x, std::vector<uint8_t>{static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                                  static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)});
    }
    default:
      return Verdict::Refuse;
  }
}

SimDrive::Verdict SimDrive::Process(const Exchange& x, uint32_t now) {
  Decoded d = Decode(x);
  if (d.kind == Kind::Malformed) return Verdict::Refuse;
  // A vendor command sent before the pause of the chunk or first phase before
  // it is refused and changes nothing. IDENTIFY is not part of the vendor
  // protocol (a scan may send it at any time).
  const bool outsideProtocol = d.kind == Kind::Identify || d.kind == Kind::CheckPowerMode;
  if (!outsideProtocol && !QuietKept(now)) return Verdict::Refuse;
  // The host has moved on from a download once another vendor command
  // arrives: the image is complete and the drive checks it now. IDENTIFY is
  // not part of the vendor protocol (a scan may send it at any time).
  if (d.kind != Kind::Chunk && !outsideProtocol) CloseSequence();
  if (busyPolls_ > 0) {
    // A busy controller answers nothing; each status poll uses up one of the
    // polls it stays busy for.
    if (d.kind == Kind::FirstPhase && x.data[0] == 0x21 && MatchBlock(x.data) != nullptr) {
      --busyPolls_;
    }
    return Verdict::Fail;
  }
  switch (d.kind) {
    case Kind::CheckPowerMode:
      return Verdict::Accept;
    case Kind::Identify: {
      uint32_t count = ++counts_[static_cast<size_t>(Command::Identify)];
      if (!config_.identify) return Verdict::Fail;
      if (Verdict v = Trip(Command::Identify, count, 1); v != Verdict::Accept) return v;
      if (mode_ == DriveMode::Normal) {
        uint64_t sectors = rebooted_ ? config_.capacitySectors : config_.sectors;
        return Answer(x, BuildIdentify(model_, serial_, firmware_, sectors));
      }
      return Answer(x, BuildIdentify(config_.romModel, config_.romSerial, config_.romFirmware, 0));
    }
    case Kind::Microcode: {
      uint32_t count = ++counts_[static_cast<size_t>(Command::DownloadMicrocode)];
      if (Verdict v = Trip(Command::DownloadMicrocode, count, 1); v != Verdict::Accept) return v;
      if (mode_ != DriveMode::Rom || !burnerComplete_) return Verdict::Refuse;
      StartSession(DriveMode::Burner);
      return Verdict::Accept;
    }
    case Kind::Chunk:
      return HandleChunk(d, x, now);
    case Kind::FirstPhase:
      return HandleFirstPhase(x, now);
    case Kind::SecondNone:
    case Kind::SecondIn512:
    case Kind::SecondIn4096:
    case Kind::SecondOut512:
      return HandleSecondPhase(d, x, now);
    case Kind::ReadRdt:
    case Kind::ReadFct:
    case Kind::ReadDft: {
      Command command = d.kind == Kind::ReadRdt   ? Command::GetRdtResult
                        : d.kind == Kind::ReadFct ? Command::ReadFct
                                                  : Command::ReadDft;
      uint32_t count = ++counts_[static_cast<size_t>(command)];
      if (Verdict v = Trip(command, count, 1); v != Verdict::Accept) return v;
      if (mode_ != DriveMode::Burner || !burned_) return Verdict::Refuse;
      std::vector<uint8_t> answer = d.kind == Kind::ReadRdt
                                        ? BuildRdtLog(config_)
                                        : BuildBadBlockTable(config_, d.kind == Kind::ReadFct);
      Dump(d.kind == Kind::ReadRdt   ? "rdtlog"
           : d.kind == Kind::ReadFct ? "fctlog"
                                     : "dftlog",
           answer);
      return Answer(x, answer);
    }
    case Kind::Malformed:
      break;
  }
  return Verdict::Refuse;
}

void SimDrive::Trace(const Exchange& x, bool ata, const TaskFile& previous, const TaskFile& current,
                     const std::vector<uint8_t>& cdb, bool accepted, uint32_t now) {
  TraceLine line;
  line.tMs = now;
  line.drive = config_.name;
  line.path = path_;
  line.ata = ata;
  line.cdb = cdb;
  line.previous = previous;
  line.current = current;
  line.dir = x.dir;
  line.len = x.length;
  if (x.dir == DataDirection::Out && x.data != nullptr) {
    std::span<const uint8_t> out(x.data, x.length);
    if (x.length <= 512) {
      line.data = digest::HexLower(out);
    } else {
      line.sha256 = digest::Sha256Hex(out);
    }
  }
  line.accepted = accepted;
  tracer_.Record(line);
}

ScsiResult SimDrive::Scsi(const ScsiRequest& request, ShareMode opened) {
  ScsiResult result;
  if (request.length > 0 && request.data == nullptr) {
    result.errorCode = EINVAL;
    return result;
  }
  uint32_t now = clock_.TickMs();
  std::unique_lock lock(mutex_);
  if (!PresentLocked(now)) {
    result.errorCode = ENODEV;
    return result;
  }
  const BridgeBehaviour& bridge = config_.bridge;
  auto zeroIn = [&] {
    if (request.direction == DataDirection::In && request.data != nullptr) {
      std::memset(request.data, 0, request.length);
    }
  };
  auto checkCondition = [&](const std::vector<uint8_t>& sense) {
    result.completed = true;
    result.scsiStatus = 0x02;
    result.senseLength = static_cast<uint8_t>(std::min(sense.size(), result.sense.size()));
    std::copy_n(sense.begin(), result.senseLength, result.sense.begin());
  };
  // The bridge answers INQUIRY's vital product data itself; the drive never
  // sees it.
  if (request.cdb.size() == 6 && request.cdb[0] == 0x12 && (request.cdb[1] & 0x01) != 0) {
    std::vector<uint8_t> page;
    zeroIn();
    if (!BridgeVpdPage(bridge, request.cdb[2], &page)) {
      checkCondition({0x72, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00});
      return result;
    }
    const uint32_t alloc = static_cast<uint32_t>(request.cdb[3]) << 8 | request.cdb[4];
    const uint32_t n = std::min({static_cast<uint32_t>(page.size()), alloc, request.length});
    if (n > 0) std::memcpy(request.data, page.data(), n);
    result.completed = true;
    result.transferred = n;
    return result;
  }
  // A command the bridge cannot carry never reaches the drive.
  if (std::vector<uint8_t> refusal = BridgeRefusal(bridge, request.cdb, request.length);
      !refusal.empty()) {
    zeroIn();
    checkCondition(refusal);
    return result;
  }
  Exchange x;
  x.imageLength = std::min<size_t>(request.cdb.size(), 16);
  if (request.cdb.size() == 12 || request.cdb.size() == 16) {
    std::copy(request.cdb.begin(), request.cdb.end(), x.image.begin());
  } else {
    x.imageLength = 0;  // no command image of ours has another length
  }
  x.dir = request.direction;
  x.data = request.data;
  x.length = request.length;
  if (x.dir == DataDirection::None && x.length != 0) x.imageLength = 0;

  std::vector<uint8_t> cdb(request.cdb.begin(), request.cdb.end());
  // A SCSI request on a handle opened for the ATA route, or with a time-out
  // the station never gives, is the host's mistake: refused, nothing changes.
  bool hostRules = opened == ShareMode::SharedReadWrite &&
                   request.timeoutSeconds == ExpectedTimeout(false, x.dir);
  Verdict v = hostRules ? Process(x, now) : Verdict::Refuse;
  if (v == Verdict::Gone) Vanish();
  Trace(x, false, {}, {}, cdb, v == Verdict::Accept, now);
  switch (v) {
    case Verdict::Accept: {
      ++accepted_;
      result.completed = true;
      result.transferred = request.length;
      // CK_COND: the bridge hands back the registers in its sense format.
      std::vector<uint8_t> sense = BridgeAnswerSense(bridge, request.cdb, false, 0x00, 0x50);
      if (!sense.empty()) checkCondition(sense);
      break;
    }
    case Verdict::Refuse: {
      ++refused_;
      // CHECK CONDITION with the ATA status return: the command was aborted.
      std::vector<uint8_t> sense = BridgeAnswerSense(bridge, request.cdb, true, 0x04, 0x51);
      if (sense.empty()) {
        sense = {0x72, 0x0B, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x0C, 0x00,
                 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x51};
      }
      checkCondition(sense);
      zeroIn();
      break;
    }
    case Verdict::Fail:
      ++failed_;
      result.errorCode = ETIMEDOUT;
      result.hostStatus = 0x03;  // the bridge timed out
      if (request.direction == DataDirection::In && request.data != nullptr) {
        std::memset(request.data, 0, request.length);
      }
      break;
    case Verdict::Gone:
      ++failed_;
      result.errorCode = EIO;
      result.hostStatus = 0x07;  // the device went away mid-command
      if (request.direction == DataDirection::In && request.data != nullptr) {
        std::memset(request.data, 0, request.length);
      }
      break;
  }
  ReportPull(lock);
  return result;
}

AtaResult SimDrive::Ata(const AtaRequest& request, ShareMode opened) {
  AtaResult result;
  if ((request.length > 0 && request.data == nullptr) || request.length > 65536) {
    result.errorCode = EINVAL;
    return result;
  }
  uint32_t now = clock_.TickMs();
  std::unique_lock lock(mutex_);
  if (!PresentLocked(now)) {
    result.errorCode = ENODEV;
    return result;
  }
  // Rebuild the command image the task file was made from, so both routes
  // are held to the same bytes.
  Exchange x;
  x.data = request.data;
  x.length = request.length;
  const TaskFile& p = request.previous;
  const TaskFile& c = request.current;
  const uint16_t flags = request.flags;
  bool withData = request.length > 0;
  bool dataIn = (flags & kAtaFlagDataIn) != 0;
  bool dataOut = (flags & kAtaFlagDataOut) != 0;
  x.dir = dataIn ? DataDirection::In : dataOut ? DataDirection::Out : DataDirection::None;
  bool framing =
      (flags & kAtaFlagUseDma) == 0 && !(dataIn && dataOut) && withData == (dataIn || dataOut) &&
      (withData ? (flags & kAtaFlagDrdyRequired) != 0 : (flags & kAtaFlagDrdyRequired) == 0) &&
      c[7] == 0 && p[7] == 0;
  if ((flags & kAtaFlag48Bit) != 0) {
    framing = framing && p[kTaskDevice] == c[kTaskDevice] && p[kTaskCommand] == c[kTaskCommand];
    uint8_t protocol = dataIn ? 0x09 : dataOut ? 0x0B : 0x06;
    uint8_t transfer = dataIn ? 0x0E : dataOut ? 0x06 : 0x04;
    x.image = {0x85,
               protocol,
               transfer,
               p[kTaskFeatures],
               c[kTaskFeatures],
               p[kTaskCount],
               c[kTaskCount],
               p[kTaskLbaLow],
               c[kTaskLbaLow],
               p[kTaskLbaMid],
               c[kTaskLbaMid],
               p[kTaskLbaHigh],
               c[kTaskLbaHigh],
               c[kTaskDevice],
               c[kTaskCommand],
               0x00};
    x.imageLength = 16;
  } else {
    framing = framing && std::all_of(p.begin(), p.end(), [](uint8_t b) { return b == 0; });
    uint8_t protocol = dataIn ? 0x08 : dataOut ? 0x0A : 0x06;
    uint8_t transfer = dataIn ? 0x0B : dataOut ? 0x03 : 0x00;
    x.image = {0xA1,           protocol,        transfer,       c[kTaskFeatures],
               c[kTaskCount],  c[kTaskLbaLow],  c[kTaskLbaMid], c[kTaskLbaHigh],
               c[kTaskDevice], c[kTaskCommand], 0x00,           0x00};
    x.imageLength = 12;
  }
  if ((flags & ~(kAtaFlagDrdyRequired | kAtaFlagDataIn | kAtaFlagDataOut | kAtaFlag48Bit |
                 kAtaFlagUseDma)) != 0) {
    framing = false;
  }
  if (!framing) x.imageLength = 0;

  bool hostRules =
      opened == ShareMode::Exclusive && request.timeoutSeconds == ExpectedTimeout(true, x.dir);
  Verdict v = hostRules ? Process(x, now) : Verdict::Refuse;
  if (v == Verdict::Gone) Vanish();
  Trace(x, true, p, c, {}, v == Verdict::Accept, now);
  result.current = c;
  switch (v) {
    case Verdict::Accept:
      ++accepted_;
      result.completed = true;
      result.current[kTaskCommand] = 0x50;  // DRDY, DSC
      result.current[kTaskFeatures] = 0x00;
      break;
    case Verdict::Refuse:
      ++refused_;
      result.completed = true;
      result.current[kTaskCommand] = 0x51;   // DRDY, DSC, ERR
      result.current[kTaskFeatures] = 0x04;  // ABRT
      if (dataIn && request.data != nullptr) std::memset(request.data, 0, request.length);
      break;
    case Verdict::Fail:
      ++failed_;
      result.errorCode = ETIMEDOUT;
      if (dataIn && request.data != nullptr) std::memset(request.data, 0, request.length);
      break;
    case Verdict::Gone:
      ++failed_;
      result.errorCode = EIO;
      if (dataIn && request.data != nullptr) std::memset(request.data, 0, request.length);
      break;
  }
  ReportPull(lock);
  return result;
}

void SimDrive::ReportPull(std::unique_lock<std::mutex>& lock) {
  if (!pulled_) return;
  pulled_ = false;
  lock.unlock();
  if (notify_) notify_(DeviceChange::Removal, path_);
}

}  // namespace qelvar::platform::sim
