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

TEST(QtDesktopTest, IconSvgShowsThePaintedIcon) {
  EnsureQtApp();
  QTemporaryDir dir;
  const QString png = dir.filePath("icon.png");
  QProcess render;
  render.start("rsvg-convert", {"-w", "48", "-h", "48", "-o", png, IAP_ICON_SVG});
  ASSERT_TRUE(render.waitForFinished(30000)) << "rsvg-convert (make deps) renders the SVG";
  ASSERT_EQ(render.exitCode(), 0) << render.readAllStandardError().toStdString();

  const auto format = QImage::Format_ARGB32_Premultiplied;
  const QImage drawn = QImage(png).convertToFormat(format);
  const QImage painted = AppIconPixmap(48).toImage().convertToFormat(format);
  ASSERT_EQ(drawn.size(), painted.size());
  // Two renderers never agree on every edge pixel: the same picture differs only
  // there, and little on average (largest channel difference, 0..255).
  long total = 0;
  int far = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 48; ++x) {
      const QRgb a = drawn.pixel(x, y), b = painted.pixel(x, y);
      const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
      total += d;
      far += d > 64;
    }
  }
  EXPECT_LT(static_cast<double>(total) / (48 * 48), 4.0);
  EXPECT_LT(far, 48 * 48 / 50) << "pixels far apart";
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
