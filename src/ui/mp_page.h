// The "MP" tab: the run's options and identity, the Start, "Device Scan" and
// "Bar Code" buttons, the totals and the port list. Every rule lives in the
// settings library and the run control; the page shows their results and
// forwards the operator's clicks.
//
// Start runs off the event loop (the ROM entry pauses and the 8 s wait would
// freeze the window): its calls back into the page, and the workers' cell
// writes, run on the window's thread while the caller waits. No scan runs
// from the moment Start is pressed until the run has ended.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <thread>

#include "engine/run_control.h"
#include "engine/station.h"
#include "settings/settings_file.h"
#include "settings/settings_view.h"
#include "ui/port_table_model.h"

class QTableView;
class QTimer;
class QLabel;
class QModelIndex;

namespace qelvar::ui {

class DialogRunner;

struct PageEnvironment {
  engine::Station& station;
  engine::StationLinks& links;
  settings::StationPaths paths;
  settings::MpSettings& options;  // the window's option record
  std::function<void()> publish;  // hands the record to the workers
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
  // A drive was plugged or pulled: rescan, unless a run is on.
  void OnDeviceChange();
  // A Start sequence or a worker is running.
  [[nodiscard]] bool RunInProgress() const;

  [[nodiscard]] PortTableModel& model() { return *model_; }
  [[nodiscard]] engine::RunControl& control() { return *control_; }
  [[nodiscard]] QTableView* list() { return list_; }

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
  settings::PageContext Page();
  QWidget* Control(int id) const;
  template <typename Handler>
  void OnClick(int id, Handler handler);
  void Build();
  void FitRows();

  void OnStart();
  void OnStartFinished();
  void OnWorkerDone();
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
  std::thread startThread_;
  engine::StartOutcome startOutcome_ = engine::StartOutcome::kNoDrive;
  int deferredCompletions_ = 0;
};

}  // namespace qelvar::ui
