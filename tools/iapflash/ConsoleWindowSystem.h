#pragma once
// The window system of the command line, and the listener of the dialog that
// renders its events: the message log goes to stdout, one line per log line
// exactly as appended, and every message box to stderr as one line
// "CAPTION: TEXT" (answered OK at once), followed by the lines that explain it.
// With --json every one of these is instead a JSON object on a line of stdout.
// Controls are kept as state, so the dialog runs exactly as it does behind a
// window. When stderr is a terminal the progress bar is drawn there, below the
// log lines.
//
// A stream that can no longer be written (a reader that went away, a full disk)
// is given up silently: the update runs to its end whoever is listening.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateListener.h"
#include "app/WindowSystem.h"

struct ConsoleOptions {
  bool json = false;
  bool quiet = false;  // leave out the per-frame lines of the transfer
};

// What the result line of a --json run says beyond the outcome.
struct RunSummary {
  int exitStatus = 0;
  double seconds = 0;
  long imageBytes = 0;
  std::string variant;
  std::string port;  // the device the chosen interface was bound to
  std::string firmwarePath;
  long long firmwareSize = -1;  // -1: not known
  std::string firmwareSha256;   // empty: not known
  // The vendor's signature, when one was verified: its key id and trusted comment.
  std::string keyId, trustedComment;
  std::string started, ended;   // ISO 8601, UTC
};

// What the progress bar shows: bytes of the image stepped through, of total,
// the frames acknowledged and the seconds since the transfer began.
struct BarState {
  long sent = 0, total = 0;
  long frames = 0;
  double seconds = 0;
};

// The bar as one line that fits a terminal of columns (the last one left free).
std::string ProgressBarText(const BarState& bar, int columns);

// text as a JSON string, quotes included: well-formed UTF-8 as it is, every
// other byte and every control character escaped, so the line is always valid.
std::string JsonString(const std::string& text);

class CConsoleWindowSystem : public CWindowSystem, public IUpdateListener {
 public:
  explicit CConsoleWindowSystem(const ConsoleOptions& options);

  // The answer of the next open-file dialog (the FIRMWARE argument).
  void SetFileAnswer(std::optional<std::string> path) { m_fileAnswer = std::move(path); }
  // Lines that explain a box to the person at the console (each printed as
  // "iapflash: LINE"); asked once for each reason.
  void SetBoxExplainer(std::function<std::vector<std::string>(const BoxEvent&)> explain) {
    m_explain = std::move(explain);
  }
  // The last outcome of each stage, and the last outcome of all; nullptr for a
  // stage that has not ended.
  const Outcome* OutcomeOf(Stage stage) const;
  const Outcome* LastOutcome() const { return m_last ? &*m_last : nullptr; }
  // How many boxes were shown, and whether a box for reason has been explained.
  int BoxesShown() const { return m_boxes; }
  bool Explained(Reason reason) const {
    return std::find(m_explained.begin(), m_explained.end(), reason) != m_explained.end();
  }
  // Ends a progress bar that was drawn with its last state and a newline.
  void EndProgress();
  // The last event of a --json run.
  void Result(const RunSummary& summary);

  // --- the dialog's events
  void OnStageBegun(Stage stage) override;
  void OnOutcome(const Outcome& outcome) override;
  void OnFrameAcknowledged(const TransferFrame& frame) override;
  void OnLogLine(const std::string& text, LogKind kind) override;
  void OnBox(const BoxEvent& box) override;
  void OnProgress(long bytes, long total) override;
  // A problem of the command line itself, after a box (with its reason) or on its own.
  void Note(const std::string& text, Reason reason = Reason::kNone);

  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void Enable(int id, bool on) override { m_enabled[id] = on; }
  bool IsEnabled(int id) const override;
  void SetFont(int, const FontSpec&) override {}
  void SetProgressPos(int) override {}
  void ComboInsert(int index, const std::string& text) override;
  void ComboSelect(int index) override { m_comboSelection = index; }
  std::string ComboSelectedText() const override;
  int ComboFind(const std::string& text) const;
  // The log reaches the console through OnLogLine.
  void LogInserted(int, const std::string&) override {}
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
  void Write(std::FILE* stream, const std::string& text);
  void ClearProgressLine();
  void DrawProgress();

  ConsoleOptions m_options;
  std::map<int, std::string> m_texts;
  std::map<int, bool> m_enabled;
  std::map<Stage, Outcome> m_outcomes;
  std::optional<Outcome> m_last;
  std::vector<Reason> m_explained;  // each reason is explained once
  int m_boxes = 0;
  std::vector<std::string> m_combo;
  int m_comboSelection = -1;
  std::optional<std::string> m_fileAnswer;
  std::function<std::vector<std::string>(const BoxEvent&)> m_explain;
  bool m_stdoutBroken = false;
  bool m_stderrBroken = false;
  // The bar: drawn only on a terminal; its last text is kept so that it can be
  // drawn again below each new log line and ended with its final state.
  bool m_drawProgress = false;
  bool m_progressShown = false;  // on the terminal now
  bool m_barShown = false;       // drawn since the transfer began, not ended yet
  BarState m_bar;
  int m_lastPercentEvent = -1;
  std::optional<std::chrono::steady_clock::time_point> m_transferStart;
};
