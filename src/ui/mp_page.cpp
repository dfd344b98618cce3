#include "ui/mp_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "discovery/device_scan.h"
#include "discovery/port_candidates.h"
#include "engine/barcode_list.h"
#include "format/background_format.h"
#include "platform/clock.h"
#include "settings/flash_catalogue.h"
#include "settings/option_table.h"
#include "settings/page_options.h"
#include "ui/barcode_dialog.h"
#include "ui/dialog_runner.h"
#include "ui/flash_info_dialog.h"
#include "ui/rd_password_dialog.h"
#include "ui/template_builder.h"
#include "ui/ui_thread.h"

namespace qelvar::ui {
namespace {

namespace ctl = settings::ctl;

constexpr int kTotalsPeriodMs = 8000;
constexpr int kTimePeriodMs = 5000;
// Format processes outlive the run: they are collected this often until the
// last has ended.
constexpr int kFormatCollectMs = 1000;
// A rescan waiting for the run to end looks this often.
constexpr int kRescanPollMs = 200;
constexpr std::array<int, 3> kRunButtons = {ctl::kStartButton, ctl::kScanButton,
                                            ctl::kBarCodeButton};

// The open-file dialogs' filter, as operators know it.
constexpr const char* kLoadFilter = "Bin Files  |*.*|*.bin|All Files(*.*)|*.*||";

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Message boxes of the settings library and the run control, shown by the
// window's thread whichever thread asks; the asking thread waits for OK.
class PageMessages final : public settings::MessageSink {
 public:
  PageMessages(QWidget* owner, DialogRunner& dialogs) : owner_(owner), dialogs_(dialogs) {}
  void Show(std::string_view text, std::string_view caption, settings::MessageIcon icon) override {
    const QString t = Q(text);
    const QString c = Q(caption);
    const QMessageBox::Icon i = icon == settings::MessageIcon::kWarning ? QMessageBox::Warning
                                : icon == settings::MessageIcon::kInformation
                                    ? QMessageBox::Information
                                    : QMessageBox::Critical;
    RunOnThreadOf(owner_, [&] { dialogs_.Message(owner_, t, c, i); });
  }

 private:
  QWidget* owner_;
  DialogRunner& dialogs_;
};

}  // namespace

DialogScanDevice::DialogScanDevice(PageEnvironment environment, QWidget* parent)
    : QWidget(parent), env_(std::move(environment)) {
  setObjectName(QStringLiteral("130"));
  messages_ = std::make_unique<PageMessages>(this, env_.dialogs);
  model_ = std::make_unique<PortTableModel>(env_.station.ports);
  control_ = std::make_unique<engine::RunControl>(env_.station, env_.links, *model_, *this, *this,
                                                  env_.paths);
  Build();
}

DialogScanDevice::~DialogScanDevice() {
  if (startThread_.joinable()) startThread_.join();
  // A format job would need this thread for its message boxes; the window
  // waits for it before it closes (RunInProgress).
  background_.reset();
  // The run control joins the workers; the window waits for them before it
  // closes, so none is left to need this thread.
  control_.reset();
}

void DialogScanDevice::Build() {
  TemplateBuilder t(this, 9, 595, 306);
  t.Group(ctl::kFlashGroup, QStringLiteral("Flash"), 7, 7, 206, 24);
  t.Static(ctl::kFlashSelectLabel, QStringLiteral("Flash Select"), 14, 18, 38, 8);
  t.Combo(ctl::kFlashSelect, 58, 15, 124, 74);
  t.Group(ctl::kMpOptionGroup, QStringLiteral("MP Option"), 7, 30, 206, 85);
  t.Check(ctl::kDownloadBurner, QStringLiteral("Download Burner"), 15, 39, 71, 10);
  t.Button(ctl::kBurnerLoad, QStringLiteral("Load"), 96, 37, 50, 14);
  t.Edit(ctl::kBurnerFile, 15, 52, 172, 14);
  t.Check(ctl::kNandErase, QStringLiteral("Nand Erase"), 15, 67, 48, 10);
  t.Combo(ctl::kNandEraseSelect, 64, 67, 123, 57);
  t.Check(ctl::kNandCalibration, QStringLiteral("Nand Calibration"), 15, 77, 66, 10);
  t.Check(ctl::kDownloadSysFW, QStringLiteral("Download FW"), 15, 87, 59, 10);
  t.Button(ctl::kFirmwareLoad, QStringLiteral("Load"), 96, 84, 50, 14);
  t.Edit(ctl::kSysFwFile, 15, 99, 172, 14);
  t.Group(ctl::kScanTypeGroup, QStringLiteral("ScanType"), 218, 7, 253, 24);
  t.Check(ctl::kScanRDT, QStringLiteral("RDT"), 226, 17, 29, 10);
  t.Check(ctl::kOP7, QStringLiteral("OP7"), 270, 18, 29, 10)->setVisible(false);
  t.Group(ctl::kIdentifyGroup, QStringLiteral("Identify"), 218, 30, 253, 85);
  t.Static(ctl::kModelNameLabel, QStringLiteral("Model Name"), 225, 40, 40, 8);
  t.Edit(ctl::kModelName, 266, 36, 165, 14, 40);
  t.Static(ctl::kModelNameLimitLabel, QStringLiteral("40"), 433, 38, 8, 8);
  t.Static(ctl::kSnLabel, QStringLiteral("SN"), 225, 54, 10, 8);
  MakeUpperCase(t.Edit(ctl::kSN, 266, 51, 106, 14, 20));
  t.Static(ctl::kSnLimitLabel, QStringLiteral("20"), 375, 54, 8, 8);
  t.Check(ctl::kSNAutoIncrease, QStringLiteral("Auto Inc"), 385, 53, 38, 10);
  t.Check(ctl::kSNFix, QStringLiteral("FIX"), 430, 53, 25, 10);
  t.Static(ctl::kFwVersionLabel, QStringLiteral("FW Version"), 225, 69, 36, 8);
  t.Edit(ctl::kFWVersion, 266, 66, 106, 14, 8);
  t.Static(ctl::kFwVersionLimitLabel, QStringLiteral("8"), 376, 69, 8, 8);
  t.Check(ctl::kFWVersionUserDefine, QStringLiteral("User Define"), 385, 68, 52, 10);
  t.Static(ctl::kBinRuleLabel, QStringLiteral("BinRule"), 226, 83, 29, 8);
  t.Combo(ctl::kSetBin, 266, 81, 40, 74);
  t.Group(ctl::kAdminGroup, QStringLiteral("Admin"), 476, 32, 83, 69);
  t.Check(ctl::kRdMode, QStringLiteral("RD"), 485, 41, 25, 10);
  t.Check(ctl::kFormatEn, QStringLiteral("Format"), 485, 53, 38, 10);
  t.Check(ctl::kKeepSN, QStringLiteral("keep SN"), 485, 65, 42, 10);
  t.Check(ctl::kSpiDisable, QStringLiteral("SPI Disable"), 485, 77, 50, 10);
  t.Check(ctl::kSkipRunBad, QStringLiteral("Skip Run Bad"), 485, 88, 57, 10);
  t.Static(0, QStringLiteral("Sum"), 10, 120, 21, 12);
  t.Static(ctl::kSumText, QStringLiteral("Static"), 38, 120, 28, 12);
  t.Static(0, QStringLiteral("Pass"), 90, 120, 24, 12);
  t.Static(ctl::kPassText, QStringLiteral("Static"), 119, 120, 28, 12);
  t.Static(0, QStringLiteral("Fail"), 170, 120, 21, 12);
  t.Static(ctl::kFailText, QStringLiteral("Static"), 200, 120, 28, 12);
  t.Static(0, QStringLiteral("Time"), 242, 120, 21, 12);
  t.Static(ctl::kTimeText, QStringLiteral("Static"), 271, 120, 87, 12);
  list_ = t.Add<QTableView>(ctl::kPortList, 7, 136, 540, 150);
  t.Static(ctl::kStartProgressText, QString(), 7, 290, 540, 12);
  t.Button(ctl::kStartButton, QStringLiteral("Start"), 547, 135, 41, 20);
  t.Button(ctl::kScanButton, QStringLiteral("Device Scan"), 547, 183, 41, 20);
  t.Button(ctl::kBarCodeButton, QStringLiteral("Bar Code"), 547, 227, 41, 20);
  t.Check(ctl::kNandEraseAll, QStringLiteral("EraseALL"), 548, 273, 39, 10);

  list_->setModel(model_.get());
  list_->setShowGrid(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->verticalHeader()->hide();
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->horizontalHeader()->setHighlightSections(false);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(model_.get(), &QAbstractItemModel::columnsInserted, this,
          [this](const QModelIndex&, int first, int last) {
            for (int c = first; c <= last; ++c)
              list_->setColumnWidth(c, PortTableModel::ColumnWidth(c));
          });
  connect(list_, &QTableView::doubleClicked, this, &DialogScanDevice::OnListDoubleClick);
  connect(list_, &QWidget::customContextMenuRequested, this, &DialogScanDevice::OnListRightClick);

  // Buttons.
  OnClick(ctl::kStartButton, [this] { OnStart(); });
  OnClick(ctl::kScanButton, [this] { OnDeviceScan(); });
  OnClick(ctl::kBarCodeButton, [this] { OnBarCode(); });
  OnClick(ctl::kRdMode, [this] { OnRdMode(); });
  OnClick(ctl::kBurnerLoad, [this] {
    const QString chosen =
        env_.dialogs.OpenFile(this, QString::fromStdString(env_.paths.gExeDir),
                              QtFileFilter(QString::fromLatin1(kLoadFilter)), true);
    if (chosen.isEmpty()) return;
    ChangeOptions([&chosen](settings::PageContext& page) {
      settings::ChooseBurnerFile(page, chosen.toStdString());
    });
  });
  OnClick(ctl::kFirmwareLoad, [this] {
    const QString chosen =
        env_.dialogs.OpenFile(this, QString::fromStdString(env_.paths.gExeDir),
                              QtFileFilter(QString::fromLatin1(kLoadFilter)), false);
    if (chosen.isEmpty()) return;
    ChangeOptions([&chosen](settings::PageContext& page) {
      settings::ChooseFirmwareFile(page, chosen.toStdString());
    });
  });

  BindOptionControls();

  totalsTimer_ = new QTimer(this);
  timeTimer_ = new QTimer(this);
  formatTimer_ = new QTimer(this);
  rescanTimer_ = new QTimer(this);
  connect(totalsTimer_, &QTimer::timeout, this, &DialogScanDevice::ShowTotals);
  connect(timeTimer_, &QTimer::timeout, this, &DialogScanDevice::ShowElapsedTime);
  connect(formatTimer_, &QTimer::timeout, this, &DialogScanDevice::CollectFormats);
  connect(rescanTimer_, &QTimer::timeout, this, &DialogScanDevice::RescanWhenIdle);
}

// Options: the settings library applies the rules, the workers see the
// changed record.
void DialogScanDevice::BindOptionControls() {
  for (const settings::OptionRow& row : settings::OptionTable()) {
    if (row.page != settings::OptionPage::kMp || row.change == settings::OptionChange::kNothing) {
      continue;
    }
    auto changed = [this, &row] {
      ChangeOptions([&row](settings::PageContext& page) { settings::OnOptionChanged(page, row); });
      if (row.control == ctl::kScanRDT) {
        model_->SetRdtColumns(env_.station.options.Current()->ScanRDT == 0);
      }
    };
    if (row.kind == settings::OptionKind::kFlag) {
      OnClick(row.control, changed);
    } else {
      connect(static_cast<QComboBox*>(Control(row.control)), &QComboBox::activated, this, changed);
    }
  }
}

template <typename Change>
void DialogScanDevice::ChangeOptions(Change&& change) {
  settings::HeldMessages held;
  env_.station.options.Update([&](settings::MpSettings& s) {
    settings::PageContext page{env_.paths, s, *this, held};
    change(page);
  });
  held.ShowTo(*messages_);
}

template <typename Handler>
void DialogScanDevice::OnClick(int id, Handler handler) {
  connect(static_cast<QAbstractButton*>(Control(id)), &QAbstractButton::clicked, this,
          [handler] { handler(); });
}

void DialogScanDevice::Init() {
  for (int id : {ctl::kSumText, ctl::kPassText, ctl::kFailText, ctl::kTimeText}) {
    static_cast<QLabel*>(Control(id))->setText(QStringLiteral("0"));
  }
  for (const char* item :
       {"Whole Nand Space", "Whole Nand Space Without WPB0", "Whole Nand Space Without Keep"}) {
    AddComboItem(ctl::kNandEraseSelect, item);
  }
  SetComboSelection(ctl::kNandEraseSelect, 2);

  // Columns 0-6 and the 16 rows; 7 and 8 follow the loaded ScanRDT.
  model_->SetRdtColumns(false);
  for (int c = 0; c < model_->columnCount(); ++c)
    list_->setColumnWidth(c, PortTableModel::ColumnWidth(c));
  model_->InitPortRows();
  FitRows();

  settings::MpSettings loaded;
  settings::PageContext page{env_.paths, loaded, *this, *messages_};
  settings::LoadFlashCatalogue(page);
  // The combo selected its first item as it was filled; the settings file
  // chooses, and without one no flash is selected (saved as -1).
  SetComboSelection(ctl::kFlashSelect, -1);
  for (const char* item : {"Default", "Bin12", "Bin23"}) AddComboItem(ctl::kSetBin, item);
  SetComboSelection(ctl::kSetBin, 0);
  settings::LoadSettings(page);
  SetAdminControls(false);
  Control(ctl::kOP7)->setEnabled(false);
  if (loaded.ScanRDT == 0) model_->SetRdtColumns(true);
  env_.station.options.Publish(loaded);

  (void)control_->Scan();
  totalsTimer_->start(kTotalsPeriodMs);
  timeTimer_->start(kTimePeriodMs);
}

void DialogScanDevice::FitRows() {
  // All 16 rows show without scrolling.
  const int header = list_->horizontalHeader()->sizeHint().height();
  const int room = list_->height() - 2 * list_->frameWidth() - header;
  const int row =
      std::max(1, std::min(list_->fontMetrics().height() + 4, room / discovery::kPortRows));
  list_->verticalHeader()->setMinimumSectionSize(1);
  list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list_->verticalHeader()->setDefaultSectionSize(row);
}

QPushButton* DialogScanDevice::StartButton() const {
  return qobject_cast<QPushButton*>(Control(ctl::kStartButton));
}

QWidget* DialogScanDevice::Control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

bool DialogScanDevice::SaveSettings() {
  settings::MpSettings current = *env_.station.options.Current();
  return settings::SaveSettings(settings::PageContext{env_.paths, current, *this, *messages_});
}

bool DialogScanDevice::RunInProgress() const {
  return startThread_.joinable() || formatting_ || control_->AnyWorkerRunning();
}

int DialogScanDevice::PortsToWaitFor() const {
  int running = 0;
  for (const auto& status : env_.station.ports.gPortStatus) {
    if (status.load() == discovery::kRunning) ++running;
  }
  // Before its workers start, Start is bringing up every drive it found.
  if (startThread_.joinable()) running = std::max(running, startingPorts_);
  return running;
}

bool DialogScanDevice::FormatsOutstanding() const {
  return formatting_ || formatTimer_->isActive();
}

void DialogScanDevice::SetFormatter(std::function<void()> job, platform::VolumeOps& volumes) {
  formatJob_ = std::move(job);
  background_ = std::make_unique<format::BackgroundFormat>(volumes, env_.links.clock, *messages_);
  control_->SetFormatter([this] { BeginFormat(); });
}

// --- Start and the end of a run --------------------------------------------

void DialogScanDevice::OnStart() {
  if (startThread_.joinable() || formatting_) return;
  for (size_t i = 0; i < kRunButtons.size(); ++i) {
    buttonsBeforeStart_[i] = Control(kRunButtons[i])->isEnabled();
  }
  startingPorts_ = 0;
  for (const auto& record : env_.station.ports.gDeviceInfo) {
    if (record.HasDrive()) ++startingPorts_;
  }
  designTimeShown_ = false;
  (void)StationNow();  // the run's threads start from the station's time
  EnableRunButtons(false);
  engine::StartControls controls;
  controls.modelName = EditText(ctl::kModelName);
  controls.keepSn = IsChecked(ctl::kKeepSN);
  controls.spiDisable = IsChecked(ctl::kSpiDisable);
  controls.skipRunBad = IsChecked(ctl::kSkipRunBad);
  controls.fwVersion = EditText(ctl::kFWVersion);
  controls.snEdit = EditText(ctl::kSN);
  // The run control copies the identity controls into the record: a later
  // option change on this page changes only its own fields, never those.

  startThread_ = std::thread(env_.links.clock.Inherit("start", [this, controls] {
    startOutcome_ = control_->OnStart(controls);
    QMetaObject::invokeMethod(
        this, [this] { OnStartFinished(); }, Qt::QueuedConnection);
  }));
}

void DialogScanDevice::OnStartFinished() {
  startThread_.join();
  const bool started = startOutcome_ == engine::StartOutcome::kStarted;
  if (!started) {
    // No run began, so no run's end will enable the buttons: they come back
    // as they were when Start was pressed (a refused Start leaves them to
    // nobody otherwise).
    for (size_t i = 0; i < kRunButtons.size(); ++i) {
      Control(kRunButtons[i])->setEnabled(buttonsBeforeStart_[i]);
    }
  }
  bool ended = !started;
  // Completions that arrived while Start was still starting workers: the run
  // could not end before every worker had been started.
  for (; deferredCompletions_ > 0; --deferredCompletions_) {
    if (control_->OnWorkerDone()) {
      ShowRunDesignTime();
      ended = true;
    }
  }
  if (ended) RunHasEnded();
  if (rescanPending_) rescanTimer_->start(kRescanPollMs);
}

void DialogScanDevice::RunHasEnded() {
  // With the format running the run ends when the format has ended.
  if (formatting_) {
    runEndPending_ = true;
    return;
  }
  emit runEnded();
}

void DialogScanDevice::PostWorkerDone() {
  QMetaObject::invokeMethod(
      this, [this] { OnWorkerDone(); }, Qt::QueuedConnection);
}

void DialogScanDevice::OnWorkerDone() {
  if (startThread_.joinable()) {
    ++deferredCompletions_;
    return;
  }
  if (control_->OnWorkerDone()) {
    ShowRunDesignTime();
    RunHasEnded();
  }
  if (rescanPending_) rescanTimer_->start(kRescanPollMs);
}

void DialogScanDevice::EnableRunButtons(bool enabled) {
  RunOnThreadOf(this, [this, enabled] {
    // The run control enables them as the run ends; a format still running
    // then keeps them off until it has ended.
    if (enabled && formatting_) return;
    for (int id : kRunButtons) Control(id)->setEnabled(enabled);
  });
}

// --- The end-of-run format ----------------------------------------------------

void DialogScanDevice::BeginFormat() {
  if (!background_ || formatting_) return;
  // The run's time is taken before the format's waits are added to it.
  ShowRunDesignTime();
  formatting_ = true;
  for (int id : kRunButtons) Control(id)->setEnabled(false);
  const bool started = background_->Start(formatJob_, [this] {
    QMetaObject::invokeMethod(
        this, [this] { OnFormatFinished(); }, Qt::QueuedConnection);
  });
  if (!started) {
    formatting_ = false;
    for (int id : kRunButtons) Control(id)->setEnabled(true);
  }
}

void DialogScanDevice::OnFormatFinished() {
  background_->Join();
  formatting_ = false;
  for (int id : kRunButtons) Control(id)->setEnabled(true);
  CollectFormats();
  if (runEndPending_) {
    runEndPending_ = false;
    emit runEnded();
  }
  if (rescanPending_) rescanTimer_->start(kRescanPollMs);
}

void DialogScanDevice::CollectFormats() {
  // A failure's message box runs an event loop of its own, in which this
  // timer fires again.
  if (!background_ || collecting_) return;
  collecting_ = true;
  const size_t running = background_->Collect();
  collecting_ = false;
  if (running == 0 && !background_->JobRunning()) {
    formatTimer_->stop();
  } else if (!formatTimer_->isActive()) {
    formatTimer_->start(kFormatCollectMs);
  }
}

void DialogScanDevice::SetTimeText(std::string_view text) {
  const QString t = Q(text);
  RunOnThreadOf(this, [this, &t] { static_cast<QLabel*>(Control(ctl::kTimeText))->setText(t); });
}

void DialogScanDevice::SetStartProgress(std::string_view text) {
  const QString t = Q(text);
  RunOnThreadOf(this,
                [this, &t] { static_cast<QLabel*>(Control(ctl::kStartProgressText))->setText(t); });
}

void DialogScanDevice::SetSnEditText(std::string_view text) {
  const std::string t(text);
  RunOnThreadOf(this, [this, &t] { SetEditText(ctl::kSN, t); });
}

bool DialogScanDevice::FormatChecked() {
  bool checked = false;
  RunOnThreadOf(this, [this, &checked] { checked = IsChecked(ctl::kFormatEn); });
  return checked;
}

// --- Scans --------------------------------------------------------------------

void DialogScanDevice::OnDeviceChange() {
  // During a run the drives re-enumerate as they reboot: the page changes
  // nothing until the run has ended.
  if (startThread_.joinable() || formatting_ || control_->Busy()) return;
  if (control_->AnyWorkerRunning()) {
    // A single port runs: a scan would pull the records from under it, so
    // it waits until no worker runs.
    rescanPending_ = true;
    rescanTimer_->start(kRescanPollMs);
    return;
  }
  rescanPending_ = false;
  (void)control_->Scan();
}

void DialogScanDevice::RescanWhenIdle() {
  if (!rescanPending_) {
    rescanTimer_->stop();
    return;
  }
  // A worker's thread ends a moment after its completion arrives.
  if (startThread_.joinable() || formatting_ || control_->Busy() || control_->AnyWorkerRunning()) {
    return;
  }
  rescanTimer_->stop();
  rescanPending_ = false;
  // The single ports' own drives rebooted and came back where they were:
  // only a drive plugged or pulled elsewhere is worth a rescan, which would
  // also clear the results shown.
  if (DriveLocations() != locationsAtSinglePortStart_) (void)control_->Scan();
}

std::vector<std::string> DialogScanDevice::DriveLocations() {
  std::array<discovery::PortCandidate, platform::kMaxCandidates> found;
  const size_t count = discovery::DiscoverPortCandidates(env_.links.topology, found);
  std::vector<std::string> locations;
  for (size_t i = 0; i < count; ++i) {
    locations.push_back(std::string(found[i].hubInstanceId) + "#" +
                        std::to_string(found[i].portIndex));
  }
  std::sort(locations.begin(), locations.end());
  return locations;
}

void DialogScanDevice::OnDeviceScan() {
  if (startThread_.joinable() || formatting_ || control_->Busy() ||
      control_->Scan() == discovery::ScanOutcome::kRefusedWorkerRunning) {
    messages_->Show(discovery::kScanRefusedText, discovery::kScanRefusedCaption,
                    settings::MessageIcon::kWarning);
  }
}

// --- Dialogs ------------------------------------------------------------------

void DialogScanDevice::OnBarCode() {
  // The dialog works on a copy (it stays open in an event loop of its own);
  // the codes it leaves are this page's to publish.
  settings::MpSettings codes = *env_.station.options.Current();
  DialogBarCode dialog(env_.station, codes, env_.paths.gSettingsPath, env_.dialogs, *messages_,
                       this);
  if (env_.dialogs.Exec(dialog) != QDialog::Accepted) engine::CancelBarcodes(env_.station);
  env_.station.options.Update([&codes](settings::MpSettings& s) {
    std::memcpy(s.barcodes, codes.barcodes, sizeof s.barcodes);
  });
}

void DialogScanDevice::OnRdMode() {
  auto* rd = static_cast<QCheckBox*>(Control(ctl::kRdMode));
  if (!rd->isChecked()) {
    SetAdminControls(false);
    return;
  }
  DialogRDPassword dialog(this);
  const int result = env_.dialogs.Exec(dialog);
  if (result == QDialog::Accepted && dialog.verdict()) {
    SetAdminControls(true);
    return;
  }
  if (result == QDialog::Accepted) {
    env_.dialogs.Message(this, QStringLiteral("Password error!"),
                         QCoreApplication::applicationName(), QMessageBox::NoIcon);
  }
  rd->setChecked(false);
}

void DialogScanDevice::SetAdminControls(bool on) {
  for (int id : settings::kAdminControls) Control(id)->setEnabled(on);
}

// --- Run display --------------------------------------------------------------

void DialogScanDevice::ShowTotals() {
  const int pass = env_.station.run.passCount.load();
  const int fail = env_.station.run.failCount.load();
  static_cast<QLabel*>(Control(ctl::kSumText))->setText(QString::number(pass + fail));
  static_cast<QLabel*>(Control(ctl::kPassText))->setText(QString::number(pass));
  static_cast<QLabel*>(Control(ctl::kFailText))->setText(QString::number(fail));
  // Status colours follow the ports' run state at every repaint.
  list_->viewport()->update();
  emit totalsShown();
}

void DialogScanDevice::ShowElapsedTime() {
  if (control_->RunActive() == 0) return;
  const int64_t elapsed = StationNow() - control_->StartTime();
  static_cast<QLabel*>(Control(ctl::kTimeText))
      ->setText(QString::fromStdString(engine::ElapsedText(elapsed)));
}

int64_t DialogScanDevice::StationNow() {
  // On the virtual clock each thread keeps its own time and this one takes
  // no pauses: it catches up with the furthest the station's threads have
  // come, so the display and the next run follow the design's time.
  if (auto* virtualClock = dynamic_cast<platform::VirtualClock*>(&env_.links.clock)) {
    uint64_t behind =
        virtualClock->Horizon() - std::min(virtualClock->Horizon(), virtualClock->Now());
    while (behind > 0) {
      const auto step = static_cast<uint32_t>(std::min<uint64_t>(behind, UINT32_MAX));
      virtualClock->Spend(step);
      behind -= step;
    }
  }
  return env_.links.clock.CalendarSeconds();
}

void DialogScanDevice::ShowRunDesignTime() {
  // A run on the virtual clock ends before the 5 s display has ever shown
  // it: its design time is shown once at its end.
  if (designTimeShown_ || dynamic_cast<platform::VirtualClock*>(&env_.links.clock) == nullptr) {
    return;
  }
  designTimeShown_ = true;
  const int64_t elapsed = StationNow() - control_->StartTime();
  static_cast<QLabel*>(Control(ctl::kTimeText))
      ->setText(QString::fromStdString(engine::ElapsedText(elapsed)));
}

void DialogScanDevice::OnListDoubleClick(const QModelIndex& index) {
  if (!index.isValid()) return;
  DialogFlashInfo dialog(env_.station.run, index.row(), this);
  env_.dialogs.Exec(dialog);
}

void DialogScanDevice::OnListRightClick(const QPoint& pos) {
  if (startThread_.joinable() || formatting_) {
    messages_->Show(formatting_ ? kFormatStillRunningText : kStartStillStartingText,
                    engine::kStartRefusedCaption, settings::MessageIcon::kWarning);
    return;
  }
  const QModelIndex index = list_->indexAt(pos);
  const bool first = !control_->AnyWorkerRunning();
  std::vector<std::string> before = first ? DriveLocations() : std::vector<std::string>();
  if (control_->StartSinglePort(index.isValid() ? index.row() : -1) ==
          engine::SinglePortOutcome::kStarted &&
      first) {
    locationsAtSinglePortStart_ = std::move(before);
  }
}

// --- SettingsView -------------------------------------------------------------

bool DialogScanDevice::IsChecked(int id) const {
  auto* box = qobject_cast<QAbstractButton*>(Control(id));
  return box && box->isChecked();
}

void DialogScanDevice::SetChecked(int id, bool checked) {
  if (auto* box = qobject_cast<QAbstractButton*>(Control(id))) box->setChecked(checked);
}

int DialogScanDevice::ComboSelection(int id) const {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  return combo ? combo->currentIndex() : -1;
}

void DialogScanDevice::SetComboSelection(int id, int position) {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  if (!combo) return;
  combo->setCurrentIndex(position >= 0 && position < combo->count() ? position : -1);
}

int DialogScanDevice::ComboCount(int id) const {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  return combo ? combo->count() : 0;
}

std::string DialogScanDevice::ComboItemText(int id, int position) const {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  if (!combo || position < 0 || position >= combo->count()) return {};
  return combo->itemText(position).toStdString();
}

void DialogScanDevice::AddComboItem(int id, std::string_view text) {
  if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->addItem(Q(text));
}

std::string DialogScanDevice::EditText(int id) const {
  auto* edit = qobject_cast<QLineEdit*>(Control(id));
  return edit ? edit->text().toStdString() : std::string();
}

void DialogScanDevice::SetEditText(int id, std::string_view text) {
  if (auto* edit = qobject_cast<QLineEdit*>(Control(id))) edit->setText(Q(text));
}

}  // namespace qelvar::ui
