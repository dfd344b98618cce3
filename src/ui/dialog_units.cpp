#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace qelvar::ui {
namespace {

int Scale(int units, int base, int divisor) {
  // Rounded, as the platform's MulDiv does.
  return (units * base * 2 + divisor) / (divisor * 2);
}

}  // namespace

QFont TemplateFont(int points) {
  QFont font;
  // Where the dialog face is missing, a condensed sans face keeps the
  // templates' texts inside their controls as the dialog face does.
  font.setFamilies({QStringLiteral("MS Shell Dlg"), QStringLiteral("Tahoma"),
                    QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(points);
  return font;
}

QSize BaseUnits(const QFont& font) {
  QFontMetrics metrics(font);
  const int extent = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return QSize((extent / 26 + 1) / 2, metrics.height());
}

QRect DialogRect(QSize baseUnits, int x, int y, int w, int h) {
  const int left = Scale(x, baseUnits.width(), 4);
  const int top = Scale(y, baseUnits.height(), 8);
  return QRect(left, top, Scale(w, baseUnits.width(), 4), Scale(h, baseUnits.height(), 8));
}

QSize DialogSize(QSize baseUnits, int w, int h) {
  return QSize(Scale(w, baseUnits.width(), 4), Scale(h, baseUnits.height(), 8));
}

}  // namespace qelvar::ui
