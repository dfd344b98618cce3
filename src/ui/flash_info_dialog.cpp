#include "ui/flash_info_dialog.h"

#include <QHeaderView>
#include <QTableWidget>

#include "settings/flash_tables.h"
#include "ui/template_builder.h"

namespace qelvar::ui {
namespace {

QTableWidget* MakeList(TemplateBuilder& t, int id, int x, int y, int w, int h) {
  auto* list = t.Add<QTableWidget>(id, x, y, w, h);
  list->setShowGrid(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->verticalHeader()->hide();
  list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->horizontalHeader()->setStretchLastSection(false);
  list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 2);
  return list;
}

void SetColumns(QTableWidget* list, const std::array<int, 3>& widths) {
  list->setColumnCount(3);
  list->setHorizontalHeaderLabels(
      {QStringLiteral("CE"), QStringLiteral("Ch0"), QStringLiteral("Ch1")});
  for (int c = 0; c < 3; ++c) list->setColumnWidth(c, widths[static_cast<size_t>(c)]);
}

void SetText(QTableWidget* list, int row, int column, const std::string& text) {
  list->setItem(row, column, new QTableWidgetItem(QString::fromStdString(text)));
}

}  // namespace

DialogFlashInfo::DialogFlashInfo(const engine::RunState& run, int port, QWidget* parent)
    : QDialog(parent), run_(run), port_(port) {
  setObjectName(QStringLiteral("139"));
  setWindowTitle(QStringLiteral("RDT Info"));
  TemplateBuilder t(this, 9, 351, 215);

  auto* fct = t.Radio(1051, QStringLiteral("FCT"), 9, 109, 26, 10);
  auto* rdt = t.Radio(1053, QStringLiteral("RDT"), 43, 109, 26, 10);
  auto* runBad = t.Radio(1060, QStringLiteral("RUN BAD"), 77, 109, 43, 10);
  auto* dft = t.Radio(1052, QStringLiteral("DFT"), 127, 109, 27, 10);
  auto* ok = t.Button(1, QString::fromUtf8("确定"), 317, 194, 27, 14);
  ok->setDefault(true);
  t.Static(1041, QStringLiteral("CH"), 12, 12, 11, 8);
  auto* chCount = t.Static(1042, QStringLiteral("Static"), 31, 12, 19, 8);
  t.Static(1043, QStringLiteral("CE"), 71, 12, 11, 8);
  auto* ceCount = t.Static(1044, QStringLiteral("Static"), 88, 12, 19, 8);
  t.Static(1045, QStringLiteral("LUN"), 124, 12, 13, 8);
  auto* lunCount = t.Static(1046, QStringLiteral("Static"), 142, 12, 19, 8);
  t.Static(1047, QStringLiteral("PLANE"), 178, 11, 21, 8);
  auto* planeCount = t.Static(1048, QStringLiteral("Static"), 206, 11, 19, 8);
  flashIds_ = MakeList(t, 1049, 7, 26, 337, 64);
  counts_ = MakeList(t, 1050, 7, 125, 157, 70);
  t.Static(1054, QStringLiteral("All Bad"), 210, 145, 38, 8);
  allBad_ = t.Static(1055, QStringLiteral("Static"), 267, 146, 36, 11);
  t.Static(1056, QStringLiteral("RDT result"), 210, 163, 45, 8);
  auto* verdict = t.Static(1057, QString(), 267, 162, 36, 13);
  t.Static(1058, QStringLiteral("Port"), 211, 127, 38, 8);
  auto* portLabel = t.Static(1059, QString(), 267, 126, 36, 9);
  auto* flashName = t.Static(1061, QStringLiteral("Static"), 282, 11, 49, 8);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(fct, &QRadioButton::clicked, this, [this] { FillCounts(CountKind::kFct); });
  connect(dft, &QRadioButton::clicked, this, [this] { FillCounts(CountKind::kDft); });
  connect(rdt, &QRadioButton::clicked, this, [this] { FillCounts(CountKind::kRdt); });
  connect(runBad, &QRadioButton::clicked, this, [this] { FillCounts(CountKind::kRunBad); });

  // Opening.
  dft->setChecked(true);
  SetColumns(counts_, {35, 100, 100});
  const bool known = port_ >= 0 && port_ < discovery::kPortCount;
  const engine::NandReport report =
      known ? run_.gNandReport[static_cast<size_t>(port_)].Read() : engine::NandReport{};
  chCount->setText(QString::number(report.chCount));
  ceCount->setText(QString::number(report.ceCount));
  lunCount->setText(QString::number(report.lunCount));
  planeCount->setText(QString::number(report.planeCount));
  portLabel->setText(QString::number(port_));
  const size_t detected = run_.gDetectedFlashIndex.load();
  flashName->setText(
      detected < settings::kFlashNameTable.size()
          ? QString::fromLatin1(settings::kFlashNameTable[detected].data(),
                                static_cast<qsizetype>(settings::kFlashNameTable[detected].size()))
          : QString());
  SetColumns(flashIds_, {45, 150, 150});
  flashIds_->setRowCount(engine::kCesPerChannel);
  for (int ce = 0; ce < engine::kCesPerChannel; ++ce) {
    SetText(flashIds_, ce, 0, "CE" + std::to_string(ce));
    for (int ch = 0; ch < engine::kChannels; ++ch) {
      SetText(flashIds_, ce, ch + 1, FlashIdCellText(report, ch, ce));
    }
  }
  runBad_ = RunBadCounts(report);
  const bool pass = known && run_.gRdtPass[static_cast<size_t>(port_)].load() != 0;
  verdict->setText(pass ? QStringLiteral("RDT PASS") : QStringLiteral("RDT FAIL"));
  FillCounts(CountKind::kDft);
}

void DialogFlashInfo::FillCounts(CountKind kind) {
  const bool known = port_ >= 0 && port_ < discovery::kPortCount;
  const engine::NandReport live =
      known ? run_.gNandReport[static_cast<size_t>(port_)].Read() : engine::NandReport{};
  const engine::CeCounts& values = kind == CountKind::kFct   ? live.fctBad
                                   : kind == CountKind::kDft ? live.dftBad
                                   : kind == CountKind::kRdt ? live.rdtFail
                                                             : runBad_;
  const CountTable table = MakeCountTable(live, values);
  counts_->clearContents();
  counts_->setRowCount(engine::kCesPerChannel + 1);
  for (int ce = 0; ce < engine::kCesPerChannel; ++ce) {
    SetText(counts_, ce, 0, "CE" + std::to_string(ce));
    for (int ch = 0; ch < engine::kChannels; ++ch) {
      SetText(counts_, ce, ch + 1, table.cells[static_cast<size_t>(ce)][static_cast<size_t>(ch)]);
    }
  }
  SetText(counts_, engine::kCesPerChannel, 0, "All");
  for (int ch = 0; ch < engine::kChannels; ++ch) {
    SetText(counts_, engine::kCesPerChannel, ch + 1, table.channelSums[static_cast<size_t>(ch)]);
  }
  allBad_->setText(QString::fromStdString(table.allBad));
}

}  // namespace qelvar::ui
