#include "ui/qt/QtFonts.h"

#include <QFontMetrics>
#include <QString>
#include <algorithm>

QFont FontFromSpec(const FontSpec& spec, const QFont& base) {
  QFont font(base);
  if (!spec.face.empty()) font.setFamily(QString::fromStdString(spec.face));
  font.setStyleHint(
      QFont::SansSerif);  // the swiss family: a sans substitute if the face is missing
  font.setWeight(static_cast<QFont::Weight>(std::clamp(spec.weight, 1, 1000)));
  font.setItalic(spec.italic);
  font.setUnderline(false);
  font.setStrikeOut(false);
  if (spec.cellHeight < 0) {
    font.setPixelSize(-spec.cellHeight);
  } else if (spec.cellHeight > 0) {
    int best = 1;
    for (int px = 1; px <= spec.cellHeight; ++px) {
      font.setPixelSize(px);
      const QFontMetrics metrics(font);
      if (metrics.ascent() + metrics.descent() > spec.cellHeight) break;
      best = px;
    }
    font.setPixelSize(best);
  }
  return font;
}
