// The "History" page: the ledger's records 1,000 at a time, newest first,
// with a serial filter; Older and Newer page through them, a double click
// shows the whole record. It reads the ledger when shown, on Refresh and on
// a page change, never while a port runs on the UI's behalf.
#pragma once

#include <QWidget>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "ledger/record.h"
#include "settings/station_paths.h"

class QLineEdit;
class QTableWidget;
class QLabel;
class QPushButton;

namespace qelvar::ui {

class HistoryPage final : public QWidget {
  Q_OBJECT

 public:
  static constexpr size_t kRows = 1000;

  // `ledgerUrl` (--ledger), when given, stands in for the settings' [Ledger] Url=.
  explicit HistoryPage(settings::StationPaths paths, std::string ledgerUrl = {},
                       QWidget* parent = nullptr);
  // Reads the ledger again with the current filter, from its newest record.
  void Refresh();
  // The page of records before the oldest shown, and back.
  void Older();
  void Newer();
  [[nodiscard]] const std::vector<ledger::Record>& records() const { return records_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Where a page starts: records that ended before `untilMs`, but for
  // those of its first moment already shown on the page before it.
  struct PageStart {
    int64_t untilMs = INT64_MAX;
    std::set<std::string> shownIds;
  };
  void Load(const PageStart& start);
  void ShowRecord(int row);

  settings::StationPaths paths_;
  std::string ledgerUrl_;
  QLineEdit* serial_;
  QTableWidget* table_;
  QLabel* note_;
  QPushButton* newer_;
  QPushButton* older_;
  std::vector<ledger::Record> records_;
  std::vector<PageStart> pages_;  // the pages shown so far; the last is this one
  bool more_ = false;             // older records exist
};

}  // namespace qelvar::ui
