#include "ui/template_builder.h"

#include <QValidator>

namespace qelvar::ui {
namespace {

// A text wider than its template box would be cut; it may run on to the right.
void FitText(QWidget* control) {
  if (control->sizeHint().width() > control->width()) {
    control->resize(control->sizeHint().width(), control->height());
  }
}

class UpperCaseValidator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toUpper();
    return Acceptable;
  }
};

}  // namespace

TemplateBuilder::TemplateBuilder(QWidget* window, int points, int width, int height)
    : window_(window) {
  QFont font = TemplateFont(points);
  window_->setFont(font);
  base_ = BaseUnits(font);
  window_->setFixedSize(DialogSize(base_, width, height));
}

QLabel* TemplateBuilder::Static(int id, const QString& text, int x, int y, int w, int h) {
  auto* label = Add<QLabel>(id, x, y, w, h);
  label->setText(text);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  FitText(label);
  return label;
}

QCheckBox* TemplateBuilder::Check(int id, const QString& text, int x, int y, int w, int h) {
  auto* box = Add<QCheckBox>(id, x, y, w, h);
  box->setText(text);
  FitText(box);
  return box;
}

QRadioButton* TemplateBuilder::Radio(int id, const QString& text, int x, int y, int w, int h) {
  auto* radio = Add<QRadioButton>(id, x, y, w, h);
  radio->setText(text);
  FitText(radio);
  return radio;
}

QPushButton* TemplateBuilder::Button(int id, const QString& text, int x, int y, int w, int h) {
  auto* button = Add<QPushButton>(id, x, y, w, h);
  button->setText(text);
  button->setAutoDefault(false);
  return button;
}

QGroupBox* TemplateBuilder::Group(int id, const QString& title, int x, int y, int w, int h) {
  auto* group = Add<QGroupBox>(id, x, y, w, h);
  group->setTitle(title);
  group->lower();  // the frame lies under the controls drawn over it
  return group;
}

QLineEdit* TemplateBuilder::Edit(int id, int x, int y, int w, int h, int maxChars) {
  auto* edit = Add<QLineEdit>(id, x, y, w, h);
  if (maxChars > 0) edit->setMaxLength(maxChars);
  return edit;
}

QComboBox* TemplateBuilder::Combo(int id, int x, int y, int w, int h) {
  auto* combo = Add<QComboBox>(id, x, y, w, h);
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setGeometry(Rect(x, y, w, std::min(h, 13)));
  return combo;
}

void MakeUpperCase(QLineEdit* edit) {
  edit->setValidator(new UpperCaseValidator(edit));
}

}  // namespace qelvar::ui
