#include "app/UpdaterApp.h"

#include "app/UpdaterDlg.h"

bool CUpdaterApp::InitInstance(CWindowSystem& ws, const VariantStrings& variant,
                               const std::function<void(CUpdaterDlg&)>& runModal) {
  CUpdaterDlg dlg(ws, variant);
  runModal(dlg);  // the result of the dialog is not examined
  dlg.Shutdown();
  return false;  // the program ends when the dialog has closed
}
