// The dialogs of a window that runs without a person in front of it (a
// screenshot taken on a machine without a display): nothing ever waits for a
// click. A message box is written to standard error and shown without
// waiting, and the caller hears of it from the event loop, so it can take its
// picture with the box open and end.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <cstdio>
#include <functional>

#include "ui/dialog_runner.h"

namespace qelvar::ui {

class UnattendedDialogs final : public DialogRunner {
 public:
  // `onBox` runs once, from the event loop, after the first message box has
  // been shown; `log` gets "qelvar: <caption>: <text>" per box.
  explicit UnattendedDialogs(std::function<void(QWidget& box)> onBox, std::FILE* log = stderr);

  // Shows the box without waiting and returns at once, as if OK was pressed.
  void Message(QWidget* owner, const QString& text, const QString& caption,
               QMessageBox::Icon icon) override;
  // Yes: closing the window goes on as the operator who confirms it.
  bool Ask(QWidget* owner, const QString& text, const QString& caption) override;
  // Cancelled, and nothing chosen.
  int Exec(QDialog& dialog) override;
  QString OpenFile(QWidget* owner, const QString& folder, const QString& filter,
                   bool mustExist) override;

  // The box shown first, while it is open.
  [[nodiscard]] QWidget* FirstBox() const { return first_.data(); }

 private:
  std::function<void(QWidget&)> onBox_;
  std::FILE* log_;
  QPointer<QMessageBox> first_;
};

// The window's picture with `box`, if shown, drawn over its middle as the
// window manager would place it.
[[nodiscard]] QPixmap GrabWithBox(QWidget& window, QWidget* box);

}  // namespace qelvar::ui
