#include "ui/barcode_dialog.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTableWidget>
#include <cstring>

#include "engine/barcode_list.h"
#include "settings/control_ids.h"
#include "settings/settings_file.h"
#include "ui/dialog_runner.h"
#include "ui/template_builder.h"

namespace qelvar::ui {

namespace ctl = settings::ctl::barcode;

DialogBarCode::DialogBarCode(engine::Station& station, settings::MpSettings& settings,
                             std::string settingsPath, DialogRunner& dialogs,
                             settings::MessageSink& messages, QWidget* parent)
    : QDialog(parent),
      station_(station),
      settings_(settings),
      settingsPath_(std::move(settingsPath)),
      dialogs_(dialogs),
      messages_(messages) {
  setObjectName(QStringLiteral("137"));
  setWindowTitle(QStringLiteral("Dialog Barcode"));
  TemplateBuilder t(this, 8, 313, 197);
  auto* finish = t.Button(ctl::kFinish, QStringLiteral("Finish"), 169, 12, 50, 14);
  finish->setDefault(true);
  t.Static(ctl::kSnLabel, QStringLiteral("SN"), 10, 15, 10, 8);
  edit_ = t.Edit(ctl::kSnEdit, 25, 12, 133, 14, 20);
  MakeUpperCase(edit_);
  list_ = t.Add<QTableWidget>(ctl::kList, 7, 33, 299, 157);
  auto* clear = t.Button(ctl::kClear, QStringLiteral("Clear"), 248, 12, 50, 14);

  list_->setShowGrid(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 2);
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->setColumnCount(2);
  list_->setHorizontalHeaderLabels(
      {QStringLiteral("Port Number"), QStringLiteral("Serial Number")});
  list_->setColumnWidth(0, 45);
  list_->setColumnWidth(1, 230);
  ResetRows();
  for (int k = 0; k < station_.gBarcodeCount; ++k) {
    if (!station_.gBarcodeDone) break;
    list_->setItem(
        k, 1,
        new QTableWidgetItem(QString::fromStdString(engine::ShownBarcode(station_, settings_, k))));
  }

  // Enter is taken before any control sees it, wherever the focus is.
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

  connect(finish, &QPushButton::clicked, this, &DialogBarCode::Finish);
  connect(clear, &QPushButton::clicked, this, &DialogBarCode::Clear);
  edit_->setFocus();
}

bool DialogBarCode::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      AddCode();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void DialogBarCode::ResetRows() {
  list_->clearContents();
  list_->setRowCount(engine::kMaxBarcodes);
  for (int k = 0; k < engine::kMaxBarcodes; ++k) {
    list_->setItem(k, 0, new QTableWidgetItem(QString::number(k + 1)));
  }
}

void DialogBarCode::AddCode() {
  const int row = station_.gBarcodeCount;
  const std::string code = edit_->text().left(20).toStdString();
  if (engine::AddBarcode(station_, settings_, code) == engine::AddBarcodeResult::kFull) {
    dialogs_.Message(this,
                     QString::fromUtf8(engine::kBarcodeFullText.data(),
                                       static_cast<qsizetype>(engine::kBarcodeFullText.size())),
                     QString::fromUtf8(engine::kBarcodeFullCaption.data(),
                                       static_cast<qsizetype>(engine::kBarcodeFullCaption.size())),
                     QMessageBox::Warning);
    return;
  }
  const char* stored = settings_.barcodes[row];
  list_->setItem(row, 1,
                 new QTableWidgetItem(QString::fromUtf8(
                     stored, static_cast<qsizetype>(strnlen(stored, settings::kBarcodeCapacity)))));
  edit_->clear();
  edit_->setFocus();
}

void DialogBarCode::Clear() {
  engine::ClearBarcodes(station_);
  ResetRows();
  edit_->setFocus();
}

void DialogBarCode::Finish() {
  // The run takes the codes from memory either way; the file only keeps
  // them for the next start of the program, which the operator must know.
  std::string why;
  if (!engine::FinishBarcodes(station_, settings_, settingsPath_, &why)) {
    settings::ShowNotWritten(messages_, why);
  }
  accept();
}

}  // namespace qelvar::ui
