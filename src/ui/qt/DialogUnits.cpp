#include "ui/qt/DialogUnits.h"

#include <QFontDatabase>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace {
// a * b / c rounded half away from zero, as the Windows MulDiv does.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}
}  // namespace

int CDialogUnits::X(int du) const { return MulDiv(du, kBaseX, 4); }

int CDialogUnits::Y(int du) const { return MulDiv(du, kBaseY, 8); }

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QString MetricSansFamily() {
  static const QString family = [] {
    const QStringList installed = QFontDatabase::families();
    for (const char* name : {"Liberation Sans", "Arimo"}) {
      if (installed.contains(QLatin1String(name), Qt::CaseInsensitive)) return QString(name);
    }
    std::fprintf(stderr,
                 "Liberation Sans is not installed (Debian package fonts-liberation): the window "
                 "uses the system's sans-serif font, and longer texts may not fit their places\n");
    return QString();
  }();
  return family;
}

QFont DialogFont() {
  QFont font;
  const QString family = MetricSansFamily();
  font.setFamilies(family.isEmpty() ? QStringList{QStringLiteral("sans-serif")}
                                    : QStringList{family});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);  // 8 pt at 96 dpi, rounded as the dialog manager does
  return font;
}
