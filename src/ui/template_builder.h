// Builds a window's controls from its template: each control named by its ID
// (the object name "1009"), placed in dialog units of the window's font.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QWidget>

#include "ui/dialog_units.h"

namespace qelvar::ui {

class TemplateBuilder {
 public:
  // Sets `window`'s font and its fixed size from the template.
  TemplateBuilder(QWidget* window, int points, int width, int height);

  [[nodiscard]] QSize base() const { return base_; }
  [[nodiscard]] QRect Rect(int x, int y, int w, int h) const {
    return DialogRect(base_, x, y, w, h);
  }

  // id 0: a control without an ID.
  template <typename Control>
  Control* Add(int id, int x, int y, int w, int h) {
    auto* control = new Control(window_);
    if (id != 0) control->setObjectName(QString::number(id));
    control->setGeometry(Rect(x, y, w, h));
    return control;
  }

  QLabel* Static(int id, const QString& text, int x, int y, int w, int h);
  QCheckBox* Check(int id, const QString& text, int x, int y, int w, int h);
  QRadioButton* Radio(int id, const QString& text, int x, int y, int w, int h);
  QPushButton* Button(int id, const QString& text, int x, int y, int w, int h);
  QGroupBox* Group(int id, const QString& title, int x, int y, int w, int h);
  // `maxChars` 0: no limit beyond the platform's.
  QLineEdit* Edit(int id, int x, int y, int w, int h, int maxChars = 0);
  // A drop-down combo box with an edit field; the template's height includes
  // the open list, the closed box is one edit high.
  QComboBox* Combo(int id, int x, int y, int w, int h);

 private:
  QWidget* window_;
  QSize base_;
};

// Upper-case edit style: typed letters are shown and kept in upper case.
void MakeUpperCase(QLineEdit* edit);

}  // namespace qelvar::ui
