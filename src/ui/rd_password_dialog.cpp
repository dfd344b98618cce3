#include "ui/rd_password_dialog.h"

#include <QLineEdit>
#include <QPushButton>

#include "settings/control_ids.h"
#include "ui/template_builder.h"

namespace qelvar::ui {
namespace {

namespace ctl = settings::ctl::rd_password;

constexpr int kComparedChars = 15;

}  // namespace

bool RdPasswordAccepted(const QString& entry) {
  const QString compared = entry.left(kComparedChars);
  // The second code is the short one supervisors type on the line.
  return compared == QStringLiteral("lumox") || compared == QStringLiteral("q7");
}

DialogRDPassword::DialogRDPassword(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("133"));
  setWindowTitle(QStringLiteral("RD Password Check"));
  TemplateBuilder t(this, 8, 201, 47);
  auto* ok = t.Button(ctl::kOk, QStringLiteral("OK"), 127, 18, 50, 14);
  ok->setDefault(true);
  edit_ = t.Edit(ctl::kPasswordEdit, 31, 18, 82, 14);
  edit_->setEchoMode(QLineEdit::Password);
  connect(ok, &QPushButton::clicked, this, &DialogRDPassword::OnOk);
}

void DialogRDPassword::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  edit_->setFocus();
}

void DialogRDPassword::OnOk() {
  verdict_ = RdPasswordAccepted(edit_->text());
  accept();
}

}  // namespace qelvar::ui
