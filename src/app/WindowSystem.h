#pragma once
// CWindowSystem is the port through which the toolkit-free dialog logic reaches a
// real user interface: the Qt window, the Win32 dialog, the console of iapflash,
// or the scripted window system of the tests. Controls are addressed by their
// dialog ids. Every call is made on the user-interface thread; a worker thread
// reaches the window only through InvokeAndWait.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/UiCallQueue.h"
#include "journal/Journal.h"

// Control ids of dialog template 102 and of the About box.
enum ControlId : int {
  IDC_EXIT = 1,  // IDOK
  IDC_LOG = 1000,
  IDC_GROUP = 1003,
  IDC_INTERFACE = 1004,
  IDC_FILE = 1005,
  IDC_UPDATE = 1006,
  IDC_PROGRESS = 1007,
  IDC_PROGRESS_LABEL = 1008,
  IDC_CANCEL = 1009,
  IDC_INTERFACE_LABEL = 1010,
  IDC_DOWNLOAD_LABEL = 1012,
  IDC_FILENAME = 1014,
  IDC_PERCENT = 1015,
};

constexpr unsigned IDM_ABOUTBOX = 0x0010;  // system-menu command of the About entry
constexpr unsigned IDM_JOURNAL = 0x0020;   // system-menu command of the service journal

enum class BoxIcon { kNone, kWarning, kInformation };
// "none", "warning", "information": the icon as a word, for text output and records.
const char* BoxIconName(BoxIcon icon);

struct FontSpec {
  std::string face;    // "Arial"
  int cellHeight = 0;  // pixels
  int weight = 400;    // 700 = bold
  bool italic = false;
};

struct FileDialogRequest {
  std::string filter;        // "Desc|pattern|Desc|pattern||"
  std::string defaultExt;    // default extension
  std::string initialName;   // initial file name
  bool createPrompt = true;  // naming a missing file asks whether to create it

  // The suffix added to a bare name the user types: "*.mppt" gives "mppt", "*.S19;*.mot"
  // gives "S19"; empty when the first pattern is not a plain extension.
  std::string DefaultSuffix() const;
};

class CWindowSystem {
 public:
  virtual ~CWindowSystem() = default;

  // --- controls by id
  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string GetText(int id) const = 0;
  virtual void Enable(int id, bool enabled) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void SetFont(int id, const FontSpec& font) = 0;
  virtual void SetProgressPos(int pos) = 0;  // control 1007, range 0..100
  // The tip the control shows while the pointer rests on it; text may run over
  // several lines ("\n"). Empty text removes the tip. A face without tips ignores it.
  virtual void SetToolTip(int /*id*/, const std::string& /*text*/) {}

  // --- interface combo box (1004)
  virtual void ComboInsert(int index, const std::string& text) = 0;
  virtual void ComboSelect(int index) = 0;            // -1: no selection
  virtual std::string ComboSelectedText() const = 0;  // empty when nothing is selected

  // --- message log list box (1000); the line model is CHScrollListBox, the face only shows it
  virtual void LogInserted(int index, const std::string& text) = 0;
  virtual void LogSelect(int index) = 0;  // -1 removes the selection
  virtual void LogSetHorizontalExtent(int pixels) = 0;
  // Width in pixels of text in the log's current font (the toolkit's real metrics).
  virtual int LogTextWidth(const std::string& text) const = 0;

  // --- window decorations
  virtual void SetWindowIcon() = 0;  // icon resource 128, big and small
  // System menu: returns false when the window has none (then nothing is appended).
  virtual bool AppendSystemMenuSeparator() = 0;
  virtual bool AppendSystemMenuItem(unsigned commandId, const std::string& text) = 0;
  // Painting while minimised: the face reports its state and sizes and draws the
  // icon where the dialog says.
  virtual bool IsIconic() const { return false; }
  virtual void ClientSize(int& width, int& height) const { width = height = 0; }
  virtual void IconSize(int& width, int& height) const { width = height = 32; }
  virtual void DrawIcon(int /*x*/, int /*y*/) {}

  // --- modal windows
  virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                              BoxIcon icon) = 0;
  // A question with Yes and No buttons, No the default (Enter answers No); true
  // when the user chose Yes. A face without a window to own the question has
  // nobody to ask and goes ahead: Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon);
  virtual void ShowAboutBox(const std::string& caption, const std::string& line1,
                            const std::string& line2) = 0;
  // The service journal's window, modal and read-only: the journal file's path,
  // why it could not be read (error, empty when it could) and its rows, newest
  // first. A face without windows shows nothing.
  virtual void ShowJournal(const std::string& /*path*/, const std::vector<JournalRow>& /*rows*/,
                           const std::string& /*error*/ = std::string()) {}
  // The open-file dialog; nothing when it was cancelled. The result is the full path.
  virtual std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) = 0;

  // Handles one waiting window event, if any, so the window repaints during long work.
  virtual void PumpOneMessage() {}

  // --- process services the dialog needs (std::filesystem by default)
  virtual std::string CurrentDirectory() const;
  virtual bool ChangeDirectory(const std::string& dir);

  // --- cross-thread calls
  // Runs fn on the user-interface thread and returns once it has run. Called on the
  // user-interface thread itself it runs fn at once. Returns false without running fn
  // once the window is going away.
  bool InvokeAndWait(const std::function<void()>& fn) { return m_uiCalls.InvokeAndWait(fn); }
  CUiCallQueue& UiCalls() { return m_uiCalls; }

 private:
  CUiCallQueue m_uiCalls;
};
