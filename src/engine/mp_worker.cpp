// The per-port flow. The numbered step comments ("// 15. Bad-block number.")
// are the steps of the flow as src/engine/README.md lists them, with their
// pauses and fail codes; a change to a step changes both.
#include "engine/mp_worker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/port_candidates.h"
#include "engine/bad_block_table.h"
#include "engine/port_run.h"
#include "engine/rdt_parameters.h"
#include "engine/rdt_report.h"
#include "engine/system_parameter_block.h"

namespace qelvar::engine {

uint32_t ErasePollBudget(uint32_t delayNandErase) {
  return delayNandErase < 3 ? 1u : (delayNandErase - 1) / 2;
}

uint32_t BurnPollBudget(uint32_t delayBurner) {
  return delayBurner < 7 ? 1u : (delayBurner - 5) / 2;
}

namespace {

using settings::MpSettings;
using vendor::PortTarget;

constexpr uint32_t kErasePollPauseMs = 2000;
constexpr uint32_t kBurnPollPauseMs = 1000;
constexpr int kBurnerAttempts = 3;
constexpr int kDownloadAttempts = 6;  // system firmware and SPI ROM
constexpr int32_t kCapacityNotReadyMb = 16;

// One walk of the topology at a time: a backend's topology may keep state
// from walk to walk (the Linux one hands out node handles), and the workers
// look for their rebooted drives at the same moments.
std::mutex gTopologyWalk;

int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One worker's run on one port.
class PortFlow {
 public:
  PortFlow(WorkerEnvironment& env, int port, std::shared_ptr<const settings::Images> images,
           std::string runId = {})
      : runId_(std::move(runId)),
        env_(env),
        station_(env.station),
        vendor_(env.links.vendor),
        clock_(env.links.clock),
        port_(port),
        index_(static_cast<size_t>(port)),
        info_(station_.ports.gDeviceInfo[index_]),
        path_(info_.Path, strnlen(info_.Path, sizeof info_.Path)),
        images_(std::move(images)) {}

  void Run() {
    const int64_t startedAtMs = WallClockMs();
    FailCode code = Flow();
    RecordResult(code, startedAtMs);
    auto o = Options();
    ReportPortResult(PortRunContext{env_.list, station_.ports, station_.run, env_.events}, *o,
                     port_, code, bin_, Text(fwVersion_.data(), fwVersion_.size()),
                     Text(serial_.data(), serial_.size()));
  }

 private:
  // The options as they stand now: each step takes them once, when it is
  // reached, and decides from that one record.
  std::shared_ptr<const MpSettings> Options() const { return station_.options.Current(); }

  static std::string Text(const char* text, size_t capacity) {
    return std::string(text, strnlen(text, capacity));
  }

  PortTarget Target() const {
    return PortTarget{path_, info_.InterfaceType, info_.bridge.route, info_.bridge.timeouts};
  }

  // Finds the drive again on this port's hub port after it re-enumerated,
  // and points the port's commands at the device it is now. The system need
  // not give it its old disk number back (Linux hands out sd names again in
  // the order drives come back), and the old one may by then belong to
  // another drive. False while no drive is on the hub port.
  bool FindOnHubPort() {
    std::string path = FindDriveOnHubPort(env_.links, station_.ports.gPortTable[index_]);
    if (path.empty()) return false;
    path_ = std::move(path);
    return true;
  }

  void Progress(int percent) {
    env_.list.SetCell(port_, discovery::kColProgress, std::to_string(percent) + " %");
  }

  void Sleep(uint64_t ms) {
    // The clock takes 32-bit pauses: a longer one (from a large setting) is
    // taken in pieces. A pause of 0 is still a pause of the flow.
    do {
      uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu));
      clock_.SleepMs(piece);
      ms -= piece;
    } while (ms > 0);
  }

  // Polls the drive until it answers: up to `budget` times, pausing after
  // every unanswered poll. 0 when it answered, else the last poll's code.
  FailCode Poll(uint32_t budget, uint32_t pauseMs) {
    FailCode last = kFailGetInject;
    for (uint32_t i = 0; i < budget; ++i) {
      last = PollInject(vendor_, Target());
      if (last == kFailNone) return kFailNone;
      Sleep(pauseMs);
    }
    return last;
  }
  FailCode ErasePoll(const MpSettings& o) {
    return Poll(ErasePollBudget(o.DelayNandErase), kErasePollPauseMs);
  }
  FailCode BurnPoll(const MpSettings& o) {
    return Poll(BurnPollBudget(o.DelayBurner), kBurnPollPauseMs);
  }

  static vendor::EraseSelector Selector(const MpSettings& o) {
    switch (o.NandEraseSelect) {
      case 0:
        return vendor::EraseSelector::Whole;
      case 1:
        return vendor::EraseSelector::WithoutWpb0;
      default:
        return vendor::EraseSelector::WithoutKeep;
    }
  }

  static uint8_t DownloadMode(const MpSettings& o) {
    return o.DownloadBurner ? vendor::kModeSaveImmediate : vendor::kModeSaveDeferred;
  }

  FailCode Erase(const MpSettings& o) {
    if (vendor_.EraseNand(Target(), Selector(o)) != vendor::kCommandOk) return kFailNandErase;
    Sleep(1000);
    return ErasePoll(o);
  }

  FailCode Flow();
  FailCode BurnerPhase();
  FailCode SystemFirmware(const MpSettings& o);
  FailCode SpiRom(const MpSettings& o);
  FailCode RebootAndCapacity(const MpSettings& o);
  void RecordResult(FailCode code, int64_t startedAtMs);

  // What the line ledger records of this port's run.
  const std::string runId_;
  bool burnerSent_ = false;
  bool rdtParamSent_ = false;
  uint32_t sysFwSentLength_ = 0;
  bool spiSent_ = false;
  int32_t capacityMb_ = -1;

  WorkerEnvironment& env_;
  Station& station_;
  vendor::VendorCommands& vendor_;
  platform::Clock& clock_;
  const int port_;
  const size_t index_;
  discovery::DeviceInfo& info_;
  // The drive's device path: the scan's, until the drive re-enumerates.
  std::string path_;
  std::shared_ptr<const settings::Images> images_;

  bool eraseAllBranch_ = false;
  FailCode deferredStatus_ = kFailNone;
  uint8_t bin_ = kNoBin;
  std::array<char, 9> fwVersion_{};
  std::array<char, 21> serial_{};
  std::vector<uint8_t> privateImage_;  // the worker's own system firmware copy
  std::array<uint8_t, settings::kRdtParamImageCapacity> privateRdtParam_{};
};

FailCode PortFlow::Flow() {
  // 1. Start.
  station_.run.ClearPort(port_);
  privateImage_.assign(images_->gSysFwImage.begin(), images_->gSysFwImage.end());
  privateRdtParam_ = images_->gRdtParamImage;
  const char* source = env_.kept.keep ? env_.kept.serials[index_].data() : info_.SerialNumber;
  std::memcpy(serial_.data(), source, serial_.size());
  serial_.back() = '\0';

  // 2. Without burner and erase-all the flow starts at the bad-block number.
  bool burnerPhase = false;
  {
    auto o = Options();
    burnerPhase = o->DownloadBurner || o->NandEraseAll;
  }
  if (burnerPhase) {
    if (FailCode code = BurnerPhase(); code != kFailNone) return code;
  }

  if (!eraseAllBranch_) {
    // 15. Bad-block number.
    info_.badBlockCount = vendor_.GetBadBlockNumber(Target());
    if (info_.badBlockCount == -1) return kFailGetBadBlockNum;

    // 16. Bad-block tables, then the status held back from the burn.
    if (auto o = Options(); o->DownloadBurner) {
      int32_t scratch = 0;
      if (ReadFctTable(vendor_, Target(), station_.run, scratch, port_, *o, env_.dbugFolder)) {
        return kFailGetFactoryBbt;
      }
      if (ReadDftTable(vendor_, Target(), station_.run, info_.badBlockCount, port_, *o,
                       env_.dbugFolder)) {
        return kFailGetRunBbt;
      }
      if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
      if (deferredStatus_ != kFailNone) return deferredStatus_;
    }
  }

  // 17. Late erase.
  if (auto o = Options(); o->NandErase && !o->ScanRDT && !o->NandEraseAll) {
    if (FailCode code = Erase(*o); code != kFailNone) return code;
  }

  // 18. Calibration.
  if (auto o = Options(); o->NandCalibration && !o->NandEraseAll) {
    if (vendor_.CalibrateNand(Target()) != vendor::kCommandOk) return kFailNandCalibration;
    Progress(55);
    Sleep(o->DelayNandCali);
    if (o->DownloadBurner) {
      if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
    }
    Sleep(5000);
    if (FailCode code = ErasePoll(*o); code != kFailNone) return code;
  }

  // 19.
  Progress(75);

  // 20. RDT parameters, patched into the worker's own copy.
  if (auto o = Options(); o->DownloadBurner && o->ScanRDT && !o->NandEraseAll) {
    const uint32_t length = images_->RdtParamLength;
    if (o->RdtParamEn) UpdateRdtParameters(privateRdtParam_, *o, length);
    if (vendor_.DownloadRdtParameters(Target(), privateRdtParam_, length) != 1) {
      return kFailDownloadCmd92;
    }
    rdtParamSent_ = true;
    if (FailCode code = ReadInjectStatus(vendor_, Target()); code != kFailNone) return code;
    Progress(75);
  }

  // 21. System firmware.
  if (auto o = Options(); o->DownloadSysFW && !o->NandEraseAll) {
    if (FailCode code = SystemFirmware(*o); code != kFailNone) return code;
  }

  // 22. SPI ROM.
  if (auto o = Options(); !o->SpiDisable && o->DownloadBurner && !o->NandEraseAll) {
    if (FailCode code = SpiRom(*o); code != kFailNone) return code;
  }

  // 23. Stagger the reboots.
  Sleep(500ull * static_cast<uint64_t>(port_) + 4000);

  // 24. Reboot and capacity.
  if (auto o = Options(); !o->NandEraseAll && !o->ScanRDT) {
    if (FailCode code = RebootAndCapacity(*o); code != kFailNone) return code;
  }
  return kFailNone;
}

// Steps 3 to 14, and the erase-all branch's steps 3 to 9.
FailCode PortFlow::BurnerPhase() {
  // 3. Burner, up to three attempts, 5 s after each failed one.
  Progress(5);
  Sleep(200ull * static_cast<uint64_t>(port_));
  bool loaded = false;
  for (int attempt = 0; attempt < kBurnerAttempts && !loaded; ++attempt) {
    loaded = vendor_.DownloadBurnerImage(Target(), images_->gBurnerImage) == 1;
    if (!loaded) Sleep(5000);
  }
  if (!loaded) return kFailDownloadBurn;
  burnerSent_ = true;

  // 4. Microcode.
  Progress(15);
  if (vendor_.DownloadMicrocode(Target()) != 1) return kFailDownloadMicrocode;
  Sleep(1000);

  // 5. Inject.
  {
    std::array<uint8_t, vendor::kInjectStatusBytes> answer{};
    if (vendor_.GetInjectStatus(Target(), answer) != vendor::kCommandOk) return kFailGetInject;
  }

  // 6. NAND information; the flash is identified whatever the read returned.
  SharedNandReport& report = station_.run.gNandReport[index_];
  bool nandFailed = ReadNandInfo(vendor_, Target(), report);
  MatchFlashId(report.Read(), station_.run.gDetectedFlashIndex);
  if (nandFailed) return kFailGetNandInfo;

  // 7. First status: only a CE/channel mismatch stops the flow here.
  if (ReadInjectStatus(vendor_, Target()) == kFailCeChNotMatching) return kFailCeChNotMatching;

  // 8. Early erase.
  if (auto o = Options(); (o->NandErase && o->ScanRDT) || o->NandEraseAll) {
    if (FailCode code = Erase(*o); code != kFailNone) return code;
  }

  // 9.
  Sleep(2000);
  if (Options()->NandEraseAll) {
    Progress(50);
    eraseAllBranch_ = true;  // on to the late steps, past the bad-block number
    return kFailNone;
  }

  // 10. Burn trigger. The commands stop at the first that fails: a burn is
  // never triggered on a drive that did not take its capacity.
  auto o = Options();
  bool triggered = true;
  if (o->Skip_RunBad) triggered = vendor_.SkipRunBadBlocks(Target()) == vendor::kCommandOk;
  if (triggered) {
    triggered = vendor_.SetDriveCapacity(Target(), o->SetCapacity) == vendor::kCommandOk;
  }
  if (triggered) triggered = vendor_.TriggerBurn(Target()) == vendor::kCommandOk;
  if (!triggered) return kFailTriggerBurn;
  Progress(35);
  Sleep(5000);
  if (FailCode code = BurnPoll(*o); code != kFailNone) return code;

  // 11. Burn status: too many bad blocks and MR failures are reported only
  // after the bad-block tables have been read.
  FailCode status = ReadInjectStatus(vendor_, Target());
  if (status == kFailTooMuchBadBlock || status == kFailCeChNotMatching || status == kFailMrBlock) {
    deferredStatus_ = status;
  } else if (status != kFailNone) {
    return status;
  }

  // 12. CE tables and bin.
  o = Options();
  (void)ReadCeTables(vendor_, Target(), report);
  if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
  (void)ReadBin(vendor_, Target(), o->SetBin, bin_);
  if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
  fwVersion_ = DeriveFwVersion(bin_, *o);

  // 13. RDT result.
  o = Options();
  if (!o->NandEraseAll && !o->JumpToFT3 && !o->ScanRDT) {
    if (ReadRdtResult(vendor_, Target(), station_.run, port_, *o, env_.dbugFolder)) {
      return kFailGetRdtResult;
    }
    if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
  }

  // 14.
  Progress(50);
  return kFailNone;
}

// Step 21.
FailCode PortFlow::SystemFirmware(const MpSettings& o) {
  uint32_t length = 0;
  uint64_t fileSize = 0;
  settings::ImageRead read =
      settings::ReadImageFile(std::string(o.SysFwPath, strnlen(o.SysFwPath, sizeof o.SysFwPath)),
                              privateImage_, length, &fileSize);
  // A firmware that cannot be read whole, or that cannot even hold its header,
  // is never sent to a drive.
  if (read != settings::ImageRead::kRead || length < kImageHeaderBytes) return kFailDownloadSysFw;

  if (!o.ScanRDT) {
    ParameterBlockResult built = BuildSystemParameterBlock(privateImage_, images_->SysFwLength, o,
                                                           serial_, bin_, fwVersion_);
    if (built != ParameterBlockResult::kBuilt) return kFailDownloadSysFw;
  }

  Sleep(2000);
  for (int retry = 0;; ++retry) {
    bool sent =
        vendor_.DownloadSystemFirmware(Target(), privateImage_, length, DownloadMode(o)) == 1;
    Progress(85);
    bool lastAttempt = retry + 1 >= kDownloadAttempts;
    if (!sent) {
      if (lastAttempt) return kFailDownloadSysFw;
      continue;
    }
    sysFwSentLength_ = length;
    if (!o.DownloadBurner) return kFailNone;
    FailCode status = ReadInjectStatus(vendor_, Target());
    if (status == kFailNone) return kFailNone;
    if (lastAttempt) return status;
  }
}

// Step 22.
FailCode PortFlow::SpiRom(const MpSettings& o) {
  for (int retry = 0;; ++retry) {
    bool sent = vendor_.DownloadSpiRom(Target(), images_->gSpiImage, images_->SpiLength,
                                       DownloadMode(o)) == 1;
    Progress(95);
    bool lastAttempt = retry + 1 >= kDownloadAttempts;
    if (!sent) {
      if (lastAttempt) return kFailDownloadSpiRom;
      continue;
    }
    spiSent_ = true;
    FailCode status = ReadInjectStatus(vendor_, Target());
    if (status == kFailNone) return kFailNone;
    if (status == kFailSpiUnknown) return kFailSpiUnknown;
    if (lastAttempt) return status;
  }
}

// Step 24.
FailCode PortFlow::RebootAndCapacity(const MpSettings& o) {
  if (vendor_.RebootDrive(Target()) != vendor::kCommandOk) return kFailReboot;
  const uint64_t unit = static_cast<uint64_t>(o.DelayReboot) + static_cast<uint64_t>(port_);
  Sleep(unit * 500);
  bool ready = false;
  for (int attempt = 0; attempt < 6 && !ready; ++attempt) {
    Sleep(unit * 300);
    if (!FindOnHubPort()) {
      // Not back yet. The capacity read is not sent to a path that may now
      // name another drive, but the pause a failing read costs is kept: the
      // drive gets the whole window the flow allows it.
      Sleep(vendor::kFirstPhasePauseMs);
      continue;
    }
    int32_t megabytes = vendor_.GetCapacityMb(Target());
    if (megabytes != -1 && static_cast<uint32_t>(megabytes) > kCapacityNotReadyMb) {
      env_.list.SetCell(port_, discovery::kColCapacity, std::to_string(megabytes));
      capacityMb_ = megabytes;
      ready = true;
    }
  }
  if (!ready) return kFailRebootTimeout;
  if (o.DownloadBurner) {
    if (FailCode code = PollInject(vendor_, Target()); code != kFailNone) return code;
  }
  return kFailNone;
}

// The port's record for the line ledger; handed over in one call that
// returns at once, before the result is reported.
void PortFlow::RecordResult(FailCode code, int64_t startedAtMs) {
  PortRecorder* recorder = env_.recorder;
  if (!recorder) return;
  PortResult r;
  r.port = port_;
  r.runId = runId_;
  const discovery::PortIdentity& hub = station_.ports.gPortTable[index_];
  r.hubInstance = Text(hub.hubInstanceId, sizeof hub.hubInstanceId);
  r.hubPort = hub.portIndex;
  r.startedAtMs = startedAtMs;
  r.endedAtMs = WallClockMs();
  r.failCode = code;
  r.statusText = code != kFailNone ? std::string(FailMessage(code)) : "Pass";
  auto o = Options();
  r.model = Text(o->ModelName, sizeof o->ModelName);
  r.serial = Text(serial_.data(), serial_.size());
  r.fwVersion = Text(fwVersion_.data(), fwVersion_.size());
  r.capacityMb = capacityMb_;
  r.bin = bin_;
  r.rdtPass = station_.run.gRdtPass[index_].load() != 0;
  r.nand = station_.run.gNandReport[index_].Read();
  r.runBad = info_.badBlockCount;
  r.images = images_;
  r.burnerSent = burnerSent_;
  r.spiSent = spiSent_;
  if (rdtParamSent_) {
    const size_t n = std::min<size_t>(images_->RdtParamLength, privateRdtParam_.size());
    r.rdtParamSent.assign(privateRdtParam_.begin(),
                          privateRdtParam_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (sysFwSentLength_ > 0) {
    const size_t n = std::min<size_t>(sysFwSentLength_, privateImage_.size());
    r.sysFwSent.assign(privateImage_.begin(),
                       privateImage_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  recorder->PortFinished(std::move(r));
}

}  // namespace

void MpWorker(std::unique_ptr<WorkerStart> start) {
  PortFlow flow(*start->environment, start->port, start->images, std::move(start->runId));
  start.reset();  // the start record is released once the worker has what it needs
  flow.Run();
}

std::string FindDriveOnHubPort(StationLinks& links, const discovery::PortIdentity& hub) {
  std::array<discovery::PortCandidate, platform::kMaxCandidates> found;
  size_t n = 0;
  {
    std::lock_guard lock(gTopologyWalk);
    n = discovery::DiscoverPortCandidates(links.topology, found);
  }
  for (size_t i = 0; i < n; ++i) {
    if (found[i].portIndex == hub.portIndex &&
        std::strncmp(found[i].hubInstanceId, hub.hubInstanceId, sizeof hub.hubInstanceId) == 0) {
      return links.io.DiskPath(found[i].diskNumber);
    }
  }
  return {};
}

}  // namespace qelvar::engine
