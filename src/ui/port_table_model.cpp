#include "ui/port_table_model.h"

#include <array>
#include <string>

#include "ui/ui_thread.h"

namespace qelvar::ui {
namespace {

constexpr std::array<int, discovery::kPortColumns> kColumnWidths = {45, 170, 100, 85, 170,
                                                                    85, 85,  85,  85};

}  // namespace

PortTableModel::PortTableModel(const discovery::PortState& ports, QObject* parent)
    : QAbstractTableModel(parent), ports_(ports) {}

int PortTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : discovery::kPortRows;
}

int PortTableModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return texts_.RdtColumns() ? discovery::kPortColumns : discovery::kColRdtResult;
}

QColor PortTableModel::StatusColour(uint8_t status) {
  if (status == discovery::kRunning) return QColor(0, 255, 0);
  if (status == discovery::kFailed) return QColor(255, 0, 0);
  return QColor(0, 0, 255);
}

int PortTableModel::ColumnWidth(int column) {
  if (column < 0 || column >= discovery::kPortColumns) return 0;
  return kColumnWidths[static_cast<size_t>(column)];
}

QVariant PortTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(texts_.Cell(index.row(), index.column()));
    case Qt::ForegroundRole:
      if (index.column() == discovery::kColStatus) {
        return StatusColour(ports_.gPortStatus[static_cast<size_t>(index.row())].load());
      }
      return QColor(0, 0, 0);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
      return {};
  }
}

QVariant PortTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (role == Qt::DisplayRole) {
    return QString::fromUtf8(
        discovery::kPortColumnHeaders[static_cast<size_t>(section)].data(),
        static_cast<qsizetype>(discovery::kPortColumnHeaders[static_cast<size_t>(section)].size()));
  }
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

void PortTableModel::SetCell(int row, int column, std::string_view text) {
  std::string copy(text);
  RunOnThreadOf(this, [this, row, column, &copy] {
    texts_.SetCell(row, column, copy);
    if (row < 0 || row >= discovery::kPortRows || column >= columnCount()) return;
    // The whole row: the status colour may have changed with any write.
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
  });
}

void PortTableModel::InitPortRows() {
  RunOnThreadOf(this, [this] {
    texts_.InitPortRows();
    emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
  });
}

void PortTableModel::SetRdtColumns(bool present) {
  RunOnThreadOf(this, [this, present] {
    if (texts_.RdtColumns() == present) return;
    if (present) {
      beginInsertColumns(QModelIndex(), discovery::kColRdtResult, discovery::kColBin);
      texts_.SetRdtColumns(true);
      endInsertColumns();
    } else {
      beginRemoveColumns(QModelIndex(), discovery::kColRdtResult, discovery::kColBin);
      texts_.SetRdtColumns(false);
      endRemoveColumns();
    }
  });
}

}  // namespace qelvar::ui
