#pragma once
// Dialog units as the Windows dialog manager computes them. A dialog template gives
// every position in units of its font: a horizontal unit is a quarter of the font's
// average character width, a vertical unit an eighth of its height. Laying the
// window out from the same units keeps every control where a technician who knows
// the program on Windows expects it.

#include <QFont>
#include <QRect>

class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& dialogFont);

  int BaseX() const { return m_baseX; }  // average character width, pixels
  int BaseY() const { return m_baseY; }  // character cell height, pixels

  int X(int du) const;  // horizontal dialog units to pixels
  int Y(int du) const;  // vertical dialog units to pixels
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int m_baseX;
  int m_baseY;
};

// The template's 8-point dialog font. The Windows dialog font is not on Linux; a
// metric sans font stands in, at the pixel size 8 points have at 96 dpi, so the
// layout does not depend on the screen's reported resolution.
QFont DialogFont();
