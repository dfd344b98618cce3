// Window layouts are given in dialog units of the window's font, as operators'
// screens were drawn: a horizontal unit is a quarter of the font's average
// character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace qelvar::ui {

// The template font at `points` ("MS Shell Dlg" where the system has it,
// otherwise a plain sans-serif face of the same size).
[[nodiscard]] QFont TemplateFont(int points);

// Average character width and character height of `font`, in pixels, the way
// the platform measures them for dialog units.
[[nodiscard]] QSize BaseUnits(const QFont& font);

// A rectangle in dialog units converted to pixels.
[[nodiscard]] QRect DialogRect(QSize baseUnits, int x, int y, int w, int h);
[[nodiscard]] QSize DialogSize(QSize baseUnits, int w, int h);

}  // namespace qelvar::ui
