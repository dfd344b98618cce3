// "RDT Info": one port's NAND geometry, flash IDs, RDT verdict and per-CE
// counts. Reads only; the geometry, IDs, verdict and RUN BAD values are taken
// when it opens, the counts each time a count kind is chosen.
#pragma once

#include <QDialog>

#include "engine/run_state.h"
#include "ui/rdt_info_text.h"

class QTableWidget;
class QLabel;

namespace qelvar::ui {

class DialogFlashInfo final : public QDialog {
  Q_OBJECT

 public:
  DialogFlashInfo(const engine::RunState& run, int port, QWidget* parent = nullptr);

 private:
  void FillCounts(CountKind kind);

  const engine::RunState& run_;
  int port_;
  engine::CeCounts runBad_{};
  QTableWidget* flashIds_;
  QTableWidget* counts_;
  QLabel* allBad_;
};

}  // namespace qelvar::ui
