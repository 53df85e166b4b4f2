// What the windows bring to a Linux desktop: each program's icon theme SVG shows the
// picture its window paints, each program has icon files of its own, and the fonts
// stay sans when Liberation Sans is missing.

#include <gtest/gtest.h>

#include <QFile>
#include <QFontInfo>
#include <QImage>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>

#include "ui/QtTestSupport.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/QtFonts.h"

namespace {

// How far apart two pictures of one size are: the mean of each pixel's largest
// channel difference (0..255), and the pixels more than 64 levels apart.
std::pair<double, int> Between(const QImage& one, const QImage& other) {
  const auto format = QImage::Format_ARGB32_Premultiplied;
  const QImage a = one.convertToFormat(format), b = other.convertToFormat(format);
  if (a.isNull() || a.size() != b.size()) return {255.0, 48 * 48};
  long total = 0;
  int far = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      const int step = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                 std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
      total += step;
      far += step > 64;
    }
  }
  return {static_cast<double>(total) / (a.width() * a.height()), far};
}

class QtDesktopIconTest : public ::testing::TestWithParam<std::string> {};

// The menu's scalable icon of each program is the picture its window paints, and
// not the other program's. Two renderers never agree on every edge pixel: the same
// picture differs only there, and little on average.
TEST_P(QtDesktopIconTest, SvgShowsThePictureThisProgramPaints) {
  EnsureQtApp();
  const IconVariant mine = *IconVariantNamed(GetParam());
  const IconVariant other =
      mine == IconVariant::kSolvane ? IconVariant::kCastrel : IconVariant::kSolvane;
  QTemporaryDir dir;
  const QString png = dir.filePath("icon.png");
  QProcess render;
  const QString svg = QStringLiteral(IAP_ICON_SVG_DIR "/%1.svg").arg(GetParam().c_str());
  render.start("rsvg-convert", {"-w", "48", "-h", "48", "-o", png, svg});
  ASSERT_TRUE(render.waitForFinished(30000)) << "rsvg-convert (make deps) renders the SVG";
  ASSERT_EQ(render.exitCode(), 0) << render.readAllStandardError().toStdString();
  const auto [mean, far] = Between(QImage(png), AppIconPixmap(48, mine).toImage());
  EXPECT_LT(mean, 4.0);
  EXPECT_LT(far, 48 * 48 / 50) << "pixels far apart";
  EXPECT_GT(Between(QImage(png), AppIconPixmap(48, other).toImage()).second, 48 * 48 / 5)
      << "the case of the other program's colour";
}

INSTANTIATE_TEST_SUITE_P(Variants, QtDesktopIconTest, ::testing::Values("solvane", "castrel"));

// The files each program's menu entry, title bar and Windows resources are made
// from (the icon theme's PNGs painted at build time, the SVG, the Windows icon):
// no file of one program is the other's.
TEST(QtDesktopTest, EachProgramHasIconFilesOfItsOwn) {
  QStringList files{QStringLiteral(IAP_ICON_SVG_DIR "/%1.svg"),
                    QStringLiteral(IAP_WIN32_ICON_DIR "/%1.ico")};
  for (const QString& size : QStringLiteral(IAP_ICON_SIZES).split(',')) {
    files << QStringLiteral(IAP_ICON_PNG_DIR "/%1/") + size + ".png";
  }
  for (const QString& file : files) {
    SCOPED_TRACE(file.toStdString());
    QFile solvane(file.arg("solvane")), castrel(file.arg("castrel"));
    ASSERT_TRUE(solvane.open(QIODevice::ReadOnly) && castrel.open(QIODevice::ReadOnly));
    EXPECT_NE(solvane.readAll(), castrel.readAll());
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
