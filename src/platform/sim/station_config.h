// The simulated station as described by a station file: the external hubs and
// every drive with its identity, geometry, answers, timings and faults. The
// file's keys are documented in examples/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_bridge.h"

namespace qelvar::platform::sim {

// The commands a drive knows, by the names the station file uses for faults.
enum class Command : uint8_t {
  Identify,
  EnterRomMode,
  DownloadBurner,
  DownloadMicrocode,
  GetInjectStatus,
  GetNandInfo,
  EraseNand,
  SkipRunBadBlocks,
  SetDriveCapacity,
  TriggerBurn,
  GetCeBinTable,
  GetCeMrTable,
  GetBin,
  GetRdtResult,
  ReadFct,
  ReadDft,
  GetVendorIdentify,
  CalibrateNand,
  DownloadRdtParameters,
  DownloadSystemFirmware,
  DownloadSpiRom,
  RebootDrive,
};
inline constexpr size_t kCommandCount = 22;

[[nodiscard]] std::string_view CommandName(Command command);
// False when the name is not one of the command names (case-insensitive).
[[nodiscard]] bool CommandFromName(std::string_view name, Command* out);

// One injected fault: the `nth` command of this kind (0: every one) fails at
// the transport on its `step`: the phase of a two-phase command (1 or 2) or
// the chunk of a download (1-based).
struct FaultRule {
  Command command = Command::Identify;
  uint32_t nth = 0;
  uint32_t step = 1;
};

enum class StartMode : uint8_t { Normal, Rom };

struct DriveConfig {
  int index = 0;     // N of [DriveN]
  std::string name;  // "DriveN"
  int hub = 0;       // 0-based external hub; -1: a root-hub port
  int hubPort = 1;   // 1-based
  std::string model = "QELVAR SIM SSD";
  std::string serial;
  std::string firmware = "SIM00001";
  std::string romModel = "QELVAR ROM LOADER";
  std::string romSerial = "ROM0000000000000000";
  std::string romFirmware = "ROM00001";
  uint64_t sectors = 250069680;
  bool removable = false;
  bool identify = true;
  StartMode startMode = StartMode::Normal;
  uint8_t channels = 2;
  uint8_t ces = 2;
  uint8_t luns = 1;
  uint8_t planes = 2;
  std::array<uint8_t, 6> flashId{};
  int cePresent = -1;  // -1: channels x CEs
  uint8_t bin = 1;
  std::array<uint8_t, 8> ceBin{};
  bool ceBinGiven = false;
  std::array<uint8_t, 8> ceMr{};
  enum class Rdt : uint8_t { Pass, FailLun, None } rdt = Rdt::Pass;
  uint32_t rdtFailLun = 0;
  uint32_t rdtEntries = 0;
  uint32_t rdtHeaderOffset = 8;
  uint32_t rdtVersion = 0x01000203;
  uint32_t factoryBad = 0;
  uint32_t runtimeBad = 0;
  int64_t badBlockNumber = -1;  // vendor identify's bad block number; -1: FactoryBad + RuntimeBad
  int32_t bitmapBytes = 2048;
  uint32_t seed = 1;
  uint32_t statusFirst = 0;
  uint32_t statusAfterBurn = 0;
  uint32_t statusAfterSpi = 0;
  uint32_t eraseBusyPolls = 0;
  uint32_t burnBusyPolls = 0;
  uint32_t calibrateBusyPolls = 0;
  uint32_t capacitySectors = 0;  // 0: the IDENTIFY capacity, cut to 32 bits
  uint32_t rebootMs = 0;         // re-enumeration after a reboot
  uint32_t romEntryMs = 0;       // re-enumeration after entering ROM mode
  bool expectSysFw = true;
  std::vector<FaultRule> faults;
  // What the drive's USB-to-SATA bridge shows on the bus (qelvar-simbridge).
  uint16_t usbVendorId = 0x1209;
  uint16_t usbProductId = 0x0001;
  std::string usbSerial;  // empty: "QBRG" + N in 8 digits
  uint8_t inquiryVersion = 6;
  // How the bridge carries ATA PASS-THROUGH (both simulators).
  BridgeBehaviour bridge;
  // The SAT-path time-outs (seconds) the drive insists on in place of the
  // station's own, as for a slow bridge the line's table names; 0: the
  // station's own.
  uint32_t timeoutIn = 0;
  uint32_t timeoutOut = 0;  // data-out and non-data
};

struct StationConfig {
  int hubs = 2;
  int hubPorts = 8;
  int rootPorts = 8;
  std::string traceFile;  // empty: no trace file
  std::string dumpDir;    // empty: no dumps
  // Delivery jitter the drives allow on a pause when they sit behind
  // qelvar-simbridge (microseconds).
  uint32_t pauseToleranceUs = 0;
  std::vector<DriveConfig> drives;  // in section number order
};

inline constexpr int kMaxDrives = 24;

// Parses a station file's text. `baseDir` resolves relative TraceFile and
// DumpDir values. False with *error naming the line on bad input.
[[nodiscard]] bool ParseStation(std::string_view text, std::string_view baseDir, StationConfig* out,
                                std::string* error);

// The station used when no file is given: 16 healthy drives on two 8-port hubs.
[[nodiscard]] std::string_view DefaultStationText();

}  // namespace qelvar::platform::sim
