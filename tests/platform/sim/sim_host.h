// The host side of the simulated station tests: raw requests with literal
// command images, command blocks and images built from the controller's
// published layouts, and a bitwise checksum independent of the simulator's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/sim/sim_station.h"
#include "support/fake_device_io.h"

namespace qelvar::simtest {

using platform::DataDirection;
using testing::Bytes;

// CRC-32, reflected EDB88320h, register from FFFFFFFFh, no final inversion;
// bit by bit, as the controller documents it.
inline uint32_t Crc(const uint8_t* p, size_t n) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    reg ^= p[i];
    for (int b = 0; b < 8; ++b) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return reg;
}

inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// Stores the checksum of the first `length` bytes at `field`, the field
// counted as FFFFFFFFh.
inline void Seal(std::vector<uint8_t>& b, size_t field, size_t length) {
  PutLe32(b, field, 0xFFFFFFFFu);
  PutLe32(b, field, Crc(b.data(), length));
}

// A system firmware image of `length` bytes: one "FE_HDR" directory entry
// (after a decoy entry) whose section lies `section` bytes after offset 96.
inline std::vector<uint8_t> SystemFirmware(size_t length, uint32_t section = 0x200) {
  std::vector<uint8_t> img(length);
  for (size_t i = 0; i < length; ++i) img[i] = static_cast<uint8_t>(i * 7 + 3);
  PutLe32(img, 24, 2);
  std::memcpy(img.data() + 64, "CODE00", 6);
  PutLe32(img, 64 + 24, 0x40);
  std::memcpy(img.data() + 96, "FE_HDR", 6);
  PutLe32(img, 96 + 24, section);
  std::vector<uint8_t> block(img.begin() + 96 + section, img.begin() + 96 + section + 856);
  Seal(block, 16, 856);
  std::copy(block.begin(), block.end(), img.begin() + 96 + section);
  Seal(img, 40, length);
  return img;
}

inline std::vector<uint8_t> RdtParameters(size_t length) {
  std::vector<uint8_t> img(length);
  for (size_t i = 0; i < length; ++i) img[i] = static_cast<uint8_t>(i * 13 + 1);
  Seal(img, 40, length);
  return img;
}

// A 512-byte command block: sub-command, bytes 1-6, optionally the tail.
inline std::vector<uint8_t> Block(uint8_t sub, std::string_view bytes1to6, bool tail) {
  std::vector<uint8_t> b(512, 0);
  b[0] = sub;
  std::vector<uint8_t> p = Bytes(bytes1to6);
  std::copy(p.begin(), p.end(), b.begin() + 1);
  if (tail) {
    b[9] = 0x02;
    b[12] = 0x0A;
    b[20] = 0x28;
    b[33] = 0x01;
    b[38] = 0xEC;
  }
  return b;
}

inline std::vector<uint8_t> EraseBlock(char selector) {
  std::vector<uint8_t> b = Block('b', "6E 72 66 6D 74 00", true);
  b[6] = static_cast<uint8_t>(selector);
  return b;
}

// Literal images of the protocol.
inline const std::vector<uint8_t> kFirst = Bytes("85 0B 06 00 FC 00 01 00 00 00 00 00 00 E0 FF 00");
inline const std::vector<uint8_t> kNoData =
    Bytes("85 06 04 00 FD 00 00 00 00 00 00 00 00 E0 FF 00");
inline const std::vector<uint8_t> kIn512 = Bytes("85 09 0E 00 FD 00 01 00 00 00 00 00 00 E0 FF 00");
inline const std::vector<uint8_t> kIn4096 =
    Bytes("85 09 0E 00 FD 00 08 00 00 00 00 00 00 E0 FF 00");
inline const std::vector<uint8_t> kOut512 =
    Bytes("85 0B 06 00 FD 00 01 00 00 00 00 00 00 E0 FF 00");
inline const std::vector<uint8_t> kIdentify = Bytes("A1 08 0B 00 01 00 00 00 E0 EC 00 00");
inline const std::vector<uint8_t> kMicrocode = Bytes("A1 06 00 0F 00 00 00 00 E0 92 00 00");
inline const std::vector<uint8_t> kRdtRead =
    Bytes("85 09 0E 00 00 00 21 01 DE 00 80 00 00 E0 2F 00");
inline const std::vector<uint8_t> kFctRead =
    Bytes("85 09 0E 00 00 00 40 00 DE 00 00 00 00 E0 2F 00");
inline const std::vector<uint8_t> kDftRead =
    Bytes("85 09 0E 00 00 00 40 00 DE 00 40 00 00 E0 2F 00");

inline const std::vector<uint8_t> kRomBlock = Block(0x0E, "01 7D 00 C4 00 7B", true);
inline const std::vector<uint8_t> kRebootBlock = Block(0x11, "01 7D 00 C4 00 7B", true);
inline const std::vector<uint8_t> kBurnBlock = Block(0x15, "01 11 00 C4 00 10", true);
inline const std::vector<uint8_t> kCalibrateBlock = Block(0x16, "01 43 00 C4 00 42", true);
inline const std::vector<uint8_t> kEraseCmd = Block(0x12, "01 56 00 C4 00 54", false);
inline const std::vector<uint8_t> kInjectBlock = Block(0x21, "01 59 00 C4 00 57", false);
inline const std::vector<uint8_t> kNandInfoBlock = Block(0x13, "01 59 00 C4 00 57", false);
inline const std::vector<uint8_t> kVendorIdBlock = Block(0x14, "01 59 00 C4 00 57", false);
inline const std::vector<uint8_t> kBinBlock = Block(0xB0, "01 59 00 C4 00 57", false);
inline const std::vector<uint8_t> kSkipBlock = Block(0x22, "01 00 00 00 00 00", false);
inline const std::vector<uint8_t> kCapacityBlock = Block(0xB1, "02 01 00 00 00 00", false);

struct Reply {
  bool opened = false;
  bool completed = false;
  uint8_t scsiStatus = 0;
  uint8_t ataStatus = 0;
  uint8_t ataError = 0;
  std::vector<uint8_t> data;
  // Refused: delivered, but the drive said no.
  [[nodiscard]] bool Accepted() const {
    return completed && scsiStatus == 0 && (ataStatus & 1) == 0;
  }
  [[nodiscard]] bool Refused() const { return completed && (scsiStatus == 2 || (ataStatus & 1)); }
};

class Host {
 public:
  Host(platform::sim::SimStation& station, platform::Clock& clock, std::string path)
      : station_(station), clock_(clock), path_(std::move(path)) {}

  void Wait(uint32_t ms) { clock_.SleepMs(ms); }

  // The time-outs the station's transport gives each route and direction.
  static uint32_t SatTimeout(DataDirection dir) { return dir == DataDirection::In ? 5 : 20; }
  static constexpr uint32_t kAtaTimeout = 30;

  Reply Sat(const std::vector<uint8_t>& cdb, DataDirection dir, uint32_t length,
            std::vector<uint8_t> out = {}) {
    return SatWith(cdb, dir, length, std::move(out), SatTimeout(dir),
                   platform::ShareMode::SharedReadWrite);
  }

  // A SCSI request with the time-out and the open the caller chooses.
  Reply SatWith(const std::vector<uint8_t>& cdb, DataDirection dir, uint32_t length,
                std::vector<uint8_t> out, uint32_t timeoutSeconds, platform::ShareMode mode) {
    Reply r;
    int error = 0;
    auto h = station_.Open(path_, mode, &error);
    if (!h) return r;
    r.opened = true;
    std::vector<uint8_t> buffer =
        dir == DataDirection::Out ? out : std::vector<uint8_t>(length, 0xCC);
    buffer.resize(length);
    platform::ScsiRequest q;
    q.cdb = cdb;
    q.direction = dir;
    q.data = length ? buffer.data() : nullptr;
    q.length = length;
    q.timeoutSeconds = timeoutSeconds;
    platform::ScsiResult s = h->SendScsi(q);
    r.completed = s.completed;
    r.scsiStatus = s.scsiStatus;
    if (dir == DataDirection::In) r.data = buffer;
    return r;
  }

  Reply Ata(const platform::TaskFile& previous, const platform::TaskFile& current, uint16_t flags,
            uint32_t length, std::vector<uint8_t> out = {}) {
    return AtaWith(previous, current, flags, length, std::move(out), kAtaTimeout,
                   platform::ShareMode::Exclusive);
  }

  Reply AtaWith(const platform::TaskFile& previous, const platform::TaskFile& current,
                uint16_t flags, uint32_t length, std::vector<uint8_t> out, uint32_t timeoutSeconds,
                platform::ShareMode mode) {
    Reply r;
    int error = 0;
    auto h = station_.Open(path_, mode, &error);
    if (!h) return r;
    r.opened = true;
    std::vector<uint8_t> buffer = out;
    buffer.resize(length, 0xCC);
    platform::AtaRequest q;
    q.previous = previous;
    q.current = current;
    q.flags = flags;
    q.data = length ? buffer.data() : nullptr;
    q.length = length;
    q.timeoutSeconds = timeoutSeconds;
    platform::AtaResult a = h->SendAta(q);
    r.completed = a.completed;
    r.ataStatus = a.current[platform::kTaskCommand];
    r.ataError = a.current[platform::kTaskFeatures];
    r.data = buffer;
    return r;
  }

  Reply First(const std::vector<uint8_t>& block) {
    return Sat(kFirst, DataDirection::Out, 512, block);
  }

  // A whole two-phase command with its pause; returns the second phase.
  Reply TwoPhase(const std::vector<uint8_t>& block, const std::vector<uint8_t>& second,
                 DataDirection dir, uint32_t length, uint32_t pause = 500,
                 std::vector<uint8_t> out = {}) {
    Reply f = First(block);
    Wait(pause);
    if (!f.Accepted()) return f;
    return Sat(second, dir, length, out);
  }

  Reply Chunk(uint8_t mode, uint8_t blocks, uint32_t offsetBlocks, const uint8_t* data) {
    std::vector<uint8_t> cdb = {0xA1,
                                0x0A,
                                0x03,
                                mode,
                                blocks,
                                0x00,
                                static_cast<uint8_t>(offsetBlocks),
                                static_cast<uint8_t>(offsetBlocks >> 8),
                                0xE0,
                                0x92,
                                0x00,
                                0x00};
    return Sat(cdb, DataDirection::Out, blocks * 512u,
               std::vector<uint8_t>(data, data + blocks * 512u));
  }

  // Sends an image in whole chunks (the last one as given), pausing after each.
  bool Download(const std::vector<uint8_t>& image, uint8_t mode, uint32_t pause,
                bool wholeChunks = true) {
    std::vector<uint8_t> padded = image;
    size_t unit = wholeChunks ? 4096 : 512;
    padded.resize((image.size() + unit - 1) / unit * unit, 0);
    for (size_t off = 0; off < padded.size(); off += 4096) {
      uint8_t blocks = static_cast<uint8_t>(std::min<size_t>(4096, padded.size() - off) / 512);
      if (!Chunk(mode, blocks, static_cast<uint32_t>(off / 512), padded.data() + off).Accepted()) {
        return false;
      }
      Wait(pause);
    }
    return true;
  }

  bool EnterRom() { return TwoPhase(kRomBlock, kNoData, DataDirection::None, 0).Accepted(); }

  bool StartBurner() {
    std::vector<uint8_t> burner(393216);
    for (size_t i = 0; i < burner.size(); ++i) burner[i] = static_cast<uint8_t>(i >> 9);
    return Download(burner, 0x03, 10) && Sat(kMicrocode, DataDirection::None, 0).Accepted();
  }

  uint32_t Status() {
    Reply r = TwoPhase(kInjectBlock, kIn4096, DataDirection::In, 4096);
    if (!r.Accepted()) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(r.data[0]) | r.data[1] << 8 | r.data[2] << 16 |
           static_cast<uint32_t>(r.data[3]) << 24;
  }

  bool Burn() {
    return First(kCapacityBlock).Accepted() && (Wait(500), true) &&
           TwoPhase(kBurnBlock, kNoData, DataDirection::None, 0).Accepted();
  }

 private:
  platform::sim::SimStation& station_;
  platform::Clock& clock_;
  std::string path_;
};

}  // namespace qelvar::simtest
