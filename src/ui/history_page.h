// The "History" page: the ledger's last 1,000 records, newest first, with a
// serial filter; a double click shows the whole record. It reads the ledger
// when shown and on Refresh, never while a port runs on the UI's behalf.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "ledger/record.h"
#include "settings/station_paths.h"

class QLineEdit;
class QTableWidget;
class QLabel;

namespace qelvar::ui {

class HistoryPage final : public QWidget {
  Q_OBJECT

 public:
  static constexpr size_t kRows = 1000;

  // `ledgerUrl` (--ledger), when given, stands in for the settings' [Ledger] Url=.
  explicit HistoryPage(settings::StationPaths paths, std::string ledgerUrl = {},
                       QWidget* parent = nullptr);
  // Reads the ledger again with the current filter.
  void Refresh();
  [[nodiscard]] const std::vector<ledger::Record>& records() const { return records_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowRecord(int row);

  settings::StationPaths paths_;
  std::string ledgerUrl_;
  QLineEdit* serial_;
  QTableWidget* table_;
  QLabel* note_;
  std::vector<ledger::Record> records_;
};

}  // namespace qelvar::ui
