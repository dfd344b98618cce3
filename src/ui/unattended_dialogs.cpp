#include "ui/unattended_dialogs.h"

#include <QDialog>
#include <QPainter>
#include <QTimer>
#include <utility>

namespace qelvar::ui {

UnattendedDialogs::UnattendedDialogs(std::function<void(QWidget& box)> onBox, std::FILE* log)
    : onBox_(std::move(onBox)), log_(log) {}

void UnattendedDialogs::Message(QWidget* owner, const QString& text, const QString& caption,
                                QMessageBox::Icon icon) {
  const QByteArray line =
      (caption.isEmpty() ? text : caption + QStringLiteral(": ") + text).toUtf8();
  std::fprintf(log_, "qelvar: %s\n", line.constData());
  std::fflush(log_);
  auto* box = new QMessageBox(icon, caption, text, QMessageBox::Ok, owner);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
  if (first_) return;
  first_ = box;
  // From the event loop: the caller may be in the middle of a handler, or
  // of building the window.
  QTimer::singleShot(0, box, [this, box] {
    if (onBox_) onBox_(*box);
  });
}

bool UnattendedDialogs::Ask(QWidget*, const QString& text, const QString&) {
  std::fprintf(log_, "qelvar: %s Yes\n", text.toUtf8().constData());
  std::fflush(log_);
  return true;
}

int UnattendedDialogs::Exec(QDialog&) {
  return QDialog::Rejected;
}

QString UnattendedDialogs::OpenFile(QWidget*, const QString&, const QString&, bool) {
  return {};
}

QPixmap GrabWithBox(QWidget& window, QWidget* box) {
  QPixmap picture = window.grab();
  if (box == nullptr || !box->isVisible()) return picture;
  const QPixmap shown = box->grab();
  QPainter painter(&picture);
  const QSize room = window.size() - box->size();
  painter.drawPixmap(QPoint(std::max(0, room.width() / 2), std::max(0, room.height() / 2)), shown);
  return picture;
}

}  // namespace qelvar::ui
