#pragma once
// The window system of the command line: the message log goes to stdout, one line
// per log line exactly as appended, and every message box to stderr as one line
// "CAPTION: TEXT" (answered OK at once). Controls are kept as state, so the dialog
// runs exactly as it does behind a window. When stderr is a terminal the progress
// bar is drawn there.

#include <map>
#include <optional>
#include <string>

#include "app/WindowSystem.h"

class CConsoleWindowSystem : public CWindowSystem {
 public:
  CConsoleWindowSystem();

  // The answer of the next open-file dialog (the FIRMWARE argument).
  void SetFileAnswer(std::optional<std::string> path) { m_fileAnswer = std::move(path); }
  bool SawLine(const std::string& line) const { return m_seen.count(line) > 0; }

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool on) override { m_enabled[id] = on; }
  bool IsEnabled(int id) const override;
  void SetFont(int, const FontSpec&) override {}
  void SetProgressPos(int pos) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboSelect(int index) override { m_comboSelection = index; }
  std::string ComboSelectedText() const override;
  int ComboFind(const std::string& text) const;
  void LogInserted(int index, const std::string& text) override;
  void LogDeleted(int) override {}
  void LogReset() override {}
  void LogSelect(int) override {}
  void LogSetHorizontalExtent(int) override {}
  int LogTextWidth(const std::string& text) const override;
  void SetWindowIcon() override {}
  bool AppendSystemMenuSeparator() override { return false; }
  bool AppendSystemMenuItem(unsigned, const std::string&) override { return false; }
  void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void ShowAboutBox(const std::string& caption, const std::string& line1,
                    const std::string& line2) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;

 private:
  void ClearProgressLine();
  void DrawProgress();

  std::map<int, std::string> m_texts;
  std::map<int, bool> m_enabled;
  std::map<std::string, int> m_seen;
  std::vector<std::string> m_combo;
  int m_comboSelection = -1;
  std::optional<std::string> m_fileAnswer;
  bool m_drawProgress = false;
  bool m_progressShown = false;
  int m_progress = 0;
};
