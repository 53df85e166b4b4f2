// solvane.exe and castrel.exe: the same dialog, built once per deliverable with its
// strings and its resources.
#include <windows.h>
// after windows.h, which it builds on
#include <commctrl.h>

#include <string>

#include "app/UpdaterApp.h"
#include "app/UpdaterDlg.h"
#include "res/Variant.h"
#include "ui/win32/Win32WindowSystem.h"

#ifndef IAP_VARIANT
#error "IAP_VARIANT names the deliverable: \"solvane\" or \"castrel\""
#endif

namespace {
// The program file's name without its extension: the caption of the application's
// message boxes, so a renamed copy shows its own name.
std::string ProgramName(const std::string& fallback) {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return fallback;
  std::string name(path, length);
  name.erase(0, name.find_last_of("\\/") + 1);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.erase(dot);
  return name.empty() ? fallback : name;
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const VariantStrings* strings = VariantByName(IAP_VARIANT);
  if (!strings) return 1;
  VariantStrings variant = *strings;
  variant.appName = ProgramName(variant.appName);

  // The progress bar and the common-controls look.
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&controls);

  CWin32WindowSystem ws(instance);
  CUpdaterApp theApp;
  theApp.InitInstance(ws, variant, [&ws](CUpdaterDlg& dlg) { ws.RunModal(dlg); });
  return 0;
}
