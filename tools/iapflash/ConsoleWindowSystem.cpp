#include "ConsoleWindowSystem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>
#include <vector>

#include "res/Version.h"

#ifdef _WIN32
#include <io.h>
#define IAP_ISATTY _isatty
#define IAP_FILENO _fileno
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#define IAP_ISATTY isatty
#define IAP_FILENO fileno
#endif

namespace {

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Sequence(const std::string& text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t n = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (c & 0x3Fu);
  }
  // No overlong forms, no surrogates, nothing above U+10FFFF.
  const bool overlong = (n == 3 && code < 0x800) || (n == 4 && code < 0x10000);
  if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    // A path or a port name in UTF-8 goes as it is.
    if (const std::size_t n = u >= 0x80 ? Utf8Sequence(text, i) : 0; n > 0) {
      out.append(text, i, n);
      i += n - 1;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u >= 0x80) {
          // Device replies and paths are bytes, not necessarily UTF-8: every
          // control byte and every byte that is not part of well-formed UTF-8
          // goes as its own code point, so the line is always valid JSON.
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// Whether what goes to stdout may reach the terminal the bar is drawn on at a
// moment of somebody else's choosing: a pipe or a socket (iapflash ... | tee log)
// hands its lines on whenever its reader gets to them, so the bar could never be
// cleared before them and would be glued onto them.
bool StdoutIsPassedOn() {
#ifdef _WIN32
  const DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
  return type == FILE_TYPE_PIPE;
#else
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
#endif
}

// The columns of the terminal on stderr; 80 when it does not say.
int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
#else
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

}  // namespace

// The bar's line for a terminal of columns: the widest of its forms that leaves
// the last column free (a line that fills it makes some terminals wrap, and the
// next \r would then redraw on a new line each time). The rate and the time left
// wait for a second of transfer, so that neither is reckoned from a frame or two.
std::string ProgressBarText(const BarState& bar, int columns) {
  const int width = std::max(columns - 1, 1);
  const long total = std::max(bar.total, 1L);
  const int percent = static_cast<int>(std::min(bar.sent, total) * 100 / total);
  char text[64];
  std::snprintf(text, sizeof text, "%3d %%", percent);
  const std::string percentText = text;
  std::snprintf(text, sizeof text, "%ld/%ld bytes", bar.sent, bar.total);
  const std::string bytesText = text;
  const std::string elapsedText = Duration(bar.seconds);
  std::string rateText, leftText;
  if (bar.seconds >= 1.0 && bar.sent > 0) {
    std::snprintf(text, sizeof text, "%.1f kB/s",
                  static_cast<double>(bar.sent) / bar.seconds / 1000.0);
    rateText = text;
    if (bar.frames > 0) {
      // Frames still to go, at the bytes a frame has stood for so far, times the
      // mean time a frame has taken.
      const auto frames = static_cast<double>(bar.frames);
      const double bytesPerFrame = static_cast<double>(bar.sent) / frames;
      const double framesLeft = static_cast<double>(bar.total - bar.sent) / bytesPerFrame;
      leftText = Duration(framesLeft * bar.seconds / frames) + " left";
    }
  }
  // The forms, from the fullest to the barest; the first one that fits is drawn.
  const auto join = [](std::initializer_list<const std::string*> parts) {
    std::string line;
    for (const std::string* part : parts) {
      if (part->empty()) continue;
      line += (line.empty() ? "" : "  ") + *part;
    }
    return line;
  };
  const std::string forms[] = {
      join({&percentText, &bytesText, &elapsedText, &rateText, &leftText}),
      join({&percentText, &elapsedText, &rateText, &leftText}),
      join({&percentText, &rateText, &leftText}),
      join({&percentText, &leftText}),
      percentText,
  };
  constexpr int kFullBar = 30, kShortestBar = 10;
  for (const std::string& tail : forms) {
    const int room = width - static_cast<int>(tail.size()) - 3;  // "[", "] "
    if (room < kShortestBar) continue;
    const int cells = std::min(room, kFullBar);
    const int filled = percent * cells / 100;
    std::string line(1, '[');
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(cells - filled), '.');
    return line.append("] ").append(tail);
  }
  // No room for a bar at all: the numbers alone, whole words only.
  const std::string bare = join({&percentText, &leftText});
  if (static_cast<int>(bare.size()) <= width) return bare;
  return percentText.substr(0, static_cast<std::size_t>(width));
}

std::string UnitLabel(const std::string& name) {
  if (name.rfind("serial=", 0) == 0) return name.substr(7);
  std::string path = name;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const auto cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return path;
  // A pty's number alone says nothing; "pts/3" does.
  if (path.compare(0, cut + 1, "/dev/pts/") == 0) return path.substr(5);
  return path.substr(cut + 1);
}

// The station's line: the percentage of every byte of every unit, then what
// each unit is doing, in the widest form that fits.
std::string StationBarText(const std::vector<UnitBar>& units, int columns) {
  const int width = std::max(columns - 1, 1);
  long sent = 0, total = 0;
  // Every unit takes the same image: a unit that failed or waits before its
  // transfer still lacks all of it.
  long image = 0;
  for (const UnitBar& unit : units) image = std::max(image, unit.bar.total);
  int waiting = 0, running = 0, done = 0, failed = 0;
  std::string named, bare;
  for (const UnitBar& unit : units) {
    const long unitTotal = std::max(unit.bar.total, 1L);
    const int percent = static_cast<int>(std::min(unit.bar.sent, unitTotal) * 100 / unitTotal);
    std::string state;
    switch (unit.phase) {
      case UnitBar::Phase::kWaiting:
        state = "--";
        ++waiting;
        break;
      case UnitBar::Phase::kTransfer:
        state = std::to_string(percent) + "%";
        ++running;
        break;
      case UnitBar::Phase::kDone:
        state = "ok";
        ++done;
        break;
      case UnitBar::Phase::kFailed:
        state = "FAILED";
        ++failed;
        break;
    }
    // A failed unit's bytes stay where it stopped: the line never reaches 100 %
    // while a unit lacks part of its image.
    const long unitImage = unit.bar.total > 0 ? unit.bar.total : image;
    sent += unit.phase == UnitBar::Phase::kDone ? unitImage : std::min(unit.bar.sent, unitImage);
    total += unitImage;
    named += (named.empty() ? "" : "  ") + unit.label + " " + state;
    bare += (bare.empty() ? "" : " ") + state;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%3d %%", total > 0 ? static_cast<int>(sent * 100 / total) : 0);
  const std::string percentText = text;
  std::string counts;
  const auto count = [&counts](int n, const char* what) {
    if (n > 0) counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  count(running, "running");
  count(done, "ok");
  count(failed, "failed");
  count(waiting, "waiting");
  const std::string forms[] = {percentText + "  " + named, percentText + "  " + bare,
                               percentText + "  " + counts};
  constexpr int kBar = 12;
  for (const std::string& tail : forms) {
    if (static_cast<int>(tail.size()) + kBar + 3 > width) continue;
    const int filled = static_cast<int>(total > 0 ? sent * kBar / total : 0);
    std::string line(1, '[');
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBar - filled), '.');
    return line.append("] ").append(tail);
  }
  for (const std::string& tail : forms) {
    if (static_cast<int>(tail.size()) <= width) return tail;
  }
  return percentText.substr(0, static_cast<std::size_t>(width));
}

CConsoleOutput::CConsoleOutput(bool json)
    : m_drawProgress(!json && IAP_ISATTY(IAP_FILENO(stderr)) != 0 && !StdoutIsPassedOn()),
      m_units(1) {}

void CConsoleOutput::WriteLocked(std::FILE* stream, const std::string& text) {
  bool& broken = stream == stdout ? m_stdoutBroken : m_stderrBroken;
  if (broken) return;
  if (std::fputs(text.c_str(), stream) < 0 || std::fflush(stream) != 0) {
    broken = true;
    std::clearerr(stream);
  }
}

void CConsoleOutput::Write(std::FILE* stream, const std::string& text) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  ClearLocked();
  WriteLocked(stream, text);
  DrawLocked();
}

void CConsoleOutput::SetUnits(std::vector<std::string> labels) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  m_units.assign(labels.size(), UnitBar{});
  for (std::size_t i = 0; i < labels.size(); ++i) m_units[i].label = std::move(labels[i]);
}

void CConsoleOutput::ShowUnit(std::size_t unit, UnitBar::Phase phase, const BarState& bar) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (unit >= m_units.size()) return;
  m_units[unit].phase = phase;
  m_units[unit].bar = bar;
  if (!m_drawProgress) return;
  m_barShown = true;
  DrawLocked();
}

std::string CConsoleOutput::BarLocked() const {
  // The terminal may have been resized since the last line: asked every time.
  const int columns = TerminalColumns();
  if (m_units.size() == 1 && m_units[0].label.empty())
    return ProgressBarText(m_units[0].bar, columns);
  return StationBarText(m_units, columns);
}

void CConsoleOutput::ClearLocked() {
  if (!m_progressShown) return;
  WriteLocked(stderr, "\r\033[K");
  m_progressShown = false;
}

void CConsoleOutput::DrawLocked() {
  if (!m_drawProgress || !m_barShown) return;
  WriteLocked(stderr, "\r\033[K" + BarLocked());
  m_progressShown = true;
}

void CConsoleOutput::EndProgress() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_drawProgress || !m_barShown) return;
  WriteLocked(stderr, "\r\033[K" + BarLocked() + "\n");
  m_progressShown = false;
  m_barShown = false;
}

CConsoleWindowSystem::CConsoleWindowSystem(const ConsoleOptions& options)
    : m_options(options),
      m_ownOutput(std::make_unique<CConsoleOutput>(options.json)),
      m_output(m_ownOutput.get()) {}

CConsoleWindowSystem::CConsoleWindowSystem(const ConsoleOptions& options, CConsoleOutput& output)
    : m_options(options), m_output(&output) {}

void CConsoleWindowSystem::Write(std::FILE* stream, const std::string& text) {
  if (m_options.unit.empty()) return m_output->Write(stream, text);
  // Every object of a --json run starts with "{"; a unit's carry its name first.
  if (m_options.json && !text.empty() && text[0] == '{') {
    return m_output->Write(stream,
                           "{\"unit\":" + JsonString(m_options.unit) + "," + text.substr(1));
  }
  m_output->Write(stream, m_options.unit + ": " + text);
}

void CConsoleWindowSystem::ShowBar(UnitBar::Phase phase) {
  m_output->ShowUnit(m_options.unitIndex, phase, m_bar);
}

void CConsoleWindowSystem::SetText(int id, const std::string& text) { m_texts[id] = text; }

std::string CConsoleWindowSystem::GetText(int id) const {
  const auto it = m_texts.find(id);
  return it == m_texts.end() ? std::string() : it->second;
}

bool CConsoleWindowSystem::IsEnabled(int id) const {
  const auto it = m_enabled.find(id);
  return it == m_enabled.end() || it->second;
}

const Outcome* CConsoleWindowSystem::OutcomeOf(Stage stage) const {
  const auto it = m_outcomes.find(stage);
  return it == m_outcomes.end() ? nullptr : &it->second;
}

void CConsoleWindowSystem::OnOutcome(const Outcome& outcome) {
  m_outcomes[outcome.stage] = outcome;
  m_last = outcome;
  // A station's line says which units are through and which have failed.
  if (m_options.unit.empty()) return;
  if (!outcome.Done()) {
    ShowBar(UnitBar::Phase::kFailed);
  } else if (outcome.stage == Stage::kEndOfFile) {
    ShowBar(UnitBar::Phase::kDone);
  }
}

void CConsoleWindowSystem::OnStageBegun(Stage stage) {
  // The clock of the bar starts with the transfer, not with its first frame: a
  // rate reckoned from the first acknowledgement alone would be absurd.
  if (stage != Stage::kTransfer) return;
  m_bar = BarState{};
  m_transferStart = std::chrono::steady_clock::now();
}

void CConsoleWindowSystem::OnFrameAcknowledged(const TransferFrame&) { ++m_bar.frames; }

void CConsoleWindowSystem::OnProgress(long sent, long total) {
  // The bar keeps its last state until EndProgress closes it.
  if (sent <= 0 || total <= 0) return;
  sent = std::min(sent, total);
  if (!m_transferStart) m_transferStart = std::chrono::steady_clock::now();
  const int percent = static_cast<int>(sent * 100 / total);

  if (m_options.json) {
    if (percent == m_lastPercentEvent) return;
    m_lastPercentEvent = percent;
    Write(stdout, "{\"event\":\"progress\",\"percent\":" + std::to_string(percent) + ",\"bytes\":" +
                      std::to_string(sent) + ",\"total\":" + std::to_string(total) + "}\n");
    return;
  }
  if (!m_output->DrawsProgress()) return;
  m_bar.sent = sent;
  m_bar.total = total;
  m_bar.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - *m_transferStart).count();
  ShowBar(UnitBar::Phase::kTransfer);
}

void CConsoleWindowSystem::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > static_cast<int>(m_combo.size()))
    index = static_cast<int>(m_combo.size());
  m_combo.insert(m_combo.begin() + index, text);
}

std::string CConsoleWindowSystem::ComboSelectedText() const {
  if (m_comboSelection < 0 || m_comboSelection >= static_cast<int>(m_combo.size())) return {};
  return m_combo[m_comboSelection];
}

int CConsoleWindowSystem::ComboFind(const std::string& text) const {
  for (std::size_t i = 0; i < m_combo.size(); ++i) {
    if (m_combo[i] == text) return static_cast<int>(i);
  }
  return -1;
}

void CConsoleWindowSystem::OnLogLine(const std::string& text, LogKind kind) {
  if (kind == LogKind::kPerFrame && m_options.quiet) return;
  if (m_options.json) {
    Write(stdout, "{\"event\":\"log\",\"text\":" + JsonString(text) + "}\n");
    return;
  }
  Write(stdout, text + "\n");
}

int CConsoleWindowSystem::LogTextWidth(const std::string& text) const {
  return static_cast<int>(text.size());  // one column per character
}

// Boxes reach the console through OnBox, with the reason they are shown for.
void CConsoleWindowSystem::ShowMessageBox(const std::string&, const std::string&, BoxIcon) {}

void CConsoleWindowSystem::OnBox(const BoxEvent& box) {
  // The journal's box tells of the record, not of the update: a problem of the
  // run, which leaves its result and exit status as they are.
  if (box.reason == Reason::kJournalUnwritten) {
    Note(box.text, box.reason);
    return;
  }
  ++m_boxes;
  std::vector<std::string> why;
  if (m_explain && box.reason != Reason::kNone &&
      std::find(m_explained.begin(), m_explained.end(), box.reason) == m_explained.end()) {
    m_explained.push_back(box.reason);
    why = m_explain(box);
  }
  if (m_options.json) {
    Write(stdout, "{\"event\":\"box\",\"caption\":" + JsonString(box.caption) +
                      ",\"text\":" + JsonString(box.text) + ",\"icon\":\"" + BoxIconName(box.icon) +
                      "\",\"reason\":\"" + ReasonName(box.reason) + "\"}\n");
  } else {
    Write(stderr, box.caption + ": " + box.text + "\n");
  }
  for (const std::string& line : why) Note(line, box.reason);
}

bool CConsoleWindowSystem::AskYesNo(const std::string& text, const std::string& caption,
                                    BoxIcon icon) {
  if (m_options.json) {
    Write(stdout, "{\"event\":\"box\",\"caption\":" + JsonString(caption) +
                      ",\"text\":" + JsonString(text) + ",\"icon\":\"" + BoxIconName(icon) +
                      "\",\"reason\":\"none\",\"answer\":\"yes\"}\n");
  } else {
    Write(stderr, caption + ": " + text + " (answered Yes)\n");
  }
  return true;
}

void CConsoleWindowSystem::Note(const std::string& text, Reason reason) {
  if (m_options.json) {
    Write(stdout, "{\"event\":\"problem\",\"text\":" + JsonString(text) + ",\"reason\":\"" +
                      ReasonName(reason) + "\"}\n");
  } else {
    Write(stderr, "iapflash: " + text + "\n");
  }
}

void CConsoleWindowSystem::ShowAboutBox(const std::string& caption, const std::string& line1,
                                        const std::string& line2) {
  Write(stderr, caption + ": " + line1 + " " + line2 + "\n");
}

std::optional<std::string> CConsoleWindowSystem::OpenFileDialog(const FileDialogRequest&) {
  auto answer = m_fileAnswer;
  m_fileAnswer.reset();
  return answer;
}

FrameCounts CConsoleWindowSystem::Frames() const {
  if (const Outcome* end = OutcomeOf(Stage::kEndOfFile)) return end->detail.frames;
  if (const Outcome* transfer = OutcomeOf(Stage::kTransfer)) return transfer->detail.frames;
  return {};
}

void CConsoleWindowSystem::Result(const RunSummary& run) {
  if (!m_options.json) return;
  char head[160];
  std::snprintf(head, sizeof head,
                "{\"event\":\"result\",\"exit\":%d,\"seconds\":%.3f,\"image_bytes\":%ld",
                run.exitStatus, run.seconds, run.imageBytes);
  std::string line = head;
  // The outcome the run ended on: the last stage that ended.
  const Outcome none{};
  const Outcome& last = m_last ? *m_last : none;
  line += std::string(",\"stage\":\"") + (m_last ? StageName(last.stage) : "none") + "\"";
  line += std::string(",\"result\":\"") + (m_last ? ResultName(last.result) : "none") + "\"";
  line += std::string(",\"reason\":\"") + ReasonName(last.reason) + "\"";
  std::string detail;
  const auto add = [&detail](const std::string& field) {
    detail += (detail.empty() ? "" : ",") + field;
  };
  const OutcomeDetail& d = last.detail;
  if (d.line > 0) add("\"line\":" + std::to_string(d.line));
  if (d.frame > 0) add("\"frame\":" + std::to_string(d.frame));
  if (d.address >= 0) add("\"address\":" + std::to_string(d.address));
  if (!d.device.empty()) add("\"device\":" + JsonString(d.device));
  if (!d.osError.empty()) add("\"os_error\":" + JsonString(d.osError));
  if (!d.text.empty()) add("\"text\":" + JsonString(d.text));
  line += ",\"detail\":{" + detail + "}";
  line +=
      ",\"variant\":" + JsonString(run.variant) + ",\"version\":" + JsonString(IAP_VERSION_STRING);
  line += ",\"port\":" + (run.port.empty() ? std::string("null") : JsonString(run.port));
  line += ",\"firmware\":";
  if (run.firmwarePath.empty()) {
    line += "null";
  } else {
    line += "{\"path\":" + JsonString(run.firmwarePath) + ",\"size\":" +
            (run.firmwareSize < 0 ? std::string("null") : std::to_string(run.firmwareSize)) +
            ",\"sha256\":" +
            (run.firmwareSha256.empty() ? std::string("null") : JsonString(run.firmwareSha256)) +
            ",\"key_id\":" + (run.keyId.empty() ? std::string("null") : JsonString(run.keyId)) +
            ",\"trusted_comment\":" +
            (run.keyId.empty() ? std::string("null") : JsonString(run.trustedComment)) + "}";
  }
  line += ",\"started\":" + JsonString(run.started) + ",\"ended\":" + JsonString(run.ended);
  const FrameCounts frames = Frames();
  line += ",\"frames\":{\"sent\":" + std::to_string(frames.sent) +
          ",\"acknowledged\":" + std::to_string(frames.acknowledged) +
          ",\"resent\":" + std::to_string(frames.resent) + "}";
  Write(stdout, line + "}\n");
}
