// The MP page: its interlocks, RD mode, the port list's colours and model,
// and whole runs started from the window.
#include <QAbstractItemModelTester>
#include <QContextMenuEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <future>
#include <thread>

#include "platform/sim/sim_station.h"
#include "platform/sim/sim_volume_ops.h"
#include "ui/flash_info_dialog.h"
#include "ui_fixture.h"

using namespace qelvar;
using namespace qelvar::ui;
using namespace qelvar::ui::testing;

namespace {

// Checks "RD" and answers the password dialog with `entry`, then Enter.
void EnterRdMode(StationWindow& w, const QString& entry) {
  w.dialogs.scripts.push_back([entry](QDialog& d) {
    auto* edit = Control<QLineEdit>(d, ctl::rd_password::kPasswordEdit);
    QTest::keyClicks(edit, entry);
    QTest::keyClick(edit, Qt::Key_Return);
  });
  Click(w.Mp(ctl::kRdMode));
}

// As the platform delivers a double click: press, release, double click, release.
void DoubleClick(QWidget* widget, QPoint pos) {
  QTest::mousePress(widget, Qt::LeftButton, {}, pos);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, pos);
  QTest::mouseDClick(widget, Qt::LeftButton, {}, pos);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, pos);
}

// The right click on a port's row that starts it alone.
void RightClick(StationWindow& w, int row) {
  QTableView* list = w.page().list();
  const QRect cell = list->visualRect(w.page().model().index(row, 2));
  QContextMenuEvent menu(QContextMenuEvent::Mouse, cell.center(),
                         list->viewport()->mapToGlobal(cell.center()));
  QCoreApplication::sendEvent(list->viewport(), &menu);
}

bool RunButtonsEnabled(StationWindow& w) {
  return w.page().StartButton()->isEnabled() && w.Mp(ctl::kScanButton)->isEnabled() &&
         w.Mp(ctl::kBarCodeButton)->isEnabled();
}
bool RunButtonsDisabled(StationWindow& w) {
  return !w.page().StartButton()->isEnabled() && !w.Mp(ctl::kScanButton)->isEnabled() &&
         !w.Mp(ctl::kBarCodeButton)->isEnabled();
}

// The controls "RD" unlocks.
constexpr int kRdModeControls[] = {
    ctl::kDownloadBurner,     ctl::kBurnerLoad,      ctl::kBurnerFile,
    ctl::kNandErase,          ctl::kNandEraseSelect, ctl::kSetBin,
    ctl::kNandCalibration,    ctl::kDownloadSysFW,   ctl::kFirmwareLoad,
    ctl::kSysFwFile,          ctl::kMpOptionGroup,   ctl::kIdentifyGroup,
    ctl::kModelNameLabel,     ctl::kSnLabel,         ctl::kFwVersionLabel,
    ctl::kBinRuleLabel,       ctl::kModelName,       ctl::kSN,
    ctl::kSNAutoIncrease,     ctl::kSNFix,           ctl::kFWVersion,
    ctl::kFWVersionUserDefine};

bool AdminEnabled(StationWindow& w) {
  for (int id : kRdModeControls) {
    if (!w.Mp(id)->isEnabled()) return false;
  }
  return true;
}

}  // namespace

class MpPageTest : public QObject {
  Q_OBJECT

 private slots:
  void opensWithAdminControlsLockedAndTheLoadedOptions() {
    StationWindow w;
    QCOMPARE(w.window->windowTitle(), QStringLiteral("Qelvar MP Station V5.1"));
    QCOMPARE(w.window->findChild<QLabel*>(QString::number(ctl::window::kVersionText))->text(),
             QStringLiteral("V5.1"));
    for (int id : kRdModeControls) {
      QVERIFY2(!w.Mp(id)->isEnabled(), qPrintable(QString::number(id)));
    }
    QVERIFY(!w.Mp(ctl::kOP7)->isEnabled());
    QVERIFY(w.Mp(ctl::kScanRDT)->isEnabled());
    QVERIFY(w.Mp(ctl::kFormatEn)->isEnabled());
    QVERIFY(w.page().StartButton()->isEnabled());
    QVERIFY(!w.Mp(ctl::kOP7)->isVisibleTo(&w.page()));
    QCOMPARE(w.Mp<QComboBox>(ctl::kFlashSelect)->currentText(), QStringLiteral("MICRON_B17A"));
    QCOMPARE(w.Mp<QComboBox>(ctl::kNandEraseSelect)->currentText(),
             QStringLiteral("Whole Nand Space Without WPB0"));
    QCOMPARE(w.Mp<QComboBox>(ctl::kSetBin)->currentText(), QStringLiteral("Default"));
    QCOMPARE(w.Mp<QLineEdit>(ctl::kSysFwFile)->text(), QStringLiteral("sysfw.bin"));
    QCOMPARE(w.Mp<QLabel>(ctl::kSumText)->text(), QStringLiteral("0"));
    // The first scan found the 16 simulated drives.
    QCOMPARE(w.page().model().Cell(15, 1), std::string("Ready"));
    QVERIFY(w.dialogs.messages.empty());
  }

  void rdModeUnlocksOnlyForTheRightPassword_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("unlocks");
    QTest::newRow("the RD password") << QStringLiteral("lumox") << true;
    QTest::newRow("the second code") << QStringLiteral("q7") << true;
    QTest::newRow("another case") << QStringLiteral("Lumox") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("with more after it") << QStringLiteral("lumoxx") << false;
  }
  void rdModeUnlocksOnlyForTheRightPassword() {
    QFETCH(QString, entry);
    QFETCH(bool, unlocks);
    StationWindow w;
    EnterRdMode(w, entry);
    QCOMPARE(AdminEnabled(w), unlocks);
    QCOMPARE(w.Mp<QCheckBox>(ctl::kRdMode)->isChecked(), unlocks);
    if (unlocks) {
      QVERIFY(w.dialogs.messages.empty());
      // Unchecking "RD" locks them again.
      Click(w.Mp(ctl::kRdMode));
      QVERIFY(!w.Mp(ctl::kDownloadBurner)->isEnabled());
      QVERIFY(!w.Mp(ctl::kFWVersionUserDefine)->isEnabled());
    } else {
      QCOMPARE(w.dialogs.messages.size(), size_t{1});
      QCOMPARE(w.dialogs.messages[0].text, QStringLiteral("Password error!"));
      QCOMPARE(w.dialogs.messages[0].icon, QMessageBox::NoIcon);
    }
  }

  void escapeInThePasswordDialogUnchecksRdWithoutAMessage() {
    StationWindow w;
    w.dialogs.scripts.push_back([](QDialog& d) {
      QTest::keyClicks(Control<QLineEdit>(d, ctl::rd_password::kPasswordEdit),
                       QStringLiteral("lumox"));
      QTest::keyClick(&d, Qt::Key_Escape);
    });
    Click(w.Mp(ctl::kRdMode));
    QVERIFY(!w.Mp<QCheckBox>(ctl::kRdMode)->isChecked());
    QVERIFY(!AdminEnabled(w));
    QVERIFY(w.dialogs.messages.empty());
  }

  void burnerEraseAndCalibrationHoldTogether() {
    StationWindow w;
    EnterRdMode(w, QStringLiteral("lumox"));
    auto* burner = w.Mp<QCheckBox>(ctl::kDownloadBurner);
    auto* erase = w.Mp<QCheckBox>(ctl::kNandErase);
    auto* calibration = w.Mp<QCheckBox>(ctl::kNandCalibration);
    QVERIFY(burner->isChecked() && erase->isChecked() && calibration->isChecked());
    Click(burner);
    QVERIFY(!erase->isChecked());
    QVERIFY(!calibration->isChecked());
    auto options = w.station().options.Current();
    QCOMPARE(int(options->DownloadBurner), 0);
    QCOMPARE(int(options->NandErase), 0);
    QCOMPARE(int(options->NandCalibration), 0);
    Click(calibration);
    QVERIFY(burner->isChecked());
    QCOMPARE(int(w.station().options.Current()->DownloadBurner), 1);
    QVERIFY(!erase->isChecked());
    Click(burner);
    Click(erase);
    QVERIFY(burner->isChecked());
    QCOMPARE(int(w.station().options.Current()->NandErase), 1);
  }

  void autoIncAndFixAreNeverBothCheckedAfterAClick() {
    StationWindow w;
    EnterRdMode(w, QStringLiteral("lumox"));
    auto* autoInc = w.Mp<QCheckBox>(ctl::kSNAutoIncrease);
    auto* fix = w.Mp<QCheckBox>(ctl::kSNFix);
    QVERIFY(autoInc->isChecked() && !fix->isChecked());
    Click(fix);
    QVERIFY(fix->isChecked() && !autoInc->isChecked());
    QCOMPARE(int(w.station().options.Current()->SNAutoIncrease), 0);
    Click(autoInc);
    QVERIFY(autoInc->isChecked() && !fix->isChecked());
    QCOMPARE(int(w.station().options.Current()->SNFix), 0);
  }

  void eraseAllAndRdtSetTheEraseScopeAndTheColumns() {
    StationWindow w;
    auto* scope = w.Mp<QComboBox>(ctl::kNandEraseSelect);
    Click(w.Mp(ctl::kNandEraseAll));  // EraseALL on
    QCOMPARE(scope->currentText(), QStringLiteral("Whole Nand Space Without Keep"));
    Click(w.Mp(ctl::kNandEraseAll));  // off, RDT off
    QCOMPARE(scope->currentText(), QStringLiteral("Whole Nand Space Without WPB0"));
    QCOMPARE(int(w.station().options.Current()->NandEraseSelect), 1);

    Click(w.Mp(ctl::kScanRDT));  // RDT on
    QCOMPARE(scope->currentText(), QStringLiteral("Whole Nand Space Without Keep"));
    QCOMPARE(w.page().model().columnCount(), 7);
    QCOMPARE(w.Mp<QLineEdit>(ctl::kSysFwFile)->text(), QStringLiteral("rdtfw.bin"));
    const std::string file = w.SettingsFile();
    QVERIFY(file.find("ScanRDT=1") != std::string::npos);
    Click(w.Mp(ctl::kNandEraseAll));  // EraseALL on
    scope->setCurrentIndex(0);
    emit scope->activated(0);
    Click(w.Mp(ctl::kNandEraseAll));  // off with RDT on: the scope stays
    QCOMPARE(scope->currentText(), QStringLiteral("Whole Nand Space"));

    Click(w.Mp(ctl::kScanRDT));  // RDT off
    QCOMPARE(w.page().model().columnCount(), 9);
    QCOMPARE(w.page().model().headerData(7, Qt::Horizontal).toString(),
             QStringLiteral("RDT Result"));
    QCOMPARE(w.page().model().headerData(8, Qt::Horizontal).toString(), QStringLiteral("Bin"));
    QCOMPARE(w.page().list()->columnWidth(8), 85);
    QCOMPARE(w.Mp<QLineEdit>(ctl::kSysFwFile)->text(), QStringLiteral("sysfw.bin"));
    QVERIFY(w.SettingsFile().find("ScanRDT=0") != std::string::npos);
  }

  void snEditKeepsUpperCaseAndItsLimit() {
    StationWindow w;
    EnterRdMode(w, QStringLiteral("lumox"));
    auto* sn = w.Mp<QLineEdit>(ctl::kSN);
    sn->clear();
    QTest::keyClicks(sn, QStringLiteral("ab12cd34ef56gh78ij90kl"));
    QCOMPARE(sn->text(), QStringLiteral("AB12CD34EF56GH78IJ90"));
  }

  void statusColoursFollowThePortsRunState() {
    StationWindow w;
    PortTableModel& model = w.page().model();
    auto& status = w.station().ports.gPortStatus;
    status[3].store(3);  // failed
    status[4].store(1);  // running
    status[5].store(2);  // passed
    QCOMPARE(model.data(model.index(3, 1), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    QCOMPARE(model.data(model.index(4, 1), Qt::ForegroundRole).value<QColor>(), QColor(0, 255, 0));
    QCOMPARE(model.data(model.index(5, 1), Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 255));
    QCOMPARE(model.data(model.index(6, 1), Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 255));
    QCOMPARE(model.data(model.index(3, 2), Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 0));
    QCOMPARE(model.data(model.index(4, 0), Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 0));
  }

  void portListModelStaysConsistentAcrossColumnChangesAndWrites() {
    discovery::PortState ports;
    PortTableModel model(ports);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 16);
    QCOMPARE(model.columnCount(), 9);
    model.SetRdtColumns(false);
    QCOMPARE(model.columnCount(), 7);
    model.SetCell(2, 8, "Bin 1");  // dropped while the column is absent
    model.SetRdtColumns(true);
    QCOMPARE(model.data(model.index(2, 8)).toString(), QString());
    model.SetCell(2, 1, "Pass");
    QCOMPARE(model.data(model.index(2, 1)).toString(), QStringLiteral("Pass"));
    QCOMPARE(model.data(model.index(2, 0)).toString(), QStringLiteral("3"));
    model.InitPortRows();
    QCOMPARE(model.data(model.index(2, 1)).toString(), QString());
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Capacity(MB)"));
  }

  // Start, on the simulated station: all 16 ports pass, shown in blue, with
  // the totals and the next serial number.
  void startRunsEveryPortToPass() {
    StationWindow w;
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    w.window->show();
    Click(w.page().StartButton());
    QVERIFY(!w.page().StartButton()->isEnabled());
    QVERIFY(!w.Mp(ctl::kScanButton)->isEnabled());
    QVERIFY(!w.Mp(ctl::kBarCodeButton)->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
    PortTableModel& model = w.page().model();
    for (int p = 0; p < 16; ++p) {
      QCOMPARE(model.data(model.index(p, 1)).toString(), QStringLiteral("Pass"));
      QCOMPARE(model.data(model.index(p, 6)).toString(), QStringLiteral("100 %"));
      QCOMPARE(model.data(model.index(p, 1), Qt::ForegroundRole).value<QColor>(),
               QColor(0, 0, 255));
    }
    QCOMPARE(model.data(model.index(0, 4)).toString().trimmed(), QStringLiteral("QV5100000A00"));
    QCOMPARE(model.data(model.index(15, 4)).toString().trimmed(), QStringLiteral("QV5100000A0F"));
    QCOMPARE(w.Mp<QLineEdit>(ctl::kSN)->text(), QStringLiteral("QV5100000A10"));
    QVERIFY(w.page().StartButton()->isEnabled());
    QVERIFY(w.Mp(ctl::kScanButton)->isEnabled());
    QVERIFY(w.Mp(ctl::kBarCodeButton)->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(w.Mp<QLabel>(ctl::kSumText)->text(), QStringLiteral("16"), 10000);
    QCOMPARE(w.Mp<QLabel>(ctl::kPassText)->text(), QStringLiteral("16"));
    QCOMPARE(w.Mp<QLabel>(ctl::kFailText)->text(), QStringLiteral("0"));
    QVERIFY(w.dialogs.messages.empty());
  }

  // The identity Start took from the page stays in the record when an
  // option is changed afterwards; the record carries the next serial too.
  void startIdentityOutlivesALaterOptionChange() {
    StationWindow w;
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    w.Mp<QLineEdit>(ctl::kModelName)->setText(QStringLiteral("QV TEST 1TB"));
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
    Click(w.Mp(ctl::kNandEraseAll));
    auto options = w.station().options.Current();
    QCOMPARE(int(options->NandEraseAll), 1);
    QCOMPARE(QString::fromLatin1(options->ModelName), QStringLiteral("QV TEST 1TB"));
    QCOMPARE(QString::fromLatin1(options->SN), QStringLiteral("QV5100000A10"));
  }

  // A double click on a row after a run shows that port's report.
  void rdtInfoShowsThePortsReportAfterARun() {
    StationWindow w;
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
    w.station().run.gDetectedFlashIndex.store(7);

    QTableView* list = w.page().list();
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QStringList texts;
    w.dialogs.scripts.push_back([&](QDialog& d) {
      auto label = [&](int id) { return d.findChild<QLabel*>(QString::number(id))->text(); };
      auto* ids = Control<QTableWidget>(d, ctl::flash_info::kFlashIdList);
      auto* counts = Control<QTableWidget>(d, ctl::flash_info::kCountList);
      auto cell = [](QTableWidget* t, int r, int c) {
        return t->item(r, c) ? t->item(r, c)->text() : QString();
      };
      texts << label(ctl::flash_info::kChCount) << label(ctl::flash_info::kCeCount)
            << label(ctl::flash_info::kLunCount) << label(ctl::flash_info::kPlaneCount)
            << label(ctl::flash_info::kPortText) << label(ctl::flash_info::kFlashName)
            << label(ctl::flash_info::kVerdictText) << cell(ids, 0, 1) << cell(ids, 1, 2)
            << cell(ids, 2, 1) << cell(counts, 4, 0) << cell(counts, 2, 1) << cell(counts, 0, 1)
            << label(ctl::flash_info::kAllBadText);
      QTest::mouseClick(Control<QRadioButton>(d, ctl::flash_info::kFctRadio), Qt::LeftButton, {},
                        QPoint(5, 5));
      texts << label(ctl::flash_info::kAllBadText) << cell(counts, 4, 1) << cell(counts, 4, 2);
      QTest::keyClick(&d, Qt::Key_Escape);
    });
    const QRect row0 = list->visualRect(w.page().model().index(0, 2));
    DoubleClick(list->viewport(), row0.center());
    QCOMPARE(texts.size(), 17);
    // Drive 0 of the station: 2 channels, 2 CEs, 1 LUN, 2 planes, flash
    // 2C 84 64 54 A9 00, 3 factory and 1 run-time bad unit, bin 1, RDT PASS.
    QCOMPARE(texts.mid(0, 7),
             (QStringList{"2", "2", "1", "2", "0", "TOSHIBA_A15_TLC", "RDT PASS"}));
    QCOMPARE(texts[7], QStringLiteral("2c  84  64  54  a9  00  "));
    QCOMPARE(texts[8], QStringLiteral("2c  84  64  54  a9  00  "));
    QCOMPARE(texts[9], QStringLiteral("00  00  00  00  00  00  "));
    QCOMPARE(texts[10], QStringLiteral("All"));
    QCOMPARE(texts[11], QStringLiteral("  "));
    QVERIFY2(texts[12].endsWith(QStringLiteral(",  Bin1 MR 0")), qPrintable(texts[12]));
    QCOMPARE(texts[13], QStringLiteral("1"));  // DFT, shown first
    QCOMPARE(texts[14], QStringLiteral("3"));  // FCT
    QCOMPARE((texts[15].toInt() + texts[16].toInt()), 3);

    // Empty space below the rows opens nothing.
    const size_t scripts = w.dialogs.scripts.size();
    w.dialogs.scripts.push_back([](QDialog&) { QFAIL("no dialog expected"); });
    DoubleClick(list->viewport(), QPoint(5, list->viewport()->height() - 1));
    QCOMPARE(w.dialogs.scripts.size(), scripts + 1);
  }

  void rightClickStartsThatPortAloneAndLeavesTheButtonsEnabled() {
    StationWindow w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QTableView* list = w.page().list();
    const QRect row3 = list->visualRect(w.page().model().index(3, 2));
    QContextMenuEvent menu(QContextMenuEvent::Mouse, row3.center(),
                           list->viewport()->mapToGlobal(row3.center()));
    QCoreApplication::sendEvent(list->viewport(), &menu);
    QTRY_VERIFY_WITH_TIMEOUT(
        w.page().model().Cell(3, 6) == "100 %" || w.page().model().Cell(3, 6) == "FAIL %", 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!w.page().RunInProgress(), 30000);
    QCOMPARE(w.page().model().Cell(2, 1), std::string("Ready"));
    QVERIFY(w.page().StartButton()->isEnabled());
    QVERIFY(w.Mp(ctl::kScanButton)->isEnabled());
    QVERIFY(w.Mp(ctl::kBarCodeButton)->isEnabled());
  }

  void burnerLoadShowsTheChosenFileAndWarnsWhenItIsTooLarge() {
    StationWindow w;
    EnterRdMode(w, QStringLiteral("lumox"));
    const std::filesystem::path big = w.folder / "Firmware" / "big.bin";
    std::ofstream(big, std::ios::binary) << std::string(393217, '\x5A');
    w.dialogs.file = QString::fromStdString(big.string());
    Click(w.Mp(ctl::kBurnerLoad));
    QCOMPARE(w.Mp<QLineEdit>(ctl::kBurnerFile)->text(), QStringLiteral("big.bin"));
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    QCOMPARE(w.dialogs.messages[0].text, QStringLiteral("Burner File size > 256KB"));
    QCOMPARE(w.dialogs.messages[0].caption, QStringLiteral("Open Fail"));
    QCOMPARE(QString::fromLatin1(w.station().options.Current()->BurnerPath),
             QString::fromStdString(big.string()));
  }

  void deviceScanDuringASinglePortRunIsRefused() {
    StationWindow w;
    w.station().ports.gPortStatus[2].store(1);  // its worker is running
    Click(w.Mp(ctl::kScanButton));
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    QCOMPARE(w.dialogs.messages[0].caption, QStringLiteral("Device Scan"));
    // A device change is ignored without a word.
    w.page().OnDeviceChange();
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    w.station().ports.gPortStatus[2].store(0);
  }

  // Start pressed while a single port runs is refused; the buttons it had
  // disabled come back, and stay usable once the port has finished.
  void aStartRefusedDuringASinglePortRunBringsTheButtonsBack() {
    StationWindow w;
    w.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    // The worker's first cell write waits for this thread: it is still
    // running when Start is pressed.
    RightClick(w, 3);
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(w.dialogs.messages.size(), size_t{1}, 10000);
    QCOMPARE(w.dialogs.messages[0].text, QString::fromUtf8(engine::kStartRefusedText.data()));
    QTRY_VERIFY_WITH_TIMEOUT(!w.page().RunInProgress(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(RunButtonsEnabled(w), 5000);
    QVERIFY(w.page().model().Cell(3, 6) == "100 %" || w.page().model().Cell(3, 6) == "FAIL %");
  }

  void noSettingsFileSelectsNoFlashAndSavesMinusOne() {
    StationWindow w({}, StationWindow::Settings::kNone);
    auto* flash = w.Mp<QComboBox>(ctl::kFlashSelect);
    QVERIFY(flash->count() > 0);
    QCOMPARE(flash->currentIndex(), -1);
    QCOMPARE(flash->currentText(), QString());
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    QCOMPARE(w.dialogs.messages[0].text, QStringLiteral("Open File Fail"));
    w.window->close();
    QVERIFY2(w.SettingsFile().find("FlashIndex=-1\r\n") != std::string::npos,
             w.SettingsFile().c_str());
  }

  // The format runs on a thread of its own: the window answers meanwhile,
  // with the three buttons disabled until the format has ended.
  void theFormatRunsOffTheWindowsThreadWithTheButtonsDisabled() {
    StationWindow w;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> onWindowThread{true};
    std::atomic<bool> jobEntered{false};
    std::function<void()> format = w.assembly->Formatter(w.page().Messages());
    w.page().SetFormatter(
        [&, format] {
          onWindowThread.store(QThread::currentThread() == w.window->thread());
          jobEntered.store(true);
          (void)released.wait_for(std::chrono::seconds(30));
          format();
        },
        w.assembly->volumes());
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    Click(w.Mp(ctl::kFormatEn));  // Format on
    Click(w.page().StartButton());
    QTRY_VERIFY_WITH_TIMEOUT(jobEntered.load(), 60000);
    QVERIFY(!onWindowThread.load());
    QTest::qWait(50);  // the window keeps handling events
    QCOMPARE(ended.count(), 0);
    QVERIFY(w.page().RunInProgress());
    QVERIFY(RunButtonsDisabled(w));
    release.set_value();
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
    QVERIFY(RunButtonsEnabled(w));
    auto& volumes = static_cast<platform::sim::SimVolumeOps&>(w.assembly->volumes());
    QCOMPARE(volumes.Formats().size(), size_t{16});
  }

  // A format that fails after the format step has returned reaches the
  // operator from the collection timer, without another run.
  void aFormatFailingAfterTheRunIsReportedWhenItEnds() {
    StationWindow w;
    w.AttachFormat();
    auto& volumes = static_cast<platform::sim::SimVolumeOps&>(w.assembly->volumes());
    // The job collects after each of its 16 starts; the format of disk1p1,
    // started seventh, then needs two more collections after the job.
    volumes.SetFormatPolls(12);
    volumes.FailFormat("disk1p1", "mkntfs ended with exit status 1");
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    Click(w.Mp(ctl::kFormatEn));  // Format on
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
    QVERIFY(w.dialogs.messages.empty());
    QVERIFY(w.page().FormatsOutstanding());
    QTRY_COMPARE_WITH_TIMEOUT(w.dialogs.messages.size(), size_t{1}, 60000);
    QCOMPARE(w.dialogs.messages[0].caption, QStringLiteral("Format Fail"));
    QVERIFY2(w.dialogs.messages[0].text.startsWith(QStringLiteral("Format of disk1p1 as UDISK-")),
             qPrintable(w.dialogs.messages[0].text));
    QTRY_VERIFY_WITH_TIMEOUT(!w.page().FormatsOutstanding(), 60000);
    QCOMPARE(volumes.FormatsRunning(), size_t{0});
  }

  void aRightClickDuringStartNamesStartAsTheReason() {
    StationWindow w;
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    // Start's first call back into the page waits for this thread.
    Click(w.page().StartButton());
    RightClick(w, 3);
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    QCOMPARE(w.dialogs.messages[0].text, QString::fromUtf8(kStartStillStartingText.data()));
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
  }

  void closingDuringStartCountsThePortsStartIsBringingUp() {
    StationWindow w;
    QSignalSpy finished(w.window.get(), &CQelvarDlg::finished);
    w.window->show();
    Click(w.page().StartButton());
    w.window->close();
    QCOMPARE(w.dialogs.questions, 1);
    QLabel* note = nullptr;
    for (QLabel* label : w.window->findChildren<QLabel*>()) {
      if (label->text().startsWith(QStringLiteral("Waiting"))) note = label;
    }
    QVERIFY(note != nullptr);
    QCOMPARE(note->text(), QStringLiteral("Waiting for 16 port(s) to finish..."));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
  }

  // A drive plugged or pulled while a single port runs is rescanned once the
  // port has finished; the port's own drive rebooting is no such change.
  void aDriveChangeDuringASinglePortRunRescansWhenItHasEnded() {
    StationWindow w;
    RightClick(w, 3);
    QCOMPARE(w.page().model().Cell(3, 1), std::string("Scanning"));
    w.page().OnDeviceChange();  // the worker still waits for this thread
    QTRY_VERIFY_WITH_TIMEOUT(!w.page().RunInProgress(), 30000);
    QTest::qWait(500);
    QVERIFY(w.page().model().Cell(3, 6) == "100 %" || w.page().model().Cell(3, 6) == "FAIL %");

    RightClick(w, 3);
    QVERIFY(w.assembly->sim()->Unplug(15));  // pulled while port 4 runs
    w.page().OnDeviceChange();
    // Only a rescan shows port 4 as "Ready" again.
    QTRY_COMPARE_WITH_TIMEOUT(w.page().model().Cell(3, 1), std::string("Ready"), 30000);
    QVERIFY(!w.page().RunInProgress());
    QVERIFY(w.dialogs.messages.empty());
  }

  // On the virtual clock a run takes no real time: the Time display shows
  // its design time when it ends (ROM entry pauses and the 8 s wait alone
  // make 44 s), and the next run counts from its own start.
  void onTheVirtualClockTheTimeShowsTheRunsDesignTime() {
    StationWindow w;
    QSignalSpy ended(&w.page(), &DialogScanDevice::runEnded);
    auto seconds = [&] {
      const QRegularExpression form(QStringLiteral("^(\\d+) H::(\\d+) M::(\\d+) S$"));
      const QRegularExpressionMatch m = form.match(w.Mp<QLabel>(ctl::kTimeText)->text());
      if (!m.hasMatch()) return -1;
      return m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toInt();
    };
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 60000);
    const int first = seconds();
    QVERIFY2(first >= 44, qPrintable(w.Mp<QLabel>(ctl::kTimeText)->text()));
    Click(w.page().StartButton());
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 2, 60000);
    const int second = seconds();
    QVERIFY2(second >= 44 && second <= first + 1, qPrintable(w.Mp<QLabel>(ctl::kTimeText)->text()));
  }

  void closingSavesTheOptionsAndAsksOnlyDuringARun() {
    StationWindow w;
    QSignalSpy finished(w.window.get(), &CQelvarDlg::finished);
    w.window->show();
    Click(w.Mp(ctl::kFormatEn));  // Format on
    QTest::keyClick(w.window.get(), Qt::Key_Escape);
    QTest::keyClick(w.Mp(ctl::kModelName), Qt::Key_Return);
    QVERIFY(w.window->isVisible());
    QCOMPARE(finished.count(), 0);
    w.window->close();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(w.dialogs.questions, 0);
    QVERIFY(w.SettingsFile().find("FormatEn=1") != std::string::npos);
  }

  void closingDuringARunWaitsForThePortsWhenConfirmed() {
    StationWindow w;
    QSignalSpy finished(w.window.get(), &CQelvarDlg::finished);
    w.window->show();
    w.station().ports.gPortStatus[2].store(1);  // its worker is running
    w.dialogs.answer = false;
    w.window->close();
    QCOMPARE(w.dialogs.questions, 1);
    QVERIFY(w.window->isVisible());
    w.dialogs.answer = true;
    w.window->close();
    QCOMPARE(w.dialogs.questions, 2);
    QVERIFY(!w.window->isVisible());
    QTest::qWait(500);
    QCOMPARE(finished.count(), 0);
    w.station().ports.gPortStatus[2].store(2);  // it has finished
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QVERIFY(!w.page().RunInProgress());
  }
};

QTEST_MAIN(MpPageTest)
#include "test_mp_page.moc"
