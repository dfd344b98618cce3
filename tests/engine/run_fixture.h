// A whole station on the simulated drives and the virtual clock: the run
// control, its page and the completion messages, as the window has them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/port_list.h"
#include "engine/run_control.h"
#include "platform/sim/sim_station.h"
#include "platform/sim/station_config.h"
#include "support/temp_folder.h"

namespace qelvar::engine::testing {

// Completion messages, handled on the test's thread.
class EventQueue final : public RunEvents {
 public:
  void PostWorkerDone() override {
    {
      std::lock_guard lock(mutex_);
      ++pending_;
    }
    cv_.notify_one();
  }
  // Real time: workers on the virtual clock finish in milliseconds.
  bool Take(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return pending_ > 0; })) return false;
    --pending_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int pending_ = 0;
};

struct Message {
  std::string text;
  std::string caption;
};

class RecordingPage final : public RunPage, public settings::MessageSink {
 public:
  void EnableRunButtons(bool enabled) override { buttonsEnabled = enabled; }
  void SetTimeText(std::string_view text) override { timeText = std::string(text); }
  void SetSnEditText(std::string_view text) override { snEdit = std::string(text); }
  bool FormatChecked() override { return format; }
  settings::MessageSink& Messages() override { return *this; }
  void Show(std::string_view text, std::string_view caption, settings::MessageIcon) override {
    std::lock_guard lock(mutex);
    messages.push_back({std::string(text), std::string(caption)});
  }

  std::mutex mutex;
  bool buttonsEnabled = true;
  bool format = false;
  std::string timeText;
  std::string snEdit;
  std::vector<Message> messages;
};

inline std::string SourceDir() {
  return QELVAR_SOURCE_DIR;
}

// The options of a full MP run with the example station's firmware.
inline settings::MpSettings FullRunSettings() {
  settings::MpSettings s;
  s.DownloadBurner = 1;
  s.DownloadSysFW = 1;
  s.NandErase = 1;
  s.NandEraseSelect = 1;
  s.NandCalibration = 1;
  s.SNAutoIncrease = 1;
  s.SetCapacity = 512;
  s.DelayBurner = 21;    // 8 burn polls
  s.DelayNandErase = 9;  // 4 erase polls
  s.DelayNandCali = 1000;
  s.DelayReboot = 2;
  s.RDTRecordEn = 1;
  s.PrintBBT = 1;
  std::string firmware = SourceDir() + "/examples/station/Firmware/";
  auto put = [](char* field, size_t capacity, const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), capacity - 1));
  };
  put(s.BurnerPath, sizeof s.BurnerPath, firmware + "burner.bin");
  put(s.RdtParamPath, sizeof s.RdtParamPath, firmware + "rdtparam.bin");
  put(s.SysFwPath, sizeof s.SysFwPath, firmware + "sysfw.bin");
  put(s.SpiPath, sizeof s.SpiPath, firmware + "spi.bin");
  put(s.ModelName, sizeof s.ModelName, "QELVAR SSD 512GB");
  put(s.FWVersion, sizeof s.FWVersion, "QV51R001");
  put(s.FWOriver, sizeof s.FWOriver, "QV51R001");
  s.ErrBitSlc = 60;
  s.PeCycSlc = 4;
  s.ErrBitTlc = 160;
  s.PeCycTlc = 4;
  s.MaxRunHours = 3;
  s.MaxLaterBadLun = 256;
  return s;
}

// The default station text with keys set in some drives' sections: a key
// the section already has is replaced, any other is added.
inline std::string StationText(const std::vector<std::pair<int, std::string>>& settings = {}) {
  std::string text(platform::sim::DefaultStationText());
  for (const auto& [drive, line] : settings) {
    std::string header = "[Drive" + std::to_string(drive) + "]";
    size_t at = text.find(header);
    EXPECT_NE(at, std::string::npos) << header;
    if (at == std::string::npos) continue;
    size_t sectionEnd = text.find("\n[", at);
    if (sectionEnd == std::string::npos) sectionEnd = text.size();
    std::string key = line.substr(0, line.find('='));
    size_t keyAt = text.find("\n" + key + " ", at);
    if (keyAt == std::string::npos || keyAt > sectionEnd) keyAt = text.find("\n" + key + "=", at);
    if (keyAt != std::string::npos && keyAt < sectionEnd) {
      size_t lineEnd = text.find('\n', keyAt + 1);
      text.replace(keyAt + 1, lineEnd - keyAt - 1, line);
    } else {
      text.insert(text.find('\n', at) + 1, line + "\n");
    }
  }
  return text;
}

// The port list, with a gate for one cell text: a worker writing it waits
// there until the test opens the gate, as a worker waits for a busy window.
class GatedList final : public discovery::PortListSink {
 public:
  void SetCell(int row, int column, std::string_view text) override {
    if (std::find(held.begin(), held.end(), text) != held.end()) {
      std::unique_lock lock(mutex_);
      ++waiting_;
      cv_.notify_all();
      cv_.wait(lock, [&] { return open_; });
    }
    model.SetCell(row, column, text);
  }
  void InitPortRows() override { model.InitPortRows(); }
  void SetRdtColumns(bool present) override { model.SetRdtColumns(present); }
  [[nodiscard]] std::string Cell(int row, int column) const { return model.Cell(row, column); }

  bool WaitUntilHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return waiting_ > 0; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

  std::vector<std::string> held;  // set before any worker starts
  discovery::PortListModel model;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int waiting_ = 0;
  bool open_ = false;
};

// What the station sees of the simulated drives when a test puts something
// between them (the names a system gives its disks, for instance).
class StationView : public platform::DeviceIo, public platform::Topology {};

class RunFixture {
 public:
  using MakeView = std::function<std::unique_ptr<StationView>(platform::sim::SimStation&)>;

  explicit RunFixture(const std::string& stationText = StationText(),
                      const MakeView& makeView = {}) {
    std::string error;
    platform::sim::StationConfig config;
    EXPECT_TRUE(platform::sim::ParseStation(stationText, ".", &config, &error)) << error;
    sim = std::make_unique<platform::sim::SimStation>(std::move(config), clock);
    sim->CaptureTrace(true);
    if (makeView) view = makeView(*sim);
    platform::DeviceIo& io = view ? static_cast<platform::DeviceIo&>(*view) : *sim;
    platform::Topology& topology = view ? static_cast<platform::Topology&>(*view) : *sim;
    transport = std::make_unique<transport::PassThroughTransport>(io, clock);
    vendor = std::make_unique<vendor::VendorCommands>(*transport);
    links = std::make_unique<StationLinks>(StationLinks{io, topology, clock, *transport, *vendor});
    paths = settings::MakeStationPaths(folder.string());
    // A station folder: a settings file (the options themselves are
    // published below) and the example's flash catalogue.
    std::ofstream(paths.gSettingsPath, std::ios::binary) << "[FlashSelect]\r\nFlashIndex=0\r\n";
    std::filesystem::copy_file(SourceDir() + "/examples/station/flash.ini", paths.gFlashIniPath);
    control = std::make_unique<RunControl>(station, *links, list, events, page, paths);
    station.options.Publish(FullRunSettings());
    clock.NameThisThread("ui");
    // The page scans when it opens, before any Start.
    EXPECT_EQ(control->Scan(), discovery::ScanOutcome::kScanned);
  }
  ~RunFixture() {
    list.Open();
    control.reset();
  }

  template <typename Change>
  void Options(Change&& change) {
    station.options.Update(change);
  }

  StartControls Controls(const std::string& sn = "QV0000000100") const {
    StartControls c;
    auto options = station.options.Current();
    c.modelName = options->ModelName;
    c.fwVersion = std::string(options->FWVersion, strnlen(options->FWVersion, 9));
    c.snEdit = sn;
    return c;
  }

  // Start, then handle completions until the run ends.
  StartOutcome Run(const StartControls& controls) {
    StartOutcome outcome = control->OnStart(controls);
    if (outcome == StartOutcome::kStarted) WaitForRunEnd();
    return outcome;
  }
  void WaitForRunEnd() {
    bool ended = false;
    while (!ended) {
      if (!events.Take()) {
        ADD_FAILURE() << "a worker never reported";
        return;
      }
      ended = control->OnWorkerDone();
    }
  }
  // A single-port start ends no run unless every other port's done flag is
  // set: wait until its worker has reported.
  void WaitForWorkers() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (control->AnyWorkerRunning()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "a worker never finished";
        return;
      }
      if (events.Take(std::chrono::milliseconds(10))) (void)control->OnWorkerDone();
    }
  }
  // The capacity the scan read for every port, before the drives were touched.
  std::vector<std::string> ScannedCapacities() const {
    std::vector<std::string> out;
    for (int p = 0; p < 16; ++p) out.push_back(list.Cell(p, discovery::kColCapacity));
    return out;
  }

  std::string Cell(int port, int column) const { return list.Cell(port, column); }

  platform::VirtualClock clock;
  std::unique_ptr<platform::sim::SimStation> sim;
  std::unique_ptr<StationView> view;
  std::unique_ptr<transport::PassThroughTransport> transport;
  std::unique_ptr<vendor::VendorCommands> vendor;
  std::unique_ptr<StationLinks> links;
  Station station;
  GatedList list;
  EventQueue events;
  RecordingPage page;
  qelvar::testing::TempFolder temp{"run"};
  std::filesystem::path folder = temp.path();
  settings::StationPaths paths;
  std::unique_ptr<RunControl> control;
};

}  // namespace qelvar::engine::testing
