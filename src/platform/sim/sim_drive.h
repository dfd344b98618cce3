// One simulated drive: a USB-to-SATA bridge with an SSD controller behind it,
// modelled as the controller's state machine (normal mode, ROM mode, burner
// running), strict about every byte and every pause it is sent.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device_io.h"
#include "platform/device_monitor.h"
#include "platform/sim/station_config.h"
#include "platform/sim/trace.h"

namespace qelvar::platform::sim {

enum class DriveMode : uint8_t { Normal, Rom, Burner };

// What a test can see of a drive.
struct DriveState {
  DriveMode mode = DriveMode::Normal;
  bool plugged = true;
  bool present = true;  // plugged and not re-enumerating
  bool rebooted = false;
  bool burned = false;  // the burn was triggered in this burner session
  bool burnerComplete = false;
  bool imageRejected = false;  // an image failed its check: status word 5
  uint32_t statusWord = 0;
  uint32_t busyPolls = 0;
  int openHandles = 0;
  char eraseSelector = 0;  // the last erase's selector character, 0: none
  int calibrations = 0;
  bool capacitySet = false;
  uint16_t capacityValue = 0;
  bool skipRunBad = false;
  // Images as received, assembled at their offsets, as long as the bytes received.
  std::vector<uint8_t> burner;
  std::vector<uint8_t> rdtParam;
  std::vector<uint8_t> sysFw;
  std::vector<uint8_t> spi;
  bool rdtParamValid = false;
  bool sysFwValid = false;
  std::string model, serial, firmware;  // what IDENTIFY reports now
  uint32_t accepted = 0, refused = 0, failed = 0;
};

class SimDrive {
 public:
  using Notify = std::function<void(DeviceChange change, const std::string& device)>;

  SimDrive(DriveConfig config, std::string path, Clock& clock, Tracer& tracer, std::string dumpDir,
           Notify notify);

  [[nodiscard]] const DriveConfig& config() const { return config_; }
  [[nodiscard]] const std::string& path() const { return path_; }

  // Device access. Open fails while the drive is absent, and by the sharing
  // rule: an exclusive open fails while any other handle is open, any open
  // fails while an exclusive handle is held.
  [[nodiscard]] bool Open(ShareMode mode, int* error);
  void Close(ShareMode mode);
  // One request on a handle opened with `opened`. Besides the bytes and the
  // pauses, the drive holds the host to its device rules: SCSI requests come
  // on shared handles and ATA requests on exclusive ones, each with the
  // station's time-out for its route and direction.
  [[nodiscard]] ScsiResult Scsi(const ScsiRequest& request, ShareMode opened);
  [[nodiscard]] AtaResult Ata(const AtaRequest& request, ShareMode opened);
  [[nodiscard]] bool Descriptor(StorageDescriptor* out);
  // The time-out the station gives a request of this route and direction
  // (the drive's TimeoutIn/TimeoutOut in place of it on the SAT route).
  [[nodiscard]] uint32_t ExpectedTimeout(bool ata, DataDirection dir) const;

  // Whether the topology shows the drive, in the calling thread's time.
  [[nodiscard]] bool Present();

  void Plug();
  void Unplug();
  // Pulls the drive out when it receives `step` (as for faults: the phase,
  // or the chunk of a download) of the `nth` command of this kind (0: the
  // next one): that request fails as on a device that vanished mid-command.
  void UnplugOn(Command command, uint32_t nth, uint32_t step);
  [[nodiscard]] DriveState Inspect();
  // Ends an open download as if the host had moved on (checks it, dumps it).
  void Flush();
  void SetDumpDir(std::string dir);

 private:
  // Gone: the drive was pulled while it took the request.
  enum class Verdict { Accept, Refuse, Fail, Gone };
  enum class Kind {
    Malformed,
    Identify,
    CheckPowerMode,
    Chunk,
    Microcode,
    FirstPhase,
    SecondNone,
    SecondIn512,
    SecondIn4096,
    SecondOut512,
    ReadRdt,
    ReadFct,
    ReadDft,
  };
  enum class Image : uint8_t { Burner, RdtParam, SysFw, Spi };

  struct Decoded {
    Kind kind = Kind::Malformed;
    uint8_t mode = 0;
    uint8_t blocks = 0;
    uint32_t offsetBlocks = 0;
  };

  struct Exchange {
    std::array<uint8_t, 16> image{};
    size_t imageLength = 0;
    DataDirection dir = DataDirection::None;
    uint8_t* data = nullptr;
    uint32_t length = 0;
  };

  struct Pending {
    bool open = false;
    Command command = Command::Identify;
    uint32_t count = 0;
    uint32_t at = 0;
    uint8_t selector = 0;
  };

  struct Sequence {
    bool open = false;
    Image image = Image::Burner;
    uint8_t mode = 0;
    uint32_t count = 0;   // which download of its kind this is
    uint32_t chunks = 0;  // chunks received
    uint32_t nextBlock = 0;
    uint8_t lastBlocks = 0;
    uint32_t lastAt = 0;
    std::vector<uint8_t> bytes;
  };

  static Decoded Decode(const Exchange& x);
  Verdict Process(const Exchange& x, uint32_t now);
  Verdict HandleFirstPhase(const Exchange& x, uint32_t now);
  Verdict HandleSecondPhase(const Decoded& d, const Exchange& x, uint32_t now);
  Verdict HandleChunk(const Decoded& d, const Exchange& x, uint32_t now);
  Verdict Answer(const Exchange& x, const std::vector<uint8_t>& bytes);
  // Fail for an injected fault, Gone for a planned pull, else Accept.
  Verdict Trip(Command command, uint32_t count, uint32_t step);
  // Whether the host kept the pause the last command asks for.
  bool QuietKept(uint32_t now) const;
  void Quiet(uint32_t now, uint32_t ms);
  void Vanish();
  // Tells the monitors about a pull inside the request, once unlocked.
  void ReportPull(std::unique_lock<std::mutex>& lock);
  bool PresentLocked(uint32_t now);
  Image Classify(const uint8_t* firstChunk, uint8_t blocks) const;
  void CloseSequence();
  void StartSession(DriveMode mode);
  void PowerOn();
  void ReEnumerate(uint32_t now, uint32_t ms);
  uint32_t StatusWord() const;
  void Dump(const char* what, const std::vector<uint8_t>& bytes);
  void Trace(const Exchange& x, bool ata, const TaskFile& previous, const TaskFile& current,
             const std::vector<uint8_t>& cdb, bool accepted, uint32_t now);

  const DriveConfig config_;
  const std::string path_;
  Clock& clock_;
  Tracer& tracer_;
  Notify notify_;

  std::mutex mutex_;
  std::string dumpDir_;
  bool plugged_ = true;
  bool enumerating_ = false;
  uint32_t enumAt_ = 0;
  uint32_t enumMs_ = 0;
  int shared_ = 0;
  bool exclusive_ = false;

  DriveMode mode_ = DriveMode::Normal;
  bool rebooted_ = false;
  bool imageRejected_ = false;
  uint32_t busyPolls_ = 0;
  std::array<uint32_t, kCommandCount> counts_{};
  bool pullPlanned_ = false;
  FaultRule pull_;
  bool pulled_ = false;  // set by a pull inside a request; reported after it
  // The pause the last download chunk or first phase asks for before any
  // other vendor command.
  uint32_t quietAt_ = 0;
  uint32_t quietMs_ = 0;
  Pending pending_;
  Sequence sequence_;
  // Per session (burner activation, boot): what has been done and received.
  bool burned_ = false;
  bool burnerComplete_ = false;
  bool capacitySet_ = false;
  uint16_t capacityValue_ = 0;
  bool skipRunBad_ = false;
  char eraseSelector_ = 0;
  int calibrations_ = 0;
  bool rdtSeen_ = false;
  bool sysFwSeen_ = false;
  bool spiSeen_ = false;
  bool lastSysFwValid_ = false;
  std::vector<uint8_t> lastSysFwFirstChunk_;
  std::vector<uint8_t> burner_, rdtParam_, sysFw_, spi_;
  bool rdtParamValid_ = false;
  bool sysFwValid_ = false;
  // The identity the drive boots with; a valid system firmware replaces it.
  std::string model_, serial_, firmware_;
  uint32_t accepted_ = 0, refused_ = 0, failed_ = 0;
};

}  // namespace qelvar::platform::sim
