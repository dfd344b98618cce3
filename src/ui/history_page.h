// The "History" page: the ledger's last 1,000 records, newest first, with a
// serial filter; a double click shows the whole record. It reads the ledger
// when shown and on Refresh, never while a port runs on the UI's behalf.
#pragma once

#include <QWidget>
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

  explicit HistoryPage(settings::StationPaths paths, QWidget* parent = nullptr);
  // Reads the ledger again with the current filter.
  void Refresh();
  [[nodiscard]] const std::vector<ledger::Record>& records() const { return records_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowRecord(int row);

  settings::StationPaths paths_;
  QLineEdit* serial_;
  QTableWidget* table_;
  QLabel* note_;
  std::vector<ledger::Record> records_;
};

}  // namespace qelvar::ui
