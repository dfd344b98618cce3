// The History page: the station ledger's records, newest first, the serial
// filter, paging, and a ledger that cannot be read.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "ledger/sqlite_ledger.h"
#include "support/temp_folder.h"
#include "ui/history_page.h"

namespace qelvar::ui {

class HistoryPageTest : public QObject {
  Q_OBJECT

 private:
  std::optional<qelvar::testing::TempFolder> folder_;
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
    folder_.emplace("history");
    dir_ = folder_->path();
    std::ofstream(dir_ / "speedQelvar.ini") << "[Identify]\r\nSN=A\r\n";
  }
  void cleanup() { folder_.reset(); }

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

  // Older pages through every record once, even where records that ended
  // in the same millisecond straddle a page's end; Newer goes back.
  void pagesThroughEveryRecordOnce() {
    constexpr int kTotal = static_cast<int>(HistoryPage::kRows) + 3;
    std::string error;
    {
      auto store = ledger::SqliteLedger::Open((dir_ / "ledger.sqlite").string(), &error);
      QVERIFY(store);
      for (int i = 0; i < kTotal; ++i) {
        // The 999th newest and the four older ones end in one millisecond.
        const int64_t ended = 10'000'000 - 1000 * std::min(i, 998);
        QVERIFY(store->Append(Make("S" + std::to_string(i), ended), &error));
      }
    }
    HistoryPage page(settings::MakeStationPaths(dir_.string()));
    auto* older = page.findChild<QPushButton*>(QStringLiteral("historyOlder"));
    auto* newer = page.findChild<QPushButton*>(QStringLiteral("historyNewer"));
    QVERIFY(older && newer);
    page.Refresh();
    QCOMPARE(page.records().size(), HistoryPage::kRows);
    QVERIFY(older->isEnabled());
    QVERIFY(!newer->isEnabled());
    std::set<std::string> seen;
    for (const ledger::Record& r : page.records()) seen.insert(r.id);
    const std::string newest = page.records().front().id;
    page.Older();
    QCOMPARE(page.records().size(), size_t{3});
    QVERIFY(!older->isEnabled());
    for (const ledger::Record& r : page.records()) QVERIFY(seen.insert(r.id).second);
    QCOMPARE(seen.size(), size_t{kTotal});
    page.Newer();
    QCOMPARE(page.records().size(), HistoryPage::kRows);
    QCOMPARE(page.records().front().id, newest);
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
