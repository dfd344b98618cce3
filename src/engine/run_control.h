// MP run control: the Start sequence (ROM entry, rescan, serial numbers,
// workers), the end of a run, and the single-port start. The window and the
// command-line program both drive this one object.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "discovery/device_scan.h"
#include "engine/mp_worker.h"
#include "engine/port_recorder.h"
#include "engine/station.h"
#include "settings/settings_view.h"
#include "settings/station_paths.h"

namespace qelvar::engine {

// What the run control needs from the page it runs for. Calls come from the
// thread that runs OnStart (which may not be the UI thread: the window runs
// the Start sequence off its event loop) and from the thread of OnWorkerDone.
class RunPage {
 public:
  virtual ~RunPage() = default;
  // "Device Scan", "Start" and "Bar Code".
  virtual void EnableRunButtons(bool enabled) = 0;
  // The elapsed-time display.
  virtual void SetTimeText(std::string_view text) = 0;
  // What the Start sequence is doing before the workers run (ROM entry, the
  // wait for the drives), shown beside the port list; empty when it is done.
  virtual void SetStartProgress(std::string_view text) { (void)text; }
  // The SN edit box, after an auto-increment.
  virtual void SetSnEditText(std::string_view text) = 0;
  // The "Format" check box at the end of the run.
  [[nodiscard]] virtual bool FormatChecked() = 0;
  virtual settings::MessageSink& Messages() = 0;
};

// The page's controls as Start reads them.
struct StartControls {
  std::string modelName;  // Model Name edit, at most 40 characters
  bool keepSn = false;    // "keep SN"
  bool spiDisable = false;
  bool skipRunBad = false;
  std::string fwVersion;  // FW Version edit, at most 8 characters
  std::string snEdit;     // SN edit, at most 20 characters
};

// The controls as a loaded record would show them: what a station without a
// page (the command line) starts with.
[[nodiscard]] StartControls StartControlsOf(const settings::MpSettings& settings);

enum class StartOutcome : uint8_t {
  kStarted,         // workers run; the run ends in OnWorkerDone
  kNoDrive,         // no port shows a drive after the rescan
  kNoBarcode,       // a populated port has no barcode
  kImagesRefused,   // an image file is too large for its buffer
  kRefusedRunning,  // a worker still runs
  kStopped,         // RequestNoNewStarts came before any worker started
  kNoSerials,       // the serials could not be handed out (shared ledger) or counted (settings)
  kRefused,         // the check before ROM entry found problems (LastRefusal)
};

enum class SinglePortOutcome : uint8_t {
  kStarted,
  kNoDrive,
  kImagesRefused,
  kRefusedRunning,
  kStopped,  // RequestNoNewStarts came first
  kRefused,  // the check before the start found problems (LastRefusal)
};

inline constexpr std::string_view kStartRefusedCaption = "Start";
inline constexpr std::string_view kStartRefusedText =
    "A port is still running. Start is available again when every running port has finished.";
inline constexpr std::string_view kPortRunningText =
    "This port is still running. It can be started again when it has finished.";

// "%d H::%d M::%d S" of an elapsed time in seconds; whole days are dropped.
[[nodiscard]] std::string ElapsedText(int64_t seconds);

inline constexpr std::string_view kBridgeTableCaption = "Bridge table";

class RunControl {
 public:
  RunControl(Station& station, StationLinks& links, discovery::PortListSink& list,
             RunEvents& events, RunPage& page, settings::StationPaths paths);
  // Waits for workers still running: a download is never cut off mid-way.
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // "Start". Blocks for the ROM entry pauses, the 8000 ms wait and the rescan.
  StartOutcome OnStart(const StartControls& controls);
  // The completion message of a worker. True when this call ended the run;
  // the end-of-run steps run once per run, however many messages arrive.
  bool OnWorkerDone();
  // Right click on a row.
  SinglePortOutcome StartSinglePort(int port);

  // "Device Scan" and the device-change rescan: refused while a worker runs
  // or a Start is in progress.
  discovery::ScanOutcome Scan();

  // Runs at the end of a run when "Format" is checked.
  void SetFormatter(std::function<void()> formatter) { formatter_ = std::move(formatter); }
  void SetDebugTrace(discovery::DebugTrace trace) { trace_ = std::move(trace); }
  // The line ledger: a record per started port, and serials from a shared
  // series. Set before the first Start; both outlive this object.
  void SetLedger(PortRecorder* recorder, SerialSource* serials) {
    environment_.recorder = recorder;
    serials_ = serials;
  }

  [[nodiscard]] bool Busy() const { return busy_.load(); }
  [[nodiscard]] bool StartInProgress() const { return startInProgress_.load(); }
  [[nodiscard]] int32_t RunActive() const { return runActive_.load(); }
  [[nodiscard]] int64_t StartTime() const { return startTime_.load(); }
  // Milliseconds of the clock's time from the last Start to the end of its
  // last port: the run's own length, on a virtual clock too, where each port
  // keeps a time of its own.
  [[nodiscard]] uint32_t LastPortEndedMs() const { return lastPortEndedMs_.load(); }
  [[nodiscard]] bool AnyWorkerRunning() const;
  // The ports whose workers the last Start started, plus the single-port
  // starts since (a single-port start with no worker running begins a new
  // set). 0-based, ascending. This, not the rows' texts, says which ports a
  // run covered: a port may fail before Start has returned.
  [[nodiscard]] std::vector<int> StartedPorts() const;

  // From any thread (a signal handler's thread, a closing window): no worker
  // starts from now on. A Start in progress finishes its current step and
  // ends without starting the rest; workers already running go on.
  void RequestNoNewStarts() { noNewStarts_.store(true); }
  [[nodiscard]] bool NoNewStarts() const { return noNewStarts_.load(); }
  // Waits until no worker thread is left (tests and the command line).
  void JoinWorkers();

  // The serial port `port`'s worker writes into its drive (kept, or given at
  // Start); blanks trimmed. Valid from the worker's start to the next Start.
  [[nodiscard]] std::string GivenSerial(int port) const;
  // The problems of the last refused start, one line each.
  [[nodiscard]] const std::vector<std::string>& LastRefusal() const { return refusal_; }
  // The ports the last Start sent into ROM mode whose workers it has not
  // started (0-based, ascending): a stop during the Start leaves these drives
  // in ROM mode, to be run again. From any thread.
  [[nodiscard]] std::vector<int> PortsLeftInRomMode() const;

 private:
  void StartWorker(int port, const std::shared_ptr<const settings::Images>& images);
  void EndStartWithoutWorkers();
  void AssignSerialNumbers(const StartControls& controls, bool* stopped);
  // False (and the operator told) when it could not be saved; `refuseStart`:
  // the message says the Start is refused.
  bool SaveNextSerialNumber(std::string_view next, bool refuseStart);
  // The next Start's first serial, into the record and the SN edit.
  void ShowNextSerial(std::string_view next);
  bool TakeLedgerSerials(const std::vector<int>& ports, std::string_view seed);
  // False, with the one message shown, when the start must not go on.
  bool PassesPreflight(const std::vector<int>& ports, const StartControls* controls);

  Station& station_;
  StationLinks& links_;
  discovery::PortListSink& list_;
  RunPage& page_;
  settings::StationPaths paths_;
  std::string bridgeTableProblem_;  // the last bad table's message, said once
  void LoadBridgeTable();
  KeptSerials kept_;
  WorkerEnvironment environment_;
  std::function<void()> formatter_;
  discovery::DebugTrace trace_;
  SerialSource* serials_ = nullptr;
  std::string runId_;  // the ledger's ID of the current start
  bool serialsRefused_ = false;
  std::vector<std::string> refusal_;
  // The shared series' serials of this Start, taken before ROM entry, by port.
  std::array<std::string, discovery::kPortCount> granted_{};
  bool serialsGranted_ = false;
  std::atomic<uint32_t> romPorts_{0};  // bit p: the last Start sent port p into ROM mode

  std::atomic<uint8_t> busy_{0};
  std::atomic<bool> startInProgress_{false};
  std::atomic<int32_t> runActive_{0};
  std::atomic<int64_t> startTime_{0};
  std::atomic<uint32_t> startTick_{0};
  std::atomic<uint32_t> lastPortEndedMs_{0};
  std::atomic<int> liveWorkers_{0};
  std::atomic<uint32_t> startedPorts_{0};  // bit p: port p's worker was started
  std::atomic<bool> noNewStarts_{false};
  // A port's thread from its start to its very end (its status byte changes
  // a few cell writes earlier).
  std::array<std::atomic<bool>, discovery::kPortCount> portLive_{};
  bool runOpen_ = false;  // a run has started and its end steps have not run
  std::array<std::thread, discovery::kPortCount> workers_;
};

}  // namespace qelvar::engine
