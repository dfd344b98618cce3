// The port list as a table model over the engine's texts: 16 rows, columns 0
// to 6 always and 7 and 8 ("RDT Result", "Bin") unless the run is an RDT run.
// Column 1 ("Status") is coloured by the port's run status at paint time.
// Workers write cells through the model as a PortListSink: the write runs on
// the window's thread while the worker waits.
#pragma once

#include <QAbstractTableModel>
#include <QColor>

#include "discovery/port_list.h"
#include "discovery/ports.h"

namespace qelvar::ui {

class PortTableModel final : public QAbstractTableModel, public discovery::PortListSink {
  Q_OBJECT

 public:
  explicit PortTableModel(const discovery::PortState& ports, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // PortListSink, from any thread.
  void SetCell(int row, int column, std::string_view text) override;
  void InitPortRows() override;
  void SetRdtColumns(bool present) override;

  [[nodiscard]] std::string Cell(int row, int column) const { return texts_.Cell(row, column); }
  [[nodiscard]] bool RdtColumns() const { return texts_.RdtColumns(); }

  // Status text colour of a port status: running green, failed red, every
  // other status blue.
  [[nodiscard]] static QColor StatusColour(uint8_t status);
  // Column widths in pixels.
  [[nodiscard]] static int ColumnWidth(int column);

 private:
  discovery::PortListModel texts_;
  const discovery::PortState& ports_;
};

}  // namespace qelvar::ui
