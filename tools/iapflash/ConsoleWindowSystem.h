#pragma once
// The window system of the command line: the message log goes to stdout, one line
// per log line exactly as appended, and every message box to stderr as one line
// "CAPTION: TEXT" (answered OK at once), followed by the lines that explain it.
// With --json every one of these is instead a JSON object on a line of stdout.
// Controls are kept as state, so the dialog runs exactly as it does behind a
// window. When stderr is a terminal the progress bar is drawn there, below the
// log lines.
//
// A stream that can no longer be written (a reader that went away, a full disk)
// is given up silently: the update runs to its end whoever is listening.

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/WindowSystem.h"

struct ConsoleOptions {
  bool json = false;
  bool quiet = false;  // leave out the per-frame lines of the transfer
};

class CConsoleWindowSystem : public CWindowSystem {
 public:
  explicit CConsoleWindowSystem(const ConsoleOptions& options);

  // The answer of the next open-file dialog (the FIRMWARE argument).
  void SetFileAnswer(std::optional<std::string> path) { m_fileAnswer = std::move(path); }
  bool SawLine(const std::string& line) const { return m_seen.count(line) > 0; }
  // Bytes of the image stepped through and the image's length, for the progress
  // bar and the progress events.
  void SetProgressSource(std::function<std::pair<long, long>()> source) {
    m_progressSource = std::move(source);
  }
  // Lines that explain a box to the person at the console (each printed as
  // "iapflash: LINE"); asked once per box.
  void SetBoxExplainer(std::function<std::vector<std::string>(const std::string&)> explain) {
    m_explain = std::move(explain);
  }
  // Ends a progress bar that was drawn with its last state and a newline.
  void EndProgress();
  // The last event of a --json run.
  void Result(int exitStatus, double seconds, long imageBytes);
  // A problem of the command line itself, after a box or on its own.
  void Note(const std::string& text);

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
  // Written as a box and answered Yes. The console has no window to close: the
  // dialog asks only when its window is closed during a transfer, which iapflash
  // never does (Ctrl-C during the transfer is Cancel Update, a second one ends the
  // program); whoever closes it that way has already decided.
  bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
  void ShowAboutBox(const std::string& caption, const std::string& line1,
                    const std::string& line2) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;

 private:
  bool IsFrameLine(const std::string& text);
  void Write(std::FILE* stream, const std::string& text);
  void ClearProgressLine();
  void DrawProgress();

  ConsoleOptions m_options;
  std::map<int, std::string> m_texts;
  std::map<int, bool> m_enabled;
  std::map<std::string, int> m_seen;
  std::vector<std::string> m_combo;
  int m_comboSelection = -1;
  std::optional<std::string> m_fileAnswer;
  std::function<std::pair<long, long>()> m_progressSource;
  std::function<std::vector<std::string>(const std::string&)> m_explain;
  bool m_inTransfer = false;  // between "Map bin file OK" and the next separator
  bool m_stdoutBroken = false;
  bool m_stderrBroken = false;
  // The bar: drawn only on a terminal; its last text is kept so that it can be
  // drawn again below each new log line and ended with its final state.
  bool m_drawProgress = false;
  bool m_progressShown = false;
  std::string m_barText;
  int m_lastPercentEvent = -1;
  std::optional<std::chrono::steady_clock::time_point> m_transferStart;
};
