// "RD Password Check": the password that unlocks the MP page's admin
// controls. OK (or Enter) submits; Escape and the close box cancel.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

namespace qelvar::ui {

// True for the RD password or the second accepted code; compared by the
// entry's first 15 characters, case-sensitive.
[[nodiscard]] bool RdPasswordAccepted(const QString& entry);

class DialogRDPassword final : public QDialog {
  Q_OBJECT

 public:
  explicit DialogRDPassword(QWidget* parent = nullptr);
  // Set when the dialog ended with OK.
  [[nodiscard]] bool verdict() const { return verdict_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnOk();

  QLineEdit* edit_;
  bool verdict_ = false;
};

}  // namespace qelvar::ui
