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
  // The base units Windows has for the templates' 8-point dialog font at 96 dpi:
  // 6 pixels of average character width, 13 of character height. They are taken
  // as they are rather than measured from the font that stands in for it here,
  // whose cell is a pixel shorter: every vertical position and height would come
  // out 8 % short.
  static constexpr int kBaseX = 6;
  static constexpr int kBaseY = 13;

  CDialogUnits() = default;

  int BaseX() const { return kBaseX; }  // average character width, pixels
  int BaseY() const { return kBaseY; }  // character cell height, pixels

  int X(int du) const;  // horizontal dialog units to pixels
  int Y(int du) const;  // vertical dialog units to pixels
  QRect Rect(int x, int y, int width, int height) const;
};

// The template's 8-point dialog font. The Windows dialog font is not on Linux; a
// metric sans font stands in (MetricSansFamily), at the pixel size 8 points have
// at 96 dpi, so the layout does not depend on the screen's reported resolution.
QFont DialogFont();

// The installed face metric-compatible with Arial: "Liberation Sans", else "Arimo";
// empty when neither is installed, and then a warning goes to stderr, once per
// process, and the fonts fall back to the system's sans-serif face.
QString MetricSansFamily();
