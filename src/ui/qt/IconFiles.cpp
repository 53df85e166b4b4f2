// Writes a program's icon, as AppIconPixmap paints it, into icon files, so every
// face and every desktop shows the same picture for that program:
//
//   iap_icon png VARIANT OUTDIR SIZE...   OUTDIR/SIZE.png for each size (the icon theme)
//   iap_icon ico VARIANT OUT.ico          the Windows icon: 16, 24, 32 and 48 pixels
//                                         as 32-bit bitmaps (what LoadIcon picks from
//                                         for the title bar, the task bar and the
//                                         About box) and 256 pixels as PNG
//                                         (Explorer's large views)
//
// VARIANT is solvane or castrel.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "ui/qt/AppIcon.h"

namespace {
void Put16(QByteArray& out, unsigned v) {
  out.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
}
void Put32(QByteArray& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// An icon bitmap: a BITMAPINFOHEADER whose height counts the colour rows and the
// mask rows, the BGRA rows bottom up, then the 1-bit AND mask (set where the
// picture is transparent), each mask row padded to 32 bits.
QByteArray IconBitmap(const QImage& argb) {
  const int n = argb.width();
  QByteArray out;
  Put32(out, 40);
  Put32(out, n);
  Put32(out, 2 * n);
  Put16(out, 1);
  Put16(out, 32);
  for (int i = 0; i < 6; ++i) Put32(out, 0);
  for (int y = n - 1; y >= 0; --y) {
    for (int x = 0; x < n; ++x) Put32(out, argb.pixel(x, y));  // 0xAARRGGBB: B, G, R, A
  }
  const int maskStride = ((n + 31) / 32) * 4;
  for (int y = n - 1; y >= 0; --y) {
    QByteArray row(maskStride, '\0');
    for (int x = 0; x < n; ++x) {
      if (qAlpha(argb.pixel(x, y)) == 0) row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
    }
    out.append(row);
  }
  return out;
}
int WritePngs(IconVariant variant, const QString& dir, int count, char* sizes[]) {
  QDir().mkpath(dir);
  for (int i = 0; i < count; ++i) {
    const int size = std::atoi(sizes[i]);
    const QString file = dir + QStringLiteral("/%1.png").arg(size);
    if (size <= 0 || !AppIconPixmap(size, variant).save(file, "PNG")) {
      std::fprintf(stderr, "iap_icon: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}

int WriteIco(IconVariant variant, const QString& path) {
  const std::vector<int> sizes{16, 24, 32, 48, 256};
  std::vector<QByteArray> images;
  for (int size : sizes) {
    const QImage image =
        AppIconPixmap(size, variant).toImage().convertToFormat(QImage::Format_ARGB32);
    if (size < 256) {
      images.push_back(IconBitmap(image));
    } else {
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      image.save(&buffer, "PNG");
      images.push_back(png);
    }
  }
  QByteArray ico;
  Put16(ico, 0);  // reserved
  Put16(ico, 1);  // an icon, not a cursor
  Put16(ico, unsigned(sizes.size()));
  std::uint32_t offset = 6 + 16 * std::uint32_t(sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ico.append(char(sizes[i] & 0xFF)).append(char(sizes[i] & 0xFF));  // 256 is written as 0
    ico.append('\0').append('\0');                                    // no palette, reserved
    Put16(ico, 1);                                                    // planes
    Put16(ico, 32);                                                   // bits per pixel
    Put32(ico, std::uint32_t(images[i].size()));
    Put32(ico, offset);
    offset += std::uint32_t(images[i].size());
  }
  for (const QByteArray& image : images) ico.append(image);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(ico) != ico.size()) {
    std::fprintf(stderr, "iap_icon: cannot write %s\n", qPrintable(path));
    return 1;
  }
  return 0;
}
}  // namespace

int main(int argc, char* argv[]) {
  QGuiApplication app(argc, argv);
  const std::optional<IconVariant> variant =
      argc >= 3 ? IconVariantNamed(argv[2]) : std::optional<IconVariant>();
  if (variant && argc >= 5 && std::strcmp(argv[1], "png") == 0) {
    return WritePngs(*variant, QString::fromLocal8Bit(argv[3]), argc - 4, argv + 4);
  }
  if (variant && argc == 4 && std::strcmp(argv[1], "ico") == 0)
    return WriteIco(*variant, QString::fromLocal8Bit(argv[3]));
  std::fprintf(stderr,
               "usage: iap_icon png solvane|castrel OUTDIR SIZE...\n"
               "       iap_icon ico solvane|castrel OUT.ico\n");
  return 2;
}
