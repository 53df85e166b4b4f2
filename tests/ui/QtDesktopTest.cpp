// What the windows bring to a Linux desktop: each program's icon theme SVG shows the
// picture its window paints, each program has icon files of its own, and the fonts
// stay sans when Liberation Sans is missing.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFontInfo>
#include <QImage>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "ui/QtTestSupport.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/QtFonts.h"

namespace {

// How far apart two 48-pixel pictures are: the mean of each pixel's largest channel
// difference (0..255) and the number of pixels more than 64 levels apart.
struct Distance {
  double mean = 0;
  int far = 0;
};

Distance Between(const QImage& one, const QImage& other) {
  const auto format = QImage::Format_ARGB32_Premultiplied;
  const QImage a = one.convertToFormat(format), b = other.convertToFormat(format);
  Distance d;
  if (a.size() != b.size()) return {255, a.width() * a.height()};
  long total = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      const int step = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                 std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
      total += step;
      d.far += step > 64;
    }
  }
  d.mean = static_cast<double>(total) / (a.width() * a.height());
  return d;
}

QImage RenderSvg(const QTemporaryDir& dir, const std::string& variant) {
  const QString png = dir.filePath(QString::fromStdString(variant) + ".png");
  const QString svg =
      QStringLiteral(IAP_ICON_SVG_DIR "/%1.svg").arg(QString::fromStdString(variant));
  QProcess render;
  render.start("rsvg-convert", {"-w", "48", "-h", "48", "-o", png, svg});
  if (!render.waitForFinished(30000) || render.exitCode() != 0) {
    ADD_FAILURE() << "rsvg-convert (make deps) renders " << svg.toStdString() << ": "
                  << render.readAllStandardError().toStdString();
    return {};
  }
  return QImage(png);
}

class QtDesktopIconTest : public ::testing::TestWithParam<std::string> {};

// The menu's scalable icon of each program is the picture its window paints, and
// not the other program's.
TEST_P(QtDesktopIconTest, SvgShowsThePictureThisProgramPaints) {
  EnsureQtApp();
  const IconVariant variant = *IconVariantNamed(GetParam());
  const IconVariant other =
      variant == IconVariant::kSolvane ? IconVariant::kCastrel : IconVariant::kSolvane;
  QTemporaryDir dir;
  const QImage drawn = RenderSvg(dir, GetParam());
  ASSERT_FALSE(drawn.isNull());
  // Two renderers never agree on every edge pixel: the same picture differs only
  // there, and little on average.
  const Distance same = Between(drawn, AppIconPixmap(48, variant).toImage());
  EXPECT_LT(same.mean, 4.0);
  EXPECT_LT(same.far, 48 * 48 / 50) << "pixels far apart";
  const Distance apart = Between(drawn, AppIconPixmap(48, other).toImage());
  EXPECT_GT(apart.far, 48 * 48 / 5) << "the case of the other program's colour";
}

INSTANTIATE_TEST_SUITE_P(Variants, QtDesktopIconTest, ::testing::Values("solvane", "castrel"));

QByteArray Sha256Of(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    ADD_FAILURE() << "cannot read " << path.toStdString();
    return {};
  }
  return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// The files each program's menu entry, title bar and Windows resources are made
// from: the icon theme's PNG files painted at build time, the SVG and the Windows
// icon in the tree. Two programs, two icons: no file of one is the other's.
TEST(QtDesktopTest, EachProgramHasIconFilesOfItsOwn) {
  QStringList files;
  for (const QString& size : QStringLiteral(IAP_ICON_SIZES).split(',')) {
    files << QStringLiteral(IAP_ICON_PNG_DIR "/%1/") + size + ".png";
  }
  files << QStringLiteral(IAP_ICON_SVG_DIR "/%1.svg")
        << QStringLiteral(IAP_WIN32_ICON_DIR "/%1.ico");
  for (const QString& file : files) {
    SCOPED_TRACE(file.toStdString());
    const QByteArray solvane = Sha256Of(file.arg("solvane"));
    const QByteArray castrel = Sha256Of(file.arg("castrel"));
    ASSERT_FALSE(solvane.isEmpty());
    ASSERT_FALSE(castrel.isEmpty());
    EXPECT_NE(solvane, castrel);
  }
}

// Run by the ctest entry ui_qt_font_fallback, with a fontconfig setup that holds
// only the DejaVu faces, sans and serif.
TEST(QtDesktopTest, WithoutLiberationSansFontsStaySansAndSaySoOnce) {
  if (qEnvironmentVariableIntValue("IAP_EXPECT_FONT_FALLBACK") != 1) GTEST_SKIP();
  testing::internal::CaptureStderr();
  EnsureQtApp();
  const QFont dialog = DialogFont();
  const QFont caption = FontFromSpec({"Arial", 19, 700, true}, dialog);
  DialogFont();
  const std::string warnings = testing::internal::GetCapturedStderr();

  EXPECT_EQ(QFontInfo(dialog).family(), "DejaVu Sans");
  EXPECT_EQ(QFontInfo(caption).family(), "DejaVu Sans");
  EXPECT_TRUE(QFontInfo(caption).italic());
  const std::string warning = "Liberation Sans is not installed";
  const auto first = warnings.find(warning);
  ASSERT_NE(first, std::string::npos) << warnings;
  EXPECT_EQ(warnings.find(warning, first + 1), std::string::npos) << "said once";
}

}  // namespace
