#include "ui/param_page.h"

#include <QCheckBox>
#include <QLineEdit>
#include <span>

#include "settings/control_ids.h"
#include "settings/option_table.h"
#include "settings/page_options.h"
#include "ui/template_builder.h"

namespace qelvar::ui {
namespace {

namespace p = settings::ctl::param;

struct EditPlace {
  int labelId;
  const char* label;
  int lx, ly, lw;
  int editId;
  int ex, ey;
};

// Labels and edits of the "RDT Setting" frame, as laid out on the page.
constexpr EditPlace kEditPlaces[] = {
    {p::kPeCycSlcLabel, "Slc Loops", 14, 38, 31, p::kPeCycSlc, 55, 36},
    {p::kErrBitSlcLabel, "Ecc Slc(4K)", 88, 38, 36, p::kErrBitSlc, 129, 36},
    {p::kPeCycTlcLabel, "TLC Loops", 14, 55, 37, p::kPeCycTlc, 55, 52},
    {p::kErrBitTlcLabel, "ECC Tlc(4K)", 88, 54, 38, p::kErrBitTlc, 129, 51},
    {p::kMaxRunHoursLabel, "Max Hours", 14, 69, 38, p::kMaxRunHours, 55, 67},
    {p::kMaxLaterBadLunLabel, "Max Bad", 88, 69, 27, p::kMaxLaterBadLun, 129, 66},
    {p::kStartWeruLabel, "Start", 14, 83, 34, p::kStartWeru, 55, 82},
    {p::kEndWeruLabel, "End", 89, 84, 32, p::kEndWeru, 129, 81},
    {p::kResv1Label, "Resv1", 14, 98, 34, p::kResv1, 55, 98},
    {p::kResv2Label, "Resv2", 89, 99, 32, p::kResv2, 129, 97},
};

struct BoxPlace {
  int id;
  const char* text;
  int x, y, w;
};

constexpr BoxPlace kBoxPlaces[] = {
    {p::kRdtParamEnable, "RDT PARAM ENABLE", 11, 12, 81},
    {p::kJumpToFT3, "Ignore RDT", 11, 121, 52},
    {p::kRdtRecordEn, "Print RDT", 11, 132, 46},
    {p::kPrintBbt, "Print BBT", 11, 143, 45},
    {p::kTem54, "Max 54 ", 11, 155, 41},
    {p::kBdipm, "DIPM", 11, 166, 32},
    {p::kBhipm, "HIPM", 11, 177, 32},
};

}  // namespace

DialogParamSet::DialogParamSet(settings::SettingsStore& store, settings::StationPaths paths,
                               settings::MessageSink& messages, QWidget* parent)
    : QWidget(parent), store_(store), paths_(std::move(paths)), messages_(messages) {
  setObjectName(QStringLiteral("141"));
  TemplateBuilder t(this, 9, 546, 281);
  auto box = [&](const BoxPlace& p) {
    QCheckBox* check = t.Check(p.id, QString::fromLatin1(p.text), p.x, p.y, p.w, 10);
    const int id = p.id;
    connect(check, &QCheckBox::clicked, this, [this, id](bool checked) {
      std::string why;
      bool written = false;
      store_.Update([&](settings::MpSettings& s) {
        written = settings::OnDebugFlagClicked(paths_, s, id, checked, &why);
      });
      Written(written, why);
      if (id == settings::ctl::param::kRdtParamEnable) EnableEdits(checked);
    });
  };
  // Controls are made in the template's order, which is the Tab key's:
  // "RDT PARAM ENABLE" first, then the frame's edits, then the other boxes.
  box(kBoxPlaces[0]);
  t.Group(settings::ctl::param::kRdtSettingGroup, QStringLiteral("RDT Setting"), 10, 25, 163, 94);
  for (const EditPlace& p : kEditPlaces) {
    t.Static(p.labelId, QString::fromLatin1(p.label), p.lx, p.ly, p.lw, 8);
    QLineEdit* edit = t.Edit(p.editId, p.ex, p.ey, 27, 14);
    edits_.push_back(edit);
    const int id = p.editId;
    connect(edit, &QLineEdit::textChanged, this, [this, id](const QString& text) {
      const std::string typed = text.left(15).toStdString();
      std::string why;
      bool written = false;
      store_.Update([&](settings::MpSettings& s) {
        written = settings::OnRdtParamEdited(paths_, s, id, typed, &why);
      });
      Written(written, why);
    });
  }
  for (const BoxPlace& p : std::span(kBoxPlaces).subspan(1)) box(p);
}

void DialogParamSet::Init() {
  const std::shared_ptr<const settings::MpSettings> loaded = store_.Current();
  for (const settings::OptionRow& row : settings::OptionTable()) {
    if (row.page != settings::OptionPage::kParameter) continue;
    const QString id = QString::number(row.control);
    if (row.kind == settings::OptionKind::kNumber16) {
      // setText raises the change notification, which writes the key.
      findChild<QLineEdit*>(id)->setText(
          QString::number(static_cast<qlonglong>(settings::OptionNumber(row, *loaded))));
    } else {
      findChild<QCheckBox*>(id)->setChecked(settings::OptionNumber(row, *loaded) != 0);
    }
  }
  EnableEdits(loaded->RdtParamEn != 0);
}

void DialogParamSet::EnableEdits(bool enabled) {
  for (QLineEdit* edit : edits_) edit->setEnabled(enabled);
}

void DialogParamSet::Written(bool ok, const std::string& why) {
  if (!ok && !failing_) settings::ShowNotWritten(messages_, why);
  failing_ = !ok;
}

}  // namespace qelvar::ui
