// The SCSI side of the simulated USB-to-SATA bridge: the disk commands the
// kernel sends to a USB disk, answered from a sparse backing file, and the
// ATA PASS-THROUGH commands, which go unchanged to the simulated drive and
// come back as a SAT bridge answers them. No USB here: the Bulk-Only
// Transport (bot.h) hands each command block and its data to Execute.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/device_io.h"
#include "platform/sim/sim_bridge.h"

namespace qelvar::simbridge {

// Where a disk's sectors live. Reads of never-written sectors give zeros.
class BlockStore {
 public:
  virtual ~BlockStore() = default;
  [[nodiscard]] virtual bool Read(uint64_t offset, std::span<uint8_t> out) = 0;
  [[nodiscard]] virtual bool Write(uint64_t offset, std::span<const uint8_t> in) = 0;
  [[nodiscard]] virtual bool Flush() = 0;
};

// A sparse file, created at the disk's full size.
class FileBlockStore final : public BlockStore {
 public:
  FileBlockStore() = default;
  ~FileBlockStore() override;
  FileBlockStore(const FileBlockStore&) = delete;
  FileBlockStore& operator=(const FileBlockStore&) = delete;
  // Creates or reuses `path`, sized to `bytes`. False with *error on failure.
  [[nodiscard]] bool Open(const std::string& path, uint64_t bytes, std::string* error);
  bool Read(uint64_t offset, std::span<uint8_t> out) override;
  bool Write(uint64_t offset, std::span<const uint8_t> in) override;
  bool Flush() override;

 private:
  int fd_ = -1;
};

// What the host is told about a command.
struct ScsiOutcome {
  enum class Status : uint8_t { Good, CheckCondition, TransportFailure };
  Status status = Status::Good;
  // Bytes of the data phase the device moved (data-in: the first `moved`
  // bytes of the buffer; data-out: the bytes it took).
  uint32_t moved = 0;
};

struct ScsiIdentity {
  std::string vendor = "QELVAR";
  std::string product = "SIM SATA BRIDGE";
  std::string revision = "0100";
  // The INQUIRY version byte. 6 claims SPC-4; below 5 the kernel's
  // usb-storage fetches only 18 sense bytes (a trap of older bridges).
  uint8_t inquiryVersion = 6;
  uint64_t sectors = 0;
  platform::sim::BridgeBehaviour bridge;
};

class ScsiTarget {
 public:
  // `ata` carries an ATA PASS-THROUGH command to the drive behind the bridge.
  using AtaPath = std::function<platform::ScsiResult(const platform::ScsiRequest&)>;

  ScsiTarget(ScsiIdentity identity, BlockStore& store, AtaPath ata);

  // Runs one command. `data` is the host's data phase: for data-out the bytes
  // the host sent, for data-in a buffer of the host's length to fill. The
  // outcome says how much of it the device moved. A command that ends in
  // CHECK CONDITION leaves its sense data for the next REQUEST SENSE.
  [[nodiscard]] ScsiOutcome Execute(std::span<const uint8_t> cdb, platform::DataDirection dir,
                                    std::span<uint8_t> data);

  // Sense data of the last command that ended in CHECK CONDITION (empty: none).
  [[nodiscard]] const std::vector<uint8_t>& sense() const { return sense_; }

  // Data-out bytes the command wants from the host, or -1 when it moves no
  // data out (so the transport can see a host sending more or less).
  [[nodiscard]] static int64_t DataOutLength(std::span<const uint8_t> cdb, uint32_t hostLength);

 private:
  ScsiOutcome Fail(uint8_t key, uint8_t asc, uint8_t ascq);
  ScsiOutcome Good(uint32_t moved);
  ScsiOutcome Inquiry(std::span<const uint8_t> cdb, std::span<uint8_t> data);
  ScsiOutcome ModeSense(std::span<const uint8_t> cdb, std::span<uint8_t> data, bool ten);
  ScsiOutcome ReadWrite(uint64_t lba, uint32_t blocks, bool write, platform::DataDirection dir,
                        std::span<uint8_t> data);
  ScsiOutcome Passthrough(std::span<const uint8_t> cdb, platform::DataDirection dir,
                          std::span<uint8_t> data);

  ScsiIdentity identity_;
  BlockStore& store_;
  AtaPath ata_;
  std::vector<uint8_t> sense_;
};

// The ATA return descriptor (09h) of a SAT answer: descriptor sense 72h with
// the registers the drive returned. `key` is the sense key (01h: RECOVERED
// ERROR for CK_COND, 0Bh: ABORTED COMMAND for a refused command).
[[nodiscard]] std::vector<uint8_t> AtaReturnSense(uint8_t key, std::span<const uint8_t> cdb,
                                                  uint8_t error, uint8_t status);

}  // namespace qelvar::simbridge
