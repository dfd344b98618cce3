// The main window: the "MP" and "Parameter" tabs, the caption from the
// settings file and the version label. It saves the settings when closed,
// rescans when a drive is plugged or pulled outside a run, and never ends the
// program under a running port.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <memory>

#include "engine/station.h"
#include "settings/station_paths.h"

class QLabel;
class QTabWidget;

namespace qelvar::platform {
class DeviceMonitor;
}

namespace qelvar::ui {

class DialogRunner;
class DialogScanDevice;
class DialogParamSet;

class CQelvarDlg final : public QWidget {
  Q_OBJECT

 public:
  CQelvarDlg(engine::Station& station, engine::StationLinks& links, settings::StationPaths paths,
             DialogRunner& dialogs, QWidget* parent = nullptr);
  ~CQelvarDlg() override;

  // The ledger the History page reads (--ledger) instead of the settings'
  // [Ledger] Url=; before Init.
  void SetLedgerUrl(std::string url) { ledgerUrl_ = std::move(url); }
  // Builds the pages; the MP page loads the settings and scans.
  void Init();
  // Plugged and pulled drives from `monitor` rescan (started here, stopped
  // when the window goes).
  void WatchDevices(std::unique_ptr<platform::DeviceMonitor> monitor);

  [[nodiscard]] DialogScanDevice& mpPage() { return *mpPage_; }
  [[nodiscard]] DialogParamSet& paramPage() { return *paramPage_; }

 signals:
  // Closed, and every port has finished: the program may end.
  void finished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void WaitForPortsThenFinish();

  engine::Station& station_;
  settings::StationPaths paths_;
  std::string ledgerUrl_;
  DialogRunner& dialogs_;
  QTabWidget* tabs_;
  QLabel* version_;
  DialogScanDevice* mpPage_;
  DialogParamSet* paramPage_;
  std::unique_ptr<platform::DeviceMonitor> monitor_;
  QLabel* waitNote_ = nullptr;
  QElapsedTimer closeTimer_;  // since the close was confirmed
  bool closing_ = false;
};

}  // namespace qelvar::ui
