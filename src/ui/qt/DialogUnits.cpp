#include "ui/qt/DialogUnits.h"

#include <QFontMetrics>
#include <QString>

namespace {
// a * b / c rounded half away from zero, as the Windows MulDiv does.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}
}  // namespace

CDialogUnits::CDialogUnits(const QFont& dialogFont) {
  const QFontMetrics metrics(dialogFont);
  // The dialog manager measures the 52 letters and rounds their average width.
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_baseX = (alphabet / 26 + 1) / 2;
  m_baseY = metrics.height();
}

int CDialogUnits::X(int du) const { return MulDiv(du, m_baseX, 4); }

int CDialogUnits::Y(int du) const { return MulDiv(du, m_baseY, 8); }

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QFont DialogFont() {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);  // 8 pt at 96 dpi, rounded as the dialog manager does
  return font;
}
