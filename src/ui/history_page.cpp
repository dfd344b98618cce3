#include "ui/history_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "engine/ledger_link.h"
#include "ledger/ledger.h"
#include "ledger/record_format.h"

namespace qelvar::ui {

HistoryPage::HistoryPage(settings::StationPaths paths, std::string ledgerUrl, QWidget* parent)
    : QWidget(parent), paths_(std::move(paths)), ledgerUrl_(std::move(ledgerUrl)) {
  setObjectName(QStringLiteral("history"));
  auto* layout = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout();
  bar->addWidget(new QLabel(QStringLiteral("Serial"), this));
  serial_ = new QLineEdit(this);
  serial_->setObjectName(QStringLiteral("historySerial"));
  serial_->setMaxLength(20);
  bar->addWidget(serial_);
  auto* refresh = new QPushButton(QStringLiteral("Refresh"), this);
  refresh->setObjectName(QStringLiteral("historyRefresh"));
  bar->addWidget(refresh);
  newer_ = new QPushButton(QStringLiteral("Newer"), this);
  newer_->setObjectName(QStringLiteral("historyNewer"));
  bar->addWidget(newer_);
  older_ = new QPushButton(QStringLiteral("Older"), this);
  older_->setObjectName(QStringLiteral("historyOlder"));
  bar->addWidget(older_);
  layout->addLayout(bar);
  table_ = new QTableWidget(0, 7, this);
  table_->setObjectName(QStringLiteral("historyTable"));
  table_->setHorizontalHeaderLabels({QStringLiteral("Ended (UTC)"), QStringLiteral("Station"),
                                     QStringLiteral("Port"), QStringLiteral("Serial"),
                                     QStringLiteral("Bin"), QStringLiteral("Code"),
                                     QStringLiteral("Status")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(table_);
  note_ = new QLabel(this);
  layout->addWidget(note_);
  connect(refresh, &QPushButton::clicked, this, [this] { Refresh(); });
  connect(newer_, &QPushButton::clicked, this, [this] { Newer(); });
  connect(older_, &QPushButton::clicked, this, [this] { Older(); });
  connect(serial_, &QLineEdit::returnPressed, this, [this] { Refresh(); });
  connect(table_, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { ShowRecord(row); });
}

void HistoryPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Refresh();
}

void HistoryPage::Refresh() {
  pages_.assign(1, PageStart{});
  Load(pages_.back());
}

void HistoryPage::Older() {
  if (!more_ || records_.empty()) return;
  // Records that ended in the same millisecond as the oldest shown may
  // straddle the page's end: the next page starts at that moment and leaves
  // out the ones already shown.
  PageStart next;
  next.untilMs = records_.back().endedAtMs + 1;
  for (const ledger::Record& r : records_) {
    if (r.endedAtMs == records_.back().endedAtMs) next.shownIds.insert(r.id);
  }
  pages_.push_back(std::move(next));
  Load(pages_.back());
}

void HistoryPage::Newer() {
  if (pages_.size() < 2) return;
  pages_.pop_back();
  Load(pages_.back());
}

void HistoryPage::Load(const PageStart& start) {
  engine::LedgerConfig config = engine::ReadLedgerConfig(paths_, ledgerUrl_);
  std::string error;
  records_.clear();
  table_->setRowCount(0);
  more_ = false;
  newer_->setEnabled(pages_.size() > 1);
  older_->setEnabled(false);
  std::unique_ptr<ledger::Ledger> opened =
      ledger::OpenLedger(config.url, paths_.gExeDir, &error, config.timeoutSeconds);
  ledger::HistoryQuery query;
  query.serial = serial_->text().trimmed().toStdString();
  query.untilMs = start.untilMs;
  // One more than a page tells whether older records exist.
  query.limit = kRows + start.shownIds.size() + 1;
  std::vector<ledger::Record> read;
  if (!opened || !opened->History(query, &read, &error)) {
    note_->setText(QString::fromStdString("The ledger cannot be read: " + error));
    return;
  }
  for (ledger::Record& r : read) {
    if (start.shownIds.count(r.id) > 0) continue;
    if (records_.size() == kRows) {
      more_ = true;
      break;
    }
    records_.push_back(std::move(r));
  }
  older_->setEnabled(more_);
  table_->setRowCount(static_cast<int>(records_.size()));
  for (size_t i = 0; i < records_.size(); ++i) {
    const ledger::Record& r = records_[i];
    const int row = static_cast<int>(i);
    const QString cells[] = {
        QString::fromStdString(ledger::IsoTimeOf(r.endedAtMs)),
        QString::fromStdString(r.station),
        QString::number(r.port + 1),
        QString::fromStdString(r.serial),
        r.bin == ledger::kNoBinValue ? QStringLiteral("-") : QString::number(r.bin),
        QString::number(r.failCode),
        QString::fromStdString(r.status)};
    for (int c = 0; c < 7; ++c) table_->setItem(row, c, new QTableWidgetItem(cells[c]));
  }
  const size_t first = (pages_.size() - 1) * kRows + 1;
  note_->setText(records_.empty() ? QStringLiteral("0 records")
                                  : QStringLiteral("records %1-%2, newest first%3")
                                        .arg(first)
                                        .arg(first + records_.size() - 1)
                                        .arg(more_ ? QStringLiteral("; Older shows more")
                                                   : QString()));
}

void HistoryPage::ShowRecord(int row) {
  if (row < 0 || static_cast<size_t>(row) >= records_.size()) return;
  QMessageBox box(QMessageBox::Information, QStringLiteral("Record"),
                  QString::fromStdString(ledger::RecordDetails(records_[static_cast<size_t>(row)])),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("historyRecord"));
  box.exec();
}

}  // namespace qelvar::ui
