// Build-time tool: writes the window's icon, as AppIconPixmap paints it, as PNG
// files for the desktop's icon theme. iap_icon_png OUTDIR SIZE... writes
// OUTDIR/SIZE.png for every size.
#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/AppIcon.h"

int main(int argc, char* argv[]) {
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: iap_icon_png OUTDIR SIZE...\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(dir);
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const QString file = dir + QStringLiteral("/%1.png").arg(size);
    if (size <= 0 || !AppIconPixmap(size).save(file, "PNG")) {
      std::fprintf(stderr, "iap_icon_png: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
