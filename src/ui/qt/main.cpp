// solvane and castrel: the same window, built once per deliverable with its strings.
#include <QApplication>
#include <QFileInfo>
#include <cstdio>

#include "app/UpdaterApp.h"
#include "app/UpdaterDlg.h"
#include "res/Variant.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/QtWindowSystem.h"

#ifndef IAP_VARIANT
#error "IAP_VARIANT names the deliverable: \"solvane\" or \"castrel\""
#endif

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const VariantStrings* variant = VariantByName(IAP_VARIANT);
  if (!variant) {
    std::fprintf(stderr, "unknown variant %s\n", IAP_VARIANT);
    return 1;
  }
  // The message boxes' caption is the program file's name without its extension: a
  // copy renamed solvane-v2 says "solvane-v2". The name is the one it was started
  // by (argv[0]), so a symbolic link of another name counts as a renamed copy.
  VariantStrings strings = *variant;
  const QString program = argc > 0 && argv[0][0] != '\0' ? QString::fromLocal8Bit(argv[0])
                                                         : QApplication::applicationFilePath();
  if (const QString name = QFileInfo(program).completeBaseName(); !name.isEmpty()) {
    strings.appName = name.toStdString();
  }
  QApplication::setApplicationName(QString::fromStdString(strings.appName));
  QApplication::setWindowIcon(AppIcon(IconVariantOf(*variant)));
  // Ties the window to its menu entry (the Wayland app id, the task bar's icon).
  QApplication::setDesktopFileName(QStringLiteral(IAP_VARIANT));
  // The layout is made for Fusion's metrics, whatever the desktop's own style is.
  QApplication::setStyle(QStringLiteral("Fusion"));

  CQtWindowSystem ws(strings);
  CUpdaterApp theApp;
  theApp.InitInstance(ws, strings, [&ws](CUpdaterDlg& dlg) { ws.RunModal(dlg); });
  return 0;
}
