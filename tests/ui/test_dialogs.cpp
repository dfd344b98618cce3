// The barcode dialog, the parameter page and the RDT info dialog's counts.
#include <QGlyphRun>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTextLayout>
#include <algorithm>
#include <cstdio>

#include "engine/barcode_list.h"
#include "ui/barcode_dialog.h"
#include "ui/flash_info_dialog.h"
#include "ui/rdt_info_text.h"
#include "ui/unattended_dialogs.h"
#include "ui_fixture.h"

using namespace qelvar;
using namespace qelvar::ui;
using namespace qelvar::ui::testing;

namespace {

// Types each code into the SN edit and presses Enter, as a scanner does.
void Scan(QDialog& d, const QStringList& codes) {
  auto* edit = Control<QLineEdit>(d, ctl::barcode::kSnEdit);
  for (const QString& code : codes) {
    QTest::keyClicks(edit, code);
    QTest::keyClick(edit, Qt::Key_Return);
  }
}

QString CodeCell(QDialog& d, int row) {
  auto* list = Control<QTableWidget>(d, ctl::barcode::kList);
  return list->item(row, 1) ? list->item(row, 1)->text() : QString();
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void barcodeEnterAddsCodesAndFinishRecordsThem() {
    StationWindow w;
    QStringList seen;
    w.dialogs.scripts.push_back([&](QDialog& d) {
      Scan(d, {"qv01", "", "QV03"});
      QVERIFY(d.isVisible());  // Enter never presses Finish
      seen << CodeCell(d, 0) << CodeCell(d, 1) << CodeCell(d, 2)
           << Control<QTableWidget>(d, ctl::barcode::kList)->item(15, 0)->text();
      Click(Control<QPushButton>(d, ctl::barcode::kFinish));
    });
    Click(w.Mp(ctl::kBarCodeButton));
    QCOMPARE(seen, (QStringList{"QV01", "", "QV03", "16"}));
    QCOMPARE(int(w.station().gBarcodeCount), 3);
    QCOMPARE(int(w.station().gBarcodeDone), 1);
    const std::string file = w.SettingsFile();
    QVERIFY(file.find("[BarCode]\r\nPort1=QV01\r\nPort2=\r\nPort3=QV03\r\n") != std::string::npos);
    QCOMPARE(QString::fromLatin1(w.station().options.Current()->barcodes[2]),
             QStringLiteral("QV03"));

    // Reopened, the list shows the codes; Cancel then drops them.
    w.dialogs.scripts.push_back([&](QDialog& d) {
      seen = {CodeCell(d, 0), CodeCell(d, 2)};
      QTest::keyClick(&d, Qt::Key_Escape);
    });
    Click(w.Mp(ctl::kBarCodeButton));
    QCOMPARE(seen, (QStringList{"QV01", "QV03"}));
    QCOMPARE(int(w.station().gBarcodeCount), 0);
    QCOMPARE(int(w.station().gBarcodeDone), 1);
    w.dialogs.scripts.push_back([&](QDialog& d) {
      seen = {CodeCell(d, 0)};
      QTest::keyClick(&d, Qt::Key_Escape);
    });
    Click(w.Mp(ctl::kBarCodeButton));
    QCOMPARE(seen, QStringList{QString()});
  }

  void barcodeSeventeenthCodeIsRefusedAndCodesAreCutTo20() {
    StationWindow w;
    QString kept;
    w.dialogs.scripts.push_back([&](QDialog& d) {
      QStringList codes;
      for (int k = 0; k < 16; ++k) codes << QStringLiteral("c%1-abcdefghijklmnopqrstuvwxyz").arg(k);
      Scan(d, codes);
      auto* edit = Control<QLineEdit>(d, ctl::barcode::kSnEdit);
      QTest::keyClicks(edit, QStringLiteral("x17"));
      QTest::keyClick(edit, Qt::Key_Return);
      kept = edit->text();
      Click(Control<QPushButton>(d, ctl::barcode::kFinish));
    });
    Click(w.Mp(ctl::kBarCodeButton));
    QCOMPARE(w.dialogs.messages.size(), size_t{1});
    QCOMPARE(w.dialogs.messages[0].text, QStringLiteral("Add Bar code Fail"));
    QCOMPARE(w.dialogs.messages[0].caption, QStringLiteral("MAX_SUPPORT_16"));
    QCOMPARE(w.dialogs.messages[0].icon, QMessageBox::Warning);
    QCOMPARE(kept, QStringLiteral("X17"));
    QCOMPARE(int(w.station().gBarcodeCount), 16);
    QCOMPARE(QString::fromLatin1(w.station().options.Current()->barcodes[15]),
             QStringLiteral("C15-ABCDEFGHIJKLMNOP"));
    QVERIFY(w.SettingsFile().find("Port16=C15-ABCDEFGHIJKLMNOP\r\n") != std::string::npos);
  }

  void barcodeClearEmptiesTheListAndFinishWithoutCodesWritesNothing() {
    StationWindow w;
    w.dialogs.scripts.push_back([&](QDialog& d) {
      Scan(d, {"A1", "A2"});
      Click(Control<QPushButton>(d, ctl::barcode::kClear));
      QCOMPARE(CodeCell(d, 0), QString());
      Click(Control<QPushButton>(d, ctl::barcode::kFinish));
    });
    Click(w.Mp(ctl::kBarCodeButton));
    QCOMPARE(int(w.station().gBarcodeCount), 0);
    QCOMPARE(int(w.station().gBarcodeDone), 0);
    QVERIFY(w.SettingsFile().find("[BarCode]") == std::string::npos);
  }

  void parameterPageWritesEveryChangeAtOnce() {
    StationWindow w;
    auto* maxHours = w.Param<QLineEdit>(ctl::param::kMaxRunHours);
    QCOMPARE(maxHours->text(), QStringLiteral("3"));
    QVERIFY(!maxHours->isEnabled());  // RdtParamEn is 0
    QTest::mouseClick(w.Param(ctl::param::kRdtParamEnable), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(maxHours->isEnabled());
    QVERIFY(w.SettingsFile().find("RdtParamEn=1") != std::string::npos);
    QCOMPARE(int(w.station().options.Current()->RdtParamEn), 1);

    maxHours->selectAll();
    QStringList written;
    for (QChar c : QStringLiteral("16x")) {
      QTest::keyClick(maxHours, c.toLatin1());
      const std::string file = w.SettingsFile();
      const size_t at = file.find("MaxRunHours=");
      written << QString::fromStdString(file.substr(at + 12, file.find('\r', at) - at - 12));
    }
    QCOMPARE(written, (QStringList{"1", "16", "16x"}));
    QCOMPARE(int(w.station().options.Current()->MaxRunHours), 16);

    auto* resv = w.Param<QLineEdit>(ctl::param::kResv2);
    resv->setText(QStringLiteral("65537"));
    QCOMPARE(int(w.station().options.Current()->Resv2), 1);
    resv->setText(QStringLiteral("-1"));
    QCOMPARE(int(w.station().options.Current()->Resv2), 65535);

    QTest::mouseClick(w.Param(ctl::param::kTem54), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(w.SettingsFile().find("54TEM=1") != std::string::npos);
    QCOMPARE(int(w.station().options.Current()->Tem54), 1);
  }

  // The station folder gone (a pulled stick): the operator hears of it once,
  // not once per key typed, and again after a write that worked.
  void parameterPageSaysOnceThatAChangeWasNotWritten() {
    StationWindow w;
    const auto away = std::filesystem::path(w.folder.string() + "-away");
    auto notWritten = [&] {
      return std::count_if(w.dialogs.messages.begin(), w.dialogs.messages.end(),
                           [](const ShownMessage& m) {
                             return m.caption == QStringLiteral("Can NOT Write File") &&
                                    m.text.startsWith(QStringLiteral("Settings not saved: "));
                           });
    };
    QCOMPARE(notWritten(), 0);
    std::filesystem::rename(w.folder, away);
    QTest::mouseClick(w.Param(ctl::param::kRdtParamEnable), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(notWritten(), 1);
    // The change holds for the run all the same.
    QCOMPARE(int(w.station().options.Current()->RdtParamEn), 1);
    auto* maxHours = w.Param<QLineEdit>(ctl::param::kMaxRunHours);
    maxHours->selectAll();
    QTest::keyClicks(maxHours, QStringLiteral("24"));
    QCOMPARE(notWritten(), 1);

    std::filesystem::rename(away, w.folder);
    QTest::keyClick(maxHours, '0');
    QVERIFY(w.SettingsFile().find("MaxRunHours=240") != std::string::npos);
    std::filesystem::rename(w.folder, away);
    QTest::mouseClick(w.Param(ctl::param::kTem54), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(notWritten(), 2);
    std::filesystem::rename(away, w.folder);
  }

  void barcodeFinishSaysWhenTheListCouldNotBeRecorded() {
    StationWindow w;
    const auto away = std::filesystem::path(w.folder.string() + "-away");
    w.dialogs.scripts.push_back([&](QDialog& d) {
      Scan(d, {"QV01"});
      std::filesystem::rename(w.folder, away);
      Click(Control<QPushButton>(d, ctl::barcode::kFinish));
    });
    Click(w.Mp(ctl::kBarCodeButton));
    std::filesystem::rename(away, w.folder);
    QCOMPARE(int(w.station().gBarcodeDone), 1);  // the run still takes the codes
    QVERIFY(!w.dialogs.messages.empty());
    QCOMPARE(w.dialogs.messages.back().caption, QStringLiteral("Can NOT Write File"));
    QVERIFY(w.SettingsFile().find("[BarCode]") == std::string::npos);
  }

  void parameterPageAddsMissingRdtKeysWhenItOpens() {
    StationWindow w("[MPOption]\r\nScanRDT=1\r\n");
    const std::string file = w.SettingsFile();
    QVERIFY(file.find("[RDTParam]\r\nErrBitSlc=60\r\nPeCycSlc=4\r\nErrBitTlc=160\r\nPeCycTlc=4\r\n"
                      "MaxRunHours=3\r\nMaxLaterBadLun=256\r\nStartWeru=0\r\nEndWeru=0\r\n"
                      "Resv1=0\r\nResv2=0\r\n") != std::string::npos);
    // With RDT checked, the list starts without "RDT Result" and "Bin".
    QCOMPARE(w.page().model().columnCount(), 7);
  }

  // Tab walks the page as its template lists the controls.
  void parameterPageTabOrderFollowsTheTemplate() {
    StationWindow w;
    QWidget& page = w.window->paramPage();
    QList<int> order;
    QWidget* next = &page;
    for (int i = 0; i < 200; ++i) {
      next = next->nextInFocusChain();
      if (next == &page) break;
      if (next->parentWidget() == &page && (next->focusPolicy() & Qt::TabFocus)) {
        order << next->objectName().toInt();
      }
    }
    namespace p = ctl::param;
    QCOMPARE(order, (QList<int>{p::kRdtParamEnable, p::kPeCycSlc, p::kErrBitSlc, p::kPeCycTlc,
                                p::kErrBitTlc, p::kMaxRunHours, p::kMaxLaterBadLun, p::kStartWeru,
                                p::kEndWeru, p::kResv1, p::kResv2, p::kJumpToFT3, p::kRdtRecordEn,
                                p::kPrintBbt, p::kTem54, p::kBdipm, p::kBhipm}));
  }

  // The RDT Info dialog's OK button is labelled in Chinese: a font on the
  // machine must have the glyphs, or the operator sees boxes.
  void rdtInfoOkButtonCanDrawItsText() {
    engine::RunState run;
    DialogFlashInfo dialog(run, 0);
    auto* ok = Control<QPushButton>(dialog, ctl::flash_info::kOk);
    QVERIFY(ok != nullptr);
    QCOMPARE(ok->text(), QString::fromUtf8("确定"));
    QTextLayout layout(ok->text(), ok->font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    int glyphs = 0;
    for (const QGlyphRun& glyphRun : layout.glyphRuns()) {
      const QRawFont font = glyphRun.rawFont();
      for (QChar c : ok->text()) {
        if (font.supportsCharacter(c)) ++glyphs;
      }
      for (quint32 index : glyphRun.glyphIndexes())
        QVERIFY2(index != 0, qPrintable(font.familyName()));
    }
    QVERIFY2(glyphs >= ok->text().size(), "no installed font has the button's glyphs");
  }

  // Without a person in front of the window a message box never waits: its
  // text goes to the log, it stays open, and the caller hears of it once,
  // from the event loop, to picture it.
  void unattendedMessageBoxesNeverWait() {
    char text[512] = {};
    std::FILE* log = fmemopen(text, sizeof text - 1, "w");
    QVERIFY(log != nullptr);
    int pictured = 0;
    QWidget* seen = nullptr;
    UnattendedDialogs dialogs(
        [&](QWidget& box) {
          ++pictured;
          seen = &box;
        },
        log);
    QWidget window;
    window.resize(600, 400);
    window.show();
    dialogs.Message(&window, QStringLiteral("Format para error!"), QString(), QMessageBox::NoIcon);
    dialogs.Message(&window, QStringLiteral("Select FW File *bin"),
                    QStringLiteral("Open File Fail"), QMessageBox::Warning);
    QCOMPARE(pictured, 0);  // not from inside the caller
    QTRY_COMPARE(pictured, 1);
    QTest::qWait(50);
    QCOMPARE(pictured, 1);
    QVERIFY(seen == dialogs.FirstBox() && seen->isVisible());
    QVERIFY(dialogs.Ask(&window, QStringLiteral("Close?"), QString()));
    std::fclose(log);
    QCOMPARE(QString::fromUtf8(text),
             QStringLiteral("qelvar: Format para error!\nqelvar: Open File Fail: Select FW File "
                            "*bin\nqelvar: Close? Yes\n"));

    // The picture carries the box over the window's middle.
    QWidget* box = dialogs.FirstBox();
    const QImage picture = GrabWithBox(window, box).toImage();
    const QImage alone = window.grab().toImage();
    const QImage boxImage = box->grab().toImage();
    QCOMPARE(picture.size(), alone.size());
    const QPoint at((window.width() - box->width()) / 2, (window.height() - box->height()) / 2);
    QCOMPARE(picture.copy(QRect(at, box->size())), boxImage.convertToFormat(picture.format()));
  }

  void countTableShowsAbsentAndBadCesAndKeepsTheirCountsInTheSums() {
    engine::NandReport r;
    r.flashId[0][0] = 0x2C;  // ch0 ce0
    r.flashId[1][0] = 0x2C;  // ch0 ce1, a bad CE
    r.flashId[4][0] = 0x2C;  // ch1 ce0
    r.ceBin[0][1] = 255;
    r.ceBin[0][0] = 2;
    r.ceMr[0][0] = 7;
    r.ceBin[1][0] = 1;
    r.dftBad = {{{5, 4, 0, 9}, {1, 0, 0, 0}}};  // 9 on an absent CE
    r.rdtFail = {{{1, 0, 0, 0}, {2, 0, 0, 0}}};
    r.fctBad = {{{2, 1, 0, 0}, {0, 0, 0, 0}}};
    const CountTable dft = MakeCountTable(r, r.dftBad);
    QCOMPARE(QString::fromStdString(dft.cells[0][0]), QStringLiteral("5,  Bin2 MR 7"));
    QCOMPARE(QString::fromStdString(dft.cells[1][0]), QStringLiteral("4,  Bad CE MR 0"));
    QCOMPARE(QString::fromStdString(dft.cells[3][0]), QStringLiteral("  "));
    QCOMPARE(QString::fromStdString(dft.cells[0][1]), QStringLiteral("1,  Bin1 MR 0"));
    QCOMPARE(QString::fromStdString(dft.channelSums[0]), QStringLiteral("18"));
    QCOMPARE(QString::fromStdString(dft.allBad), QStringLiteral("19"));
    const CountTable runBad = MakeCountTable(r, RunBadCounts(r));
    QCOMPARE(QString::fromStdString(runBad.cells[0][1]), QStringLiteral("-1,  Bin1 MR 0"));
    QCOMPARE(QString::fromStdString(runBad.cells[0][0]), QStringLiteral("2,  Bin2 MR 7"));
    QCOMPARE(QString::fromStdString(runBad.allBad), QStringLiteral("13"));
  }
};

QTEST_MAIN(DialogsTest)
#include "test_dialogs.moc"
