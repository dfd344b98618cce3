#include "ui/main_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>

#include "platform/device_monitor.h"
#include "settings/control_ids.h"
#include "settings/settings_file.h"
#include "ui/dialog_runner.h"
#ifdef QELVAR_WITH_LEDGER
#include "ui/history_page.h"
#endif
#include "ui/mp_page.h"
#include "ui/param_page.h"
#include "ui/template_builder.h"

namespace qelvar::ui {
namespace {

constexpr int kWaitPollMs = 200;
constexpr qint64 kFormatCloseWaitMs = 10 * 60 * 1000;

}  // namespace

CQelvarDlg::CQelvarDlg(engine::Station& station, engine::StationLinks& links,
                       settings::StationPaths paths, DialogRunner& dialogs, QWidget* parent)
    : QWidget(parent), station_(station), paths_(std::move(paths)), dialogs_(dialogs) {
  setObjectName(QStringLiteral("102"));
  TemplateBuilder t(this, 9, 610, 318);
  tabs_ = t.Add<QTabWidget>(settings::ctl::window::kTabs, 7, 7, 596, 304);
  version_ = t.Static(settings::ctl::window::kVersionText, QStringLiteral("Static"), 564, 5, 28, 8);
  version_->raise();
  mpPage_ = new DialogScanDevice(PageEnvironment{station_, links, paths_, dialogs_});
  paramPage_ = new DialogParamSet(station_.options, paths_, mpPage_->Messages());
}

CQelvarDlg::~CQelvarDlg() {
  if (monitor_) monitor_->Stop();
}

void CQelvarDlg::Init() {
  // An empty caption when the key is missing: the template's is never seen.
  setWindowTitle(QString::fromStdString(settings::ReadMpVersion(paths_)));
  version_->setText(QStringLiteral("V5.1"));
  tabs_->addTab(mpPage_, QStringLiteral("MP"));
  tabs_->addTab(paramPage_, QStringLiteral("Parameter"));
#ifdef QELVAR_WITH_LEDGER
  tabs_->addTab(new HistoryPage(paths_, ledgerUrl_, tabs_), QStringLiteral("History"));
#endif
  mpPage_->Init();
  paramPage_->Init();
  tabs_->setCurrentIndex(0);
}

void CQelvarDlg::WatchDevices(std::unique_ptr<platform::DeviceMonitor> monitor) {
  monitor_ = std::move(monitor);
  if (!monitor_) return;
  std::string why;
  // The monitor calls from its own thread; the rescan runs on this one.
  const bool started = monitor_->Start(
      [this](platform::DeviceChange, const std::string&) {
        QMetaObject::invokeMethod(
            this, [this] { mpPage_->OnDeviceChange(); }, Qt::QueuedConnection);
      },
      &why);
  if (!started) {
    monitor_.reset();
    dialogs_.Message(
        this,
        QStringLiteral("Plugged and pulled drives are not noticed on this machine (%1). "
                       "Press \"Device Scan\" after changing drives.")
            .arg(QString::fromStdString(why)),
        QStringLiteral("Device Scan"), QMessageBox::Warning);
  }
}

void CQelvarDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (closing_) return;
  if (mpPage_->RunInProgress() &&
      !dialogs_.Ask(this,
                    QStringLiteral("Ports are still running. Close the program once every running "
                                   "port has finished?"),
                    windowTitle())) {
    return;
  }
  closing_ = true;
  (void)mpPage_->SaveSettings();
  WaitForPortsThenFinish();
}

void CQelvarDlg::WaitForPortsThenFinish() {
  if (!closeTimer_.isValid()) closeTimer_.start();
  // Format processes are waited for (their failures still reach the
  // operator), but not for ever: one that hangs is left to the system.
  const bool formats = mpPage_->FormatsOutstanding() && closeTimer_.elapsed() < kFormatCloseWaitMs;
  if (!mpPage_->RunInProgress() && !formats) {
    if (waitNote_) waitNote_->hide();
    hide();
    if (monitor_) monitor_->Stop();
    emit finished();
    return;
  }
  // The window goes; the workers still need this thread for their cells.
  hide();
  if (!waitNote_) {
    waitNote_ = new QLabel(this, Qt::Window);
    waitNote_->setWindowTitle(windowTitle());
    waitNote_->setMargin(12);
  }
  const int ports = mpPage_->PortsToWaitFor();
  waitNote_->setText(ports == 0 && mpPage_->FormatsOutstanding()
                         ? QStringLiteral("Waiting for the format to finish...")
                         : QStringLiteral("Waiting for %1 port(s) to finish...").arg(ports));
  waitNote_->show();
  QTimer::singleShot(kWaitPollMs, this, [this] { WaitForPortsThenFinish(); });
}

}  // namespace qelvar::ui
