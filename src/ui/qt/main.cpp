// solvane and castrel: the same window, built once per deliverable with its strings.
#include <QApplication>
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
  QApplication::setApplicationName(QString::fromStdString(variant->appName));
  QApplication::setWindowIcon(AppIcon());

  CQtWindowSystem ws(*variant);
  CUpdaterApp theApp;
  theApp.InitInstance(ws, *variant, [&ws](CUpdaterDlg& dlg) { ws.RunModal(dlg); });
  return 0;
}
