#pragma once
// The application object: one per process. Its start-up runs the main dialog
// modally and returns false, so the program ends when the dialog closes.

#include <functional>

#include "app/WindowSystem.h"
#include "res/Variant.h"

class CUpdaterDlg;

class CUpdaterApp {
 public:
  // runModal shows the dialog and returns when it has been closed; the face
  // forwards the user's commands to the dialog's handlers meanwhile.
  bool InitInstance(CWindowSystem& ws, const VariantStrings& variant,
                    const std::function<void(CUpdaterDlg&)>& runModal);
};
