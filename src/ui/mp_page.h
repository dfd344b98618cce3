// The "MP" tab: the run's options and identity, the Start, "Device Scan" and
// "Bar Code" buttons, the totals and the port list. Every rule lives in the
// settings library and the run control; the page shows their results and
// forwards the operator's clicks.
//
// Start runs off the event loop (the ROM entry pauses and the 8 s wait would
// freeze the window): its calls back into the page, and the workers' cell
// writes, run on the window's thread while the caller waits. So does the
// end-of-run format, with the three buttons disabled until it has ended. No
// scan runs from the moment Start is pressed until the run (and its format)
// has ended; a drive plugged or pulled meanwhile is rescanned then.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/run_control.h"
#include "engine/station.h"
#include "settings/settings_file.h"
#include "settings/settings_view.h"
#include "ui/port_table_model.h"

class QPushButton;
class QTableView;
class QTimer;
class QLabel;
class QModelIndex;

namespace qelvar::platform {
class VolumeOps;
}
namespace qelvar::format {
class BackgroundFormat;
}

namespace qelvar::ui {

class DialogRunner;

// A right click while Start is still bringing the ports up.
inline constexpr std::string_view kStartStillStartingText =
    "Start is still starting the ports. A single port can be started once they are running.";
// A right click or "Device Scan" while the drives of the last run are formatted.
inline constexpr std::string_view kFormatStillRunningText =
    "The drives of the last run are still being formatted. Try again when the format has "
    "finished.";

// The page's options live in the station's SettingsStore: a change of a
// control changes only its own fields there, so what the Start or another
// page wrote meanwhile stays.
struct PageEnvironment {
  engine::Station& station;
  engine::StationLinks& links;
  settings::StationPaths paths;
  DialogRunner& dialogs;
};

class DialogScanDevice final : public QWidget,
                               public settings::SettingsView,
                               public engine::RunPage,
                               public engine::RunEvents {
  Q_OBJECT

 public:
  explicit DialogScanDevice(PageEnvironment environment, QWidget* parent = nullptr);
  // Only once no Start sequence and no worker runs (see RunInProgress).
  ~DialogScanDevice() override;

  // Catalogue, settings, columns, first scan, timers.
  void Init();
  // Writes the page's options to the settings file; false when that failed.
  bool SaveSettings();
  // A drive was plugged or pulled: rescan, or once the run is over.
  void OnDeviceChange();
  // A Start sequence, a worker or the end-of-run format is running.
  [[nodiscard]] bool RunInProgress() const;
  // The ports a closing window waits for: those running, or while Start is
  // still bringing them up, those it found drives on.
  [[nodiscard]] int PortsToWaitFor() const;
  // The end-of-run format runs (the ports have all finished).
  [[nodiscard]] bool Formatting() const { return formatting_; }
  // Format processes started by a run's format have not all been collected.
  [[nodiscard]] bool FormatsOutstanding() const;

  // The end of a run with "Format" checked runs `job` off the event loop;
  // the format processes it leaves running are collected from `volumes`
  // every second until all have ended. Without it the run control's own
  // formatter (if any) runs.
  void SetFormatter(std::function<void()> job, platform::VolumeOps& volumes);

  [[nodiscard]] PortTableModel& model() { return *model_; }
  [[nodiscard]] engine::RunControl& control() { return *control_; }
  [[nodiscard]] QTableView* list() { return list_; }
  // "Start": clicking it starts a run as the operator's click does.
  [[nodiscard]] QPushButton* StartButton() const;

  // SettingsView.
  bool IsChecked(int id) const override;
  void SetChecked(int id, bool checked) override;
  int ComboSelection(int id) const override;
  void SetComboSelection(int id, int position) override;
  int ComboCount(int id) const override;
  std::string ComboItemText(int id, int position) const override;
  void AddComboItem(int id, std::string_view text) override;
  std::string EditText(int id) const override;
  void SetEditText(int id, std::string_view text) override;

  // RunPage: from the Start sequence's thread or the window's.
  void EnableRunButtons(bool enabled) override;
  void SetTimeText(std::string_view text) override;
  void SetStartProgress(std::string_view text) override;
  void SetSnEditText(std::string_view text) override;
  bool FormatChecked() override;
  settings::MessageSink& Messages() override { return *messages_; }

  // RunEvents: from a worker; handled later on the window's thread.
  void PostWorkerDone() override;

 signals:
  // A run has ended (or a Start ended without starting one).
  void runEnded();
  // Timer 1 has just shown the totals.
  void totalsShown();

 private:
  // Runs `change` on the page and the current record, as one change of the
  // store; its message boxes are shown once the record is published.
  template <typename Change>
  void ChangeOptions(Change&& change);
  void BindOptionControls();
  QWidget* Control(int id) const;
  template <typename Handler>
  void OnClick(int id, Handler handler);
  void Build();
  void FitRows();

  void OnStart();
  void OnStartFinished();
  void OnWorkerDone();
  void RunHasEnded();
  void BeginFormat();
  void OnFormatFinished();
  void CollectFormats();
  void RescanWhenIdle();
  [[nodiscard]] std::vector<std::string> DriveLocations();
  void ShowRunDesignTime();
  int64_t StationNow();
  void OnDeviceScan();
  void OnBarCode();
  void OnRdMode();
  void SetAdminControls(bool on);
  void ShowTotals();
  void ShowElapsedTime();
  void OnListDoubleClick(const QModelIndex& index);
  void OnListRightClick(const QPoint& pos);

  PageEnvironment env_;
  std::unique_ptr<settings::MessageSink> messages_;
  std::unique_ptr<PortTableModel> model_;
  std::unique_ptr<engine::RunControl> control_;
  QTableView* list_ = nullptr;
  QTimer* totalsTimer_ = nullptr;
  QTimer* timeTimer_ = nullptr;
  QTimer* formatTimer_ = nullptr;
  QTimer* rescanTimer_ = nullptr;
  std::thread startThread_;
  engine::StartOutcome startOutcome_ = engine::StartOutcome::kNoDrive;
  int deferredCompletions_ = 0;
  // The three buttons' states when Start was pressed, restored when a Start
  // starts no run.
  std::array<bool, 3> buttonsBeforeStart_{true, true, true};
  // Drives found when Start was pressed: the ports it is bringing up.
  int startingPorts_ = 0;
  std::function<void()> formatJob_;
  std::unique_ptr<format::BackgroundFormat> background_;
  bool formatting_ = false;
  bool runEndPending_ = false;
  bool collecting_ = false;
  bool rescanPending_ = false;
  // The hub ports holding a disk when the first of the running single ports
  // started: its own drive's reboot is no plug or pull.
  std::vector<std::string> locationsAtSinglePortStart_;
  bool designTimeShown_ = false;
};

}  // namespace qelvar::ui
