#include "ui/qt/QtFonts.h"

#include <QFontMetrics>
#include <QString>
#include <QStringList>
#include <algorithm>

#include "ui/qt/DialogUnits.h"

QFont FontFromSpec(const FontSpec& wanted, const QFont& base) {
  QFont font(base);
  if (!wanted.face.empty()) {
    // The swiss family: where the face is missing, the metric-compatible sans face,
    // else any sans face, never a serif one.
    const QString metric = MetricSansFamily();
    font.setFamilies(QStringList{QString::fromStdString(wanted.face),
                                 metric.isEmpty() ? QStringLiteral("sans-serif") : metric});
  }
  font.setStyleHint(QFont::SansSerif);
  font.setWeight(static_cast<QFont::Weight>(std::clamp(wanted.weight, 1, 1000)));
  font.setItalic(wanted.italic);
  font.setUnderline(false);
  font.setStrikeOut(false);
  if (wanted.cellHeight < 0) {
    font.setPixelSize(-wanted.cellHeight);
  } else if (wanted.cellHeight > 0) {
    int best = 1;
    for (int px = 1; px <= wanted.cellHeight; ++px) {
      font.setPixelSize(px);
      const QFontMetrics metrics(font);
      if (metrics.ascent() + metrics.descent() > wanted.cellHeight) break;
      best = px;
    }
    font.setPixelSize(best);
  }
  return font;
}
