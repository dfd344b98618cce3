// The History page: the station ledger's records, newest first, the serial
// filter, and a ledger that cannot be read.
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "ledger/sqlite_ledger.h"
#include "ui/history_page.h"

namespace qelvar::ui {

class HistoryPageTest : public QObject {
  Q_OBJECT

 private:
  std::filesystem::path dir_;

  ledger::Record Make(const std::string& serial, int64_t endedAtMs) {
    ledger::Record r;
    r.id = ledger::NewUuid();
    r.runId = "run";
    r.station = "line-1";
    r.serial = serial;
    r.endedAtMs = endedAtMs;
    r.startedAtMs = endedAtMs - 1000;
    r.status = "Pass";
    return r;
  }

 private slots:
  void init() {
    dir_ = std::filesystem::temp_directory_path() /
           ("qelvar-history-" + std::to_string(QCoreApplication::applicationPid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "speedQelvar.ini") << "[Identify]\r\nSN=A\r\n";
  }
  void cleanup() { std::filesystem::remove_all(dir_); }

  void showsNewestFirstAndFiltersBySerial() {
    std::string error;
    {
      auto store = ledger::SqliteLedger::Open((dir_ / "ledger.sqlite").string(), &error);
      QVERIFY(store);
      QVERIFY(store->Append(Make("OLD", 1'000'000), &error));
      QVERIFY(store->Append(Make("NEW", 3'000'000), &error));
      QVERIFY(store->Append(Make("MID", 2'000'000), &error));
    }
    HistoryPage page(settings::MakeStationPaths(dir_.string()));
    page.Refresh();
    auto* table = page.findChild<QTableWidget*>(QStringLiteral("historyTable"));
    QVERIFY(table);
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(table->item(0, 3)->text(), QStringLiteral("NEW"));
    QCOMPARE(table->item(2, 3)->text(), QStringLiteral("OLD"));
    page.findChild<QLineEdit*>(QStringLiteral("historySerial"))->setText(QStringLiteral("MID"));
    page.Refresh();
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(page.records().at(0).serial, std::string("MID"));
  }

  // --ledger names the line's server: the page reads it, not the station's
  // own SQLite ledger (whose records must not show as the line's).
  void theLedgerGivenOnTheCommandLineIsTheOneRead() {
    std::string error;
    {
      auto store = ledger::SqliteLedger::Open((dir_ / "ledger.sqlite").string(), &error);
      QVERIFY(store);
      QVERIFY(store->Append(Make("LOCAL", 1'000'000), &error));
    }
    HistoryPage local(settings::MakeStationPaths(dir_.string()));
    local.Refresh();
    QCOMPARE(local.records().size(), size_t{1});

    // Port 1 on the loopback: refused at once, nothing listens there.
    HistoryPage line(settings::MakeStationPaths(dir_.string()),
                     "postgresql://127.0.0.1:1/qelvar?connect_timeout=2");
    line.Refresh();
    QVERIFY(line.records().empty());
    bool said = false;
    for (QLabel* label : line.findChildren<QLabel*>())
      said = said || label->text().contains(QStringLiteral("cannot be read"));
    QVERIFY(said);
  }

  void anUnreadableLedgerSaysSoInsteadOfShowingRows() {
    std::filesystem::create_directories(dir_ / "ledger.sqlite");
    HistoryPage page(settings::MakeStationPaths(dir_.string()));
    page.Refresh();
    QCOMPARE(page.findChild<QTableWidget*>(QStringLiteral("historyTable"))->rowCount(), 0);
    const QList<QLabel*> labels = page.findChildren<QLabel*>();
    bool said = false;
    for (QLabel* label : labels)
      said = said || label->text().contains(QStringLiteral("cannot be read"));
    QVERIFY(said);
  }
};

}  // namespace qelvar::ui

QTEST_MAIN(qelvar::ui::HistoryPageTest)
#include "test_history_page.moc"
