#include "ui/dialog_runner.h"

#include <QDialog>
#include <QFileDialog>
#include <QStringList>

namespace qelvar::ui {

void PlatformDialogs::Message(QWidget* owner, const QString& text, const QString& caption,
                              QMessageBox::Icon icon) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
  box.exec();
}

bool PlatformDialogs::Ask(QWidget* owner, const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

int PlatformDialogs::Exec(QDialog& dialog) {
  return dialog.exec();
}

QString PlatformDialogs::OpenFile(QWidget* owner, const QString& folder, const QString& filter,
                                  bool mustExist) {
  QFileDialog dialog(owner, QString(), folder, filter);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

QString QtFileFilter(const QString& pipeFilter) {
  const QStringList parts = pipeFilter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i + 1].isEmpty()) continue;
    filters << parts[i].trimmed() + QStringLiteral(" (") + parts[i + 1] + QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

}  // namespace qelvar::ui
