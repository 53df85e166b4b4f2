#pragma once
// Shared pieces of the Qt face's tests: the application object, a hook that reads
// and answers modal boxes as a user would, screenshots, and a good configuration.

#include <QDialog>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class CQtWindowSystem;
class QWidget;

// The one QApplication of the test program; the offscreen platform unless the
// environment names another.
void EnsureQtApp();

// What a user saw of one modal box.
struct SeenBox {
  std::string kind;  // "message", "about", "journal", "file" or "other"
  std::string caption;
  std::string text;       // message text; the About box's two lines joined by "\n"; the
                          // journal's path
  int icon = -1;          // QMessageBox::Icon of a message box
  int buttons = 0;        // QMessageBox::StandardButtons of a message box
  int defaultButton = 0;  // the QMessageBox::StandardButton that Enter presses
};

// Installed as the window system's modal hook: records every box, then hands it
// to the next queued answer, or else answers it plainly (OK on message and About
// boxes, Cancel on anything else).
class CBoxAnswerer {
 public:
  void Install(CQtWindowSystem& ws);
  std::vector<SeenBox> seen;
  std::deque<std::function<void(QDialog&)>> answers;
};

// An answer for CBoxAnswerer: presses the message box's button (QMessageBox::Yes,
// QMessageBox::No, ...) as a user's click would.
std::function<void(QDialog&)> PressButton(int standardButton);

// Saves a picture of w as $IAP_SCREENSHOT_DIR/name.png when that variable is set.
void SaveScreenshot(QWidget& w, const std::string& name);

// The INI of one device that passes every check.
extern const char kGoodIni[];
