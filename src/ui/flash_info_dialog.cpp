#include "ui/flash_info_dialog.h"

#include <QHeaderView>
#include <QTableWidget>

#include "settings/control_ids.h"
#include "settings/flash_tables.h"
#include "ui/template_builder.h"

namespace qelvar::ui {
namespace {

namespace ctl = settings::ctl::flash_info;

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

  auto* fct = t.Radio(ctl::kFctRadio, QStringLiteral("FCT"), 9, 109, 26, 10);
  auto* rdt = t.Radio(ctl::kRdtRadio, QStringLiteral("RDT"), 43, 109, 26, 10);
  auto* runBad = t.Radio(ctl::kRunBadRadio, QStringLiteral("RUN BAD"), 77, 109, 43, 10);
  auto* dft = t.Radio(ctl::kDftRadio, QStringLiteral("DFT"), 127, 109, 27, 10);
  auto* ok = t.Button(ctl::kOk, QString::fromUtf8("确定"), 317, 194, 27, 14);
  ok->setDefault(true);
  t.Static(ctl::kChLabel, QStringLiteral("CH"), 12, 12, 11, 8);
  auto* chCount = t.Static(ctl::kChCount, QStringLiteral("Static"), 31, 12, 19, 8);
  t.Static(ctl::kCeLabel, QStringLiteral("CE"), 71, 12, 11, 8);
  auto* ceCount = t.Static(ctl::kCeCount, QStringLiteral("Static"), 88, 12, 19, 8);
  t.Static(ctl::kLunLabel, QStringLiteral("LUN"), 124, 12, 13, 8);
  auto* lunCount = t.Static(ctl::kLunCount, QStringLiteral("Static"), 142, 12, 19, 8);
  t.Static(ctl::kPlaneLabel, QStringLiteral("PLANE"), 178, 11, 21, 8);
  auto* planeCount = t.Static(ctl::kPlaneCount, QStringLiteral("Static"), 206, 11, 19, 8);
  flashIds_ = MakeList(t, ctl::kFlashIdList, 7, 26, 337, 64);
  counts_ = MakeList(t, ctl::kCountList, 7, 125, 157, 70);
  t.Static(ctl::kAllBadLabel, QStringLiteral("All Bad"), 210, 145, 38, 8);
  allBad_ = t.Static(ctl::kAllBadText, QStringLiteral("Static"), 267, 146, 36, 11);
  t.Static(ctl::kVerdictLabel, QStringLiteral("RDT result"), 210, 163, 45, 8);
  auto* verdict = t.Static(ctl::kVerdictText, QString(), 267, 162, 36, 13);
  t.Static(ctl::kPortLabel, QStringLiteral("Port"), 211, 127, 38, 8);
  auto* portLabel = t.Static(ctl::kPortText, QString(), 267, 126, 36, 9);
  auto* flashName = t.Static(ctl::kFlashName, QStringLiteral("Static"), 282, 11, 49, 8);

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
