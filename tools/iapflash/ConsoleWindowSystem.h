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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateListener.h"
#include "app/WindowSystem.h"

struct ConsoleOptions {
  bool json = false;
  bool quiet = false;  // leave out the per-frame lines of the transfer
  // One unit of a station: its name as given (the port, the USB path), put before
  // each of its lines ("NAME: ...") and into each of its JSON objects ("unit").
  // Empty for the one device of a plain run.
  std::string unit;
  std::size_t unitIndex = 0;  // its place in the station's progress line
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
  std::string started, ended;  // ISO 8601, UTC
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

// Where one unit of a station stands, for the station's progress line.
struct UnitBar {
  enum class Phase { kWaiting, kTransfer, kDone, kFailed };
  std::string label;  // a short form of the unit's name
  Phase phase = Phase::kWaiting;
  BarState bar;
};

// Every unit's state on one line that fits a terminal of columns: the widest of
// its forms that does, from a bar and each unit's percentage to counts alone.
std::string StationBarText(const std::vector<UnitBar>& units, int columns);

// A short label for a unit's name on the progress line: its last path part
// ("ttyUSB0", "pts/3" for a pty), or the serial number of "serial=SN".
std::string UnitLabel(const std::string& name);

// stdout and stderr of the run, shared by the window systems of every unit of a
// station: each line is written whole, under one lock, with the progress line on
// a terminal cleared before it and drawn again after it. A stream that can no
// longer be written is given up silently.
class CConsoleOutput {
 public:
  explicit CConsoleOutput(bool json);
  CConsoleOutput(const CConsoleOutput&) = delete;
  CConsoleOutput& operator=(const CConsoleOutput&) = delete;

  void Write(std::FILE* stream, const std::string& text);
  // A station's units, for the progress line; a plain run has one unlabelled unit.
  void SetUnits(std::vector<std::string> labels);
  // Unit's state; with a bar shown from now on (a terminal only).
  void ShowUnit(std::size_t unit, UnitBar::Phase phase, const BarState& bar);
  // Ends a progress line that was drawn with its last state and a newline.
  void EndProgress();
  bool DrawsProgress() const { return m_drawProgress; }

 private:
  void WriteLocked(std::FILE* stream, const std::string& text);
  void ClearLocked();
  void DrawLocked();
  std::string BarLocked() const;

  std::mutex m_mutex;
  bool m_stdoutBroken = false;
  bool m_stderrBroken = false;
  // The bar: drawn only on a terminal; its state is kept so that it can be drawn
  // again below each new line and ended with its final state.
  const bool m_drawProgress;
  bool m_progressShown = false;  // on the terminal now
  bool m_barShown = false;       // drawn since the transfer began, not ended yet
  std::vector<UnitBar> m_units;
};

// text as a JSON string, quotes included: well-formed UTF-8 as it is, every
// other byte and every control character escaped, so the line is always valid.
std::string JsonString(const std::string& text);

class CConsoleWindowSystem : public CWindowSystem, public IUpdateListener {
 public:
  // A plain run, with streams of its own.
  explicit CConsoleWindowSystem(const ConsoleOptions& options);
  // One unit of a station, on the station's streams.
  CConsoleWindowSystem(const ConsoleOptions& options, CConsoleOutput& output);

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
  // The frames of the transfer as its last outcome counted them.
  FrameCounts Frames() const;
  // How many boxes were shown, and whether a box for reason has been explained.
  int BoxesShown() const { return m_boxes; }
  bool Explained(Reason reason) const {
    return std::find(m_explained.begin(), m_explained.end(), reason) != m_explained.end();
  }
  // Ends a progress bar that was drawn with its last state and a newline.
  void EndProgress() { m_output->EndProgress(); }
  // The streams this window system writes to (a station's units share them).
  CConsoleOutput& Output() { return *m_output; }
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
  // text (whole lines), with the unit's name put in when it is a station's unit.
  void Write(std::FILE* stream, const std::string& text);
  void ShowBar(UnitBar::Phase phase);

  ConsoleOptions m_options;
  std::unique_ptr<CConsoleOutput> m_ownOutput;
  CConsoleOutput* m_output;
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
  BarState m_bar;
  int m_lastPercentEvent = -1;
  std::optional<std::chrono::steady_clock::time_point> m_transferStart;
};
