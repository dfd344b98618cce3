// The Start sequence, the end of a run and the single-port start. The
// numbered step comments ("// 6. ROM mode ...") are the steps of the Start as
// src/engine/README.md lists them.
#include "engine/run_control.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "discovery/bridge_table.h"
#include "engine/preflight.h"
#include "engine/serial_number.h"
#include "settings/images.h"
#include "settings/profile.h"

namespace qelvar::engine {

namespace {

constexpr uint32_t kRomEntryStepMs = 300;
constexpr uint32_t kAfterRomEntryMs = 8000;

void CopyText(char* field, size_t capacity, std::string_view text, size_t maxChars) {
  size_t n = std::min({text.size(), maxChars, capacity - 1});
  std::memset(field, 0, capacity);
  std::memcpy(field, text.data(), n);
}

}  // namespace

StartControls StartControlsOf(const settings::MpSettings& s) {
  auto text = [](const char* field, size_t capacity) {
    return std::string(field, strnlen(field, capacity));
  };
  StartControls controls;
  controls.modelName = text(s.ModelName, sizeof s.ModelName);
  controls.keepSn = s.KeepSN != 0;
  controls.spiDisable = s.SpiDisable != 0;
  controls.skipRunBad = s.Skip_RunBad != 0;
  controls.fwVersion = text(s.FWVersion, sizeof s.FWVersion);
  controls.snEdit = text(s.SN, sizeof s.SN);
  return controls;
}

std::string ElapsedText(int64_t e) {
  char text[64];
  std::snprintf(text, sizeof text, "%d H::%d M::%d S",
                static_cast<int>(e / 3600 - (e / 86400) * 24),
                static_cast<int>(e / 60 - (e / 3600) * 60), static_cast<int>(e - (e / 60) * 60));
  return text;
}

RunControl::RunControl(Station& station, StationLinks& links, discovery::PortListSink& list,
                       RunEvents& events, RunPage& page, settings::StationPaths paths)
    : station_(station),
      links_(links),
      list_(list),
      page_(page),
      paths_(std::move(paths)),
      environment_{station, links, list, events, kept_, paths_.DbugDir()} {}

RunControl::~RunControl() {
  JoinWorkers();
}

void RunControl::JoinWorkers() {
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

bool RunControl::AnyWorkerRunning() const {
  // The status byte says "running" until the worker's final report; the live
  // count also covers the last cell writes and the completion after it.
  return liveWorkers_.load() > 0 || discovery::AnyWorkerRunning(station_.ports);
}

std::vector<int> RunControl::StartedPorts() const {
  std::vector<int> ports;
  const uint32_t started = startedPorts_.load();
  for (int p = 0; p < discovery::kPortCount; ++p) {
    if (started & (1u << p)) ports.push_back(p);
  }
  return ports;
}

void RunControl::LoadBridgeTable() {
  // The line edits the table while the program runs: every scan reads it
  // anew. A table that does not parse is not used at all, and said once.
  std::string text;
  discovery::BridgeTable table;
  std::string why;
  const std::string path = paths_.gExeDir + "/" + std::string(discovery::kBridgeTableFile);
  if (settings::ReadWholeFile(path, text) && !discovery::ParseBridgeTable(text, &table, &why)) {
    table = {};
    if (why != bridgeTableProblem_) {
      page_.Messages().Show(path + ": " + why + "; the bridges are probed instead.",
                            kBridgeTableCaption, settings::MessageIcon::kWarning);
    }
  } else {
    why.clear();
  }
  bridgeTableProblem_ = why;
  station_.ports.bridgeTable = std::move(table);
}

discovery::ScanOutcome RunControl::Scan() {
  if (startInProgress_.load() || AnyWorkerRunning()) {
    return discovery::ScanOutcome::kRefusedWorkerRunning;
  }
  LoadBridgeTable();
  return discovery::OnDeviceScan(station_.ports, list_, links_.topology, links_.io,
                                 links_.transport, trace_);
}

void RunControl::EndStartWithoutWorkers() {
  page_.EnableRunButtons(true);
  runActive_.store(0);
  busy_.store(0);
  startInProgress_.store(false);
}

void RunControl::StartWorker(int port, const std::shared_ptr<const settings::Images>& images) {
  const auto index = static_cast<size_t>(port);
  std::thread& slot = workers_[index];
  if (slot.joinable()) slot.join();  // its worker has finished: its done flag is set

  startedPorts_.fetch_or(1u << index);
  if (environment_.recorder) {
    const discovery::PortIdentity& hub = station_.ports.gPortTable[index];
    auto options = station_.options.Current();
    PortStart started;
    started.port = port;
    started.runId = runId_;
    started.hubInstance.assign(hub.hubInstanceId,
                               strnlen(hub.hubInstanceId, sizeof hub.hubInstanceId));
    started.hubPort = hub.portIndex;
    started.startedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    started.model.assign(options->ModelName,
                         strnlen(options->ModelName, sizeof options->ModelName));
    started.serial = GivenSerial(port);
    started.fwVersion.assign(options->FWVersion,
                             strnlen(options->FWVersion, sizeof options->FWVersion));
    environment_.recorder->PortStarted(started);
  }
  list_.SetCell(port, discovery::kColStatus, "Scanning");
  station_.ports.gPortStatus[index].store(discovery::kRunning);
  auto start = std::make_unique<WorkerStart>();
  start->environment = &environment_;
  start->port = static_cast<uint8_t>(port);
  start->images = images;
  start->runId = runId_;
  station_.ports.gDeviceInfo[index].done.store(0);
  liveWorkers_.fetch_add(1);
  portLive_[index].store(true);
  slot = std::thread(links_.clock.Inherit(
      "port " + std::to_string(port),
      [this, index, start = std::shared_ptr<WorkerStart>(std::move(start))]() mutable {
        MpWorker(std::make_unique<WorkerStart>(std::move(*start)));
        const uint32_t ended = links_.clock.TickMs() - startTick_.load();
        uint32_t latest = lastPortEndedMs_.load();
        while (ended > latest && !lastPortEndedMs_.compare_exchange_weak(latest, ended)) {
        }
        portLive_[index].store(false);
        liveWorkers_.fetch_sub(1);
      }));
}

std::string RunControl::GivenSerial(int port) const {
  if (port < 0 || port >= discovery::kPortCount) return {};
  const auto index = static_cast<size_t>(port);
  const char* serial =
      kept_.keep ? kept_.serials[index].data() : station_.ports.gDeviceInfo[index].SerialNumber;
  std::string text(serial, strnlen(serial, 20));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<int> RunControl::PortsLeftInRomMode() const {
  std::vector<int> ports;
  const uint32_t left = romPorts_.load() & ~startedPorts_.load();
  for (int p = 0; p < discovery::kPortCount; ++p) {
    if (left & (1u << p)) ports.push_back(p);
  }
  return ports;
}

bool RunControl::PassesPreflight(const std::vector<int>& ports, const StartControls* controls) {
  auto options = station_.options.Current();
  const bool ledgerSerials =
      controls != nullptr && serials_ != nullptr && serials_->Active() &&
      SerialRuleOf(*options, controls->keepSn, station_) == SerialRule::kAutoIncrease;
  const std::string modelName =
      controls ? controls->modelName
               : std::string(options->ModelName, strnlen(options->ModelName, 41));
  const std::string fwVersion =
      controls ? controls->fwVersion
               : std::string(options->FWVersion, strnlen(options->FWVersion, 9));
  PreflightRequest request{*options,
                           paths_,
                           station_,
                           ports,
                           modelName,
                           fwVersion,
                           controls ? std::string_view(controls->snEdit) : std::string_view()};
  request.keepSn = controls != nullptr && controls->keepSn;
  request.serialsFromLedger = ledgerSerials;
  request.recorder = environment_.recorder;
  // A single-port start gives its drive the serial its record holds.
  request.singlePort = controls == nullptr;
  refusal_ = PreflightProblems(request);
  if (refusal_.empty()) return true;
  page_.Messages().Show(PreflightMessage(refusal_), kPreflightCaption,
                        settings::MessageIcon::kWarning);
  return false;
}

StartOutcome RunControl::OnStart(const StartControls& controls) {
  // A worker of a single-port start may still run: a rescan now would pull
  // its records from under it.
  if (AnyWorkerRunning()) {
    page_.Messages().Show(kStartRefusedText, kStartRefusedCaption, settings::MessageIcon::kWarning);
    return StartOutcome::kRefusedRunning;
  }
  startInProgress_.store(true);
  romPorts_.store(0);
  startedPorts_.store(0);

  // 1-2.
  page_.EnableRunButtons(false);
  startTime_.store(links_.clock.CalendarSeconds());
  startTick_.store(links_.clock.TickMs());
  lastPortEndedMs_.store(0);
  runActive_.fetch_add(1);
  page_.SetTimeText("0");

  // 4, before the check: the page's identity and option controls.
  station_.options.Update([&](settings::MpSettings& s) {
    CopyText(s.ModelName, sizeof s.ModelName, controls.modelName, 40);
    s.SpiDisable = controls.spiDisable ? 1 : 0;
    s.Skip_RunBad = controls.skipRunBad ? 1 : 0;
    CopyText(s.FWVersion, sizeof s.FWVersion, controls.fwVersion, 8);
    CopyText(s.SN, sizeof s.SN, controls.snEdit, 20);
  });
  kept_.keep = controls.keepSn ? 1 : 0;

  auto& info = station_.ports.gDeviceInfo;
  std::vector<int> ports;
  for (int p = 0; p < discovery::kPortCount; ++p) {
    if (info[static_cast<size_t>(p)].HasDrive()) ports.push_back(p);
  }
  // Everything the run needs, before any drive is touched.
  if (!PassesPreflight(ports, &controls)) {
    EndStartWithoutWorkers();
    return StartOutcome::kRefused;
  }

  // 3. The images of this run. A file too large for its buffer is never sent
  // in part: the start stops here, before any drive is touched.
  settings::LoadedImages loaded =
      settings::LoadImages(*station_.options.Current(), page_.Messages());
  if (!loaded.runMayStart()) {
    EndStartWithoutWorkers();
    return StartOutcome::kImagesRefused;
  }

  // A line's shared series: the serials are taken now, for the drives the
  // scan found, so a Start that cannot get them never touches a drive.
  serialsGranted_ = false;
  for (std::string& serial : granted_) serial.clear();
  if (serials_ && serials_->Active() &&
      SerialRuleOf(*station_.options.Current(), kept_.keep != 0, station_) ==
          SerialRule::kAutoIncrease) {
    char seed[21] = {};
    CopyText(seed, sizeof seed, controls.snEdit, 20);
    if (!TakeLedgerSerials(ports, std::string_view(seed, strnlen(seed, 20)))) {
      EndStartWithoutWorkers();
      return StartOutcome::kNoSerials;
    }
  }
  if (environment_.recorder) runId_ = environment_.recorder->BeginRun();

  // 5. Serial numbers read before ROM mode, kept when asked.
  if (kept_.keep) {
    for (size_t p = 0; p < discovery::kPortCount; ++p) {
      if (info[p].HasDrive()) std::memcpy(kept_.serials[p].data(), info[p].SerialNumber, 21);
    }
  }

  // 6. ROM mode, staggered by port. A stop asked for here leaves the
  // remaining drives as they are: nothing new is started.
  if (station_.options.Current()->DownloadBurner) {
    const std::string of = " of " + std::to_string(ports.size());
    int entered = 0;
    for (int p = 0; p < discovery::kPortCount; ++p) {
      const auto& record = info[static_cast<size_t>(p)];
      if (!record.HasDrive()) continue;
      if (noNewStarts_.load()) break;
      page_.SetStartProgress("Entering ROM mode: port " + std::to_string(++entered) + of);
      if (links_.vendor.EnterRomMode({record.Path, record.InterfaceType, record.bridge.route,
                                      record.bridge.timeouts}) != vendor::kCommandOk) {
        list_.SetCell(p, discovery::kColStatus, "Go ROM FAIL");
      } else {
        romPorts_.fetch_or(1u << p);
        links_.clock.SleepMs(static_cast<uint32_t>(p) * kRomEntryStepMs);
      }
    }
  }

  if (noNewStarts_.load()) {
    page_.SetStartProgress({});
    EndStartWithoutWorkers();
    return StartOutcome::kStopped;
  }

  // 7-8. The drives re-enumerate; then rescan.
  page_.SetStartProgress("Waiting 8 s for the drives to come back");
  links_.clock.SleepMs(kAfterRomEntryMs);
  page_.SetStartProgress({});
  busy_.store(1);
  discovery::ScanDevices(station_.ports, list_, links_.topology, links_.io, links_.transport,
                         trace_);

  // A stop during the wait or the rescan: no serial is handed out, none saved.
  if (noNewStarts_.load()) {
    EndStartWithoutWorkers();
    return StartOutcome::kStopped;
  }

  // 9. Serial numbers.
  if (!kept_.keep) {
    bool stopped = false;
    serialsRefused_ = false;
    AssignSerialNumbers(controls, &stopped);
    if (stopped) {
      EndStartWithoutWorkers();
      return serialsRefused_ ? StartOutcome::kNoSerials : StartOutcome::kNoBarcode;
    }
  }

  // 10-11. Workers.
  for (auto& record : info) record.done.store(1);
  int started = 0;
  for (int p = 0; p < discovery::kPortCount; ++p) {
    const auto index = static_cast<size_t>(p);
    if (!info[index].HasDrive()) continue;
    // A drive the scan before ROM entry did not see has no serial from the series.
    if (serialsGranted_ && granted_[index].empty()) continue;
    if (noNewStarts_.load()) break;
    if (started == 0) runOpen_ = true;
    StartWorker(p, loaded.images);
    ++started;
  }

  // 12.
  if (started == 0) {
    EndStartWithoutWorkers();
    return noNewStarts_.load() ? StartOutcome::kStopped : StartOutcome::kNoDrive;
  }
  startInProgress_.store(false);
  return StartOutcome::kStarted;
}

void RunControl::AssignSerialNumbers(const StartControls& controls, bool* stopped) {
  auto& info = station_.ports.gDeviceInfo;
  auto options = station_.options.Current();
  if (station_.gBarcodeDone) {
    for (int p = 0; p < discovery::kPortCount; ++p) {
      auto& record = info[static_cast<size_t>(p)];
      if (!record.HasDrive()) continue;
      if (p >= station_.gBarcodeCount) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "Port%d device has no bar code, please rescan all bar code again", p);
        page_.Messages().Show(text, "No Bar Code Fail", settings::MessageIcon::kWarning);
        *stopped = true;
        return;
      }
      std::memcpy(record.SerialNumber, options->barcodes[p], sizeof record.SerialNumber);
      record.SerialNumber[20] = '\0';
    }
    return;
  }
  if (options->SNFix) return;  // as the rescan read them

  if (serialsGranted_) {
    for (size_t p = 0; p < discovery::kPortCount; ++p) {
      if (!info[p].HasDrive() || granted_[p].empty()) continue;
      CopyText(info[p].SerialNumber, sizeof info[p].SerialNumber, granted_[p], 20);
    }
    return;
  }
  char text[21] = {};
  CopyText(text, sizeof text, controls.snEdit, 20);
  for (auto& record : info) {
    if (!record.HasDrive()) continue;
    std::memcpy(record.SerialNumber, text, sizeof text);
    if (options->SNAutoIncrease) IncrementSerialText(text, 20);
  }
  if (options->SNAutoIncrease) {
    const std::string_view next(text, strnlen(text, 20));
    // The settings file is the only place these serials are counted: a
    // Start that cannot save the next one would hand them out again.
    if (!SaveNextSerialNumber(next, true)) {
      serialsRefused_ = true;
      *stopped = true;
      return;
    }
    ShowNextSerial(next);
  }
}

void RunControl::ShowNextSerial(std::string_view next) {
  station_.options.Update(
      [next](settings::MpSettings& s) { CopyText(s.SN, sizeof s.SN, next, 20); });
  page_.SetSnEditText(next);
}

bool RunControl::SaveNextSerialNumber(std::string_view next, bool refuseStart) {
  // Written before any worker starts: should the program die during the run
  // (a crash, a power cut), the next Start continues after these drives
  // instead of giving their serial numbers to other drives.
  std::string why;
  if (settings::WriteProfileString(paths_.gSettingsPath, "Identify", "SN", next, &why)) return true;
  const std::string text =
      refuseStart
          ? "Start refused: the next serial number " + std::string(next) +
                " could not be saved to " + paths_.gSettingsPath + " (" + why +
                "), so the next Start would repeat this run's serial numbers. Make the file "
                "writable (or free space on its disk) and press Start again."
          : "The next serial number " + std::string(next) + " could not be saved to " +
                paths_.gSettingsPath + " (" + why +
                "). Set SN by hand before the next Start, or it repeats these numbers.";
  page_.Messages().Show(text, kStartRefusedCaption, settings::MessageIcon::kWarning);
  return false;
}

bool RunControl::TakeLedgerSerials(const std::vector<int>& ports, std::string_view seed) {
  const int count = static_cast<int>(ports.size());
  std::vector<std::string> serials;
  std::string why;
  if (!serials_->Take(count, seed, &serials, &why) ||
      serials.size() != static_cast<size_t>(count)) {
    page_.Messages().Show(why, "Start", settings::MessageIcon::kWarning);
    return false;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    granted_[static_cast<size_t>(ports[i])] = serials[i].substr(0, 20);
  }
  serialsGranted_ = true;
  if (!serials.empty()) {
    char next[21] = {};
    CopyText(next, sizeof next, serials.back(), 20);
    IncrementSerialText(next, 20);
    const std::string_view text(next, strnlen(next, 20));
    ShowNextSerial(text);
    // The series on the server counts them: the settings keep only a seed.
    (void)SaveNextSerialNumber(text, false);
  }
  return true;
}

bool RunControl::OnWorkerDone() {
  for (const auto& record : station_.ports.gDeviceInfo) {
    if (record.done.load() == 0) return false;
  }
  if (!runOpen_) return false;  // this run has already ended
  runOpen_ = false;
  // Every worker has reported; their threads end right after posting.
  JoinWorkers();
  if (environment_.recorder) environment_.recorder->RunEnded();
  if (page_.FormatChecked() && formatter_) formatter_();
  page_.EnableRunButtons(true);
  busy_.store(0);
  station_.gBarcodeDone = 0;
  station_.gBarcodeCount = 0;
  runActive_.store(0);
  return true;
}

SinglePortOutcome RunControl::StartSinglePort(int port) {
  if (port < 0 || port >= discovery::kPortCount) return SinglePortOutcome::kNoDrive;
  const auto index = static_cast<size_t>(port);
  if (!station_.ports.gDeviceInfo[index].HasDrive()) return SinglePortOutcome::kNoDrive;
  if (noNewStarts_.load()) return SinglePortOutcome::kStopped;
  // A port whose worker has reported its result may still be writing its
  // last cells: joining it here, on the thread that runs those writes, would
  // never return.
  if (startInProgress_.load() || portLive_[index].load() ||
      station_.ports.gPortStatus[index].load() == discovery::kRunning) {
    page_.Messages().Show(kPortRunningText, kStartRefusedCaption, settings::MessageIcon::kWarning);
    return SinglePortOutcome::kRefusedRunning;
  }
  // The drive may have come back under another name since the scan (a
  // reboot or ROM entry in an earlier run; names go in the order drives come
  // back): the start follows the hub port, never the old name.
  const std::string path = FindDriveOnHubPort(links_, station_.ports.gPortTable[index]);
  if (path.empty()) return SinglePortOutcome::kNoDrive;
  CopyText(station_.ports.gDeviceInfo[index].Path, sizeof station_.ports.gDeviceInfo[index].Path,
           path, sizeof station_.ports.gDeviceInfo[index].Path - 1);
  if (!PassesPreflight({port}, nullptr)) return SinglePortOutcome::kRefused;
  settings::LoadedImages loaded =
      settings::LoadImages(*station_.options.Current(), page_.Messages());
  if (!loaded.runMayStart()) return SinglePortOutcome::kImagesRefused;
  if (!AnyWorkerRunning()) startedPorts_.store(0);
  runOpen_ = true;
  if (environment_.recorder) runId_ = environment_.recorder->BeginRun();
  StartWorker(port, loaded.images);
  return SinglePortOutcome::kStarted;
}

}  // namespace qelvar::engine
