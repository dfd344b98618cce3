// Every modal the window shows goes through one DialogRunner: message boxes,
// questions, the modal dialogs and the open-file dialog. The program uses the
// platform's; tests put in one that records messages and answers dialogs
// without waiting for a person.
#pragma once

#include <QMessageBox>
#include <QString>

class QDialog;
class QWidget;

namespace qelvar::ui {

class DialogRunner {
 public:
  virtual ~DialogRunner() = default;
  // A message box with an OK button, owned by `owner`; returns when closed.
  virtual void Message(QWidget* owner, const QString& text, const QString& caption,
                       QMessageBox::Icon icon) = 0;
  // A Yes/No question; true for Yes.
  virtual bool Ask(QWidget* owner, const QString& text, const QString& caption) = 0;
  // Shows `dialog` modally; its result (QDialog::Accepted or Rejected).
  virtual int Exec(QDialog& dialog) = 0;
  // An open-file dialog starting in `folder`; empty on cancel. With
  // `mustExist`, only an existing file can be chosen.
  virtual QString OpenFile(QWidget* owner, const QString& folder, const QString& filter,
                           bool mustExist) = 0;
};

// The platform's dialogs.
class PlatformDialogs final : public DialogRunner {
 public:
  void Message(QWidget* owner, const QString& text, const QString& caption,
               QMessageBox::Icon icon) override;
  bool Ask(QWidget* owner, const QString& text, const QString& caption) override;
  int Exec(QDialog& dialog) override;
  QString OpenFile(QWidget* owner, const QString& folder, const QString& filter,
                   bool mustExist) override;
};

// "desc|pattern|desc|pattern||" as the platform's open-file filters take it.
[[nodiscard]] QString QtFileFilter(const QString& pipeFilter);

}  // namespace qelvar::ui
