#pragma once
// A window system for tests: it keeps every control's text and enabled state,
// records message boxes and log lines in order, answers the file dialog from a
// script, and measures text as 7 pixels a character. The test's thread is the
// user-interface thread: it drains worker calls with RunUntil.

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/WindowSystem.h"

struct RecordedBox {
  std::string text;
  std::string caption;
  BoxIcon icon;
};

class CScriptedWindowSystem : public CWindowSystem {
 public:
  // Every event in order: "box:CAPTION:TEXT:ICON", "ask:CAPTION:TEXT:ICON:yes|no",
  // "log:TEXT", "about:CAPTION".
  std::vector<std::string> events;
  std::vector<RecordedBox> boxes;
  std::vector<std::string> logLines;  // as shown (index-exact inserts applied)
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, FontSpec> fonts;
  std::vector<std::string> combo;
  int comboSelection = -1;
  int progress = 0;
  std::vector<int> progressHistory;
  std::vector<std::string> percentHistory;  // every text set on control 1015
  int logSelection = -1;
  int logExtent = 0;
  bool hasSystemMenu = true;
  std::vector<std::string> systemMenu;  // "-" for a separator
  int pumpCount = 0;
  std::function<void()> onPump;                   // runs inside PumpOneMessage
  std::function<void(const RecordedBox&)> onBox;  // runs when a box is shown
  // Answers of the file dialog, one per call; an empty optional cancels.
  std::deque<std::optional<std::string>> fileAnswers;
  std::vector<FileDialogRequest> fileRequests;
  // Yes/No questions as asked, each answered by the next of yesNoAnswers (true:
  // Yes); once those have run out, No, the questions' default button. onQuestion
  // runs while the question is open, before it is answered.
  std::vector<RecordedBox> questions;
  std::deque<bool> yesNoAnswers;
  std::function<void(const RecordedBox&)> onQuestion;
  std::string currentDirectory;  // empty: the process's real current directory

  CScriptedWindowSystem();

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool on) override;
  bool IsEnabled(int id) const override;
  void SetFont(int id, const FontSpec& font) override;
  void SetProgressPos(int pos) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboSelect(int index) override;
  std::string ComboSelectedText() const override;
  void LogInserted(int index, const std::string& text) override;
  void LogSelect(int index) override;
  void LogSetHorizontalExtent(int pixels) override;
  int LogTextWidth(const std::string& text) const override;
  void SetWindowIcon() override {}
  bool AppendSystemMenuSeparator() override;
  bool AppendSystemMenuItem(unsigned commandId, const std::string& text) override;
  void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void ShowAboutBox(const std::string& caption, const std::string& line1,
                    const std::string& line2) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
  void PumpOneMessage() override;
  std::string CurrentDirectory() const override;

  // Drains worker calls until pred() holds or timeoutMs passed; returns pred().
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 20000);
  // Index of the first log line equal to text at or after from, or -1.
  int FindLog(const std::string& text, int from = 0) const;
};
