// What the window brings to a Linux desktop: the icon theme's SVG shows the picture
// the window paints, and the fonts stay sans when Liberation Sans is missing.

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>

#include "ui/QtTestSupport.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/QtFonts.h"

namespace {

// The largest difference of one colour channel (alpha premultiplied, 0..255).
int PixelDifference(QRgb a, QRgb b) {
  return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                   std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
}

TEST(QtDesktopTest, IconSvgShowsThePaintedIcon) {
  EnsureQtApp();
  QTemporaryDir dir;
  const QString png = dir.filePath("icon.png");
  QProcess render;
  render.start("rsvg-convert", {"-w", "48", "-h", "48", "-o", png, IAP_ICON_SVG});
  ASSERT_TRUE(render.waitForFinished(30000)) << "rsvg-convert (make deps) renders the SVG";
  ASSERT_EQ(render.exitCode(), 0) << render.readAllStandardError().toStdString();

  const QImage drawn = QImage(png).convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const QImage painted =
      AppIconPixmap(48).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  ASSERT_EQ(drawn.size(), QSize(48, 48));
  // Two renderers never agree on every edge pixel; the same picture differs only
  // there, and only a little on average.
  long total = 0;
  int far = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 48; ++x) {
      const int d = PixelDifference(drawn.pixel(x, y), painted.pixel(x, y));
      total += d;
      if (d > 64) ++far;
    }
  }
  const double mean = static_cast<double>(total) / (48 * 48);
  EXPECT_LT(mean, 4.0);
  EXPECT_LT(far, 48 * 48 / 50) << "pixels far apart";
}

// Run twice by ctest: once as installed (Liberation Sans present), once with a
// fontconfig setup that holds only the DejaVu faces, sans and serif
// (IAP_EXPECT_FONT_FALLBACK=1).
TEST(QtDesktopTest, FontsAreMetricSansOrSansWithOneWarning) {
  const bool fallback = qEnvironmentVariableIntValue("IAP_EXPECT_FONT_FALLBACK") == 1;
  testing::internal::CaptureStderr();
  EnsureQtApp();
  const QFont dialog = DialogFont();
  const QFont caption = FontFromSpec({"Arial", 19, 700, true}, dialog);
  DialogFont();
  const std::string warnings = testing::internal::GetCapturedStderr();

  const std::string warning = "Liberation Sans is not installed";
  if (!fallback) {
    EXPECT_EQ(QFontInfo(dialog).family(), "Liberation Sans");
    EXPECT_EQ(QFontInfo(caption).family(), "Liberation Sans");
    EXPECT_EQ(warnings.find(warning), std::string::npos) << warnings;
    return;
  }
  EXPECT_EQ(QFontInfo(dialog).family(), "DejaVu Sans");
  EXPECT_EQ(QFontInfo(caption).family(), "DejaVu Sans");
  EXPECT_TRUE(QFontInfo(caption).italic());
  const auto first = warnings.find(warning);
  ASSERT_NE(first, std::string::npos) << warnings;
  EXPECT_EQ(warnings.find(warning, first + 1), std::string::npos) << "said once";
}

}  // namespace
