#include "ConsoleWindowSystem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>
#include <vector>

#include "update/RecordFrames.h"
#include "update/Transfer.h"

#ifdef _WIN32
#include <io.h>
#define IAP_ISATTY _isatty
#define IAP_FILENO _fileno
#else
#include <unistd.h>
#define IAP_ISATTY isatty
#define IAP_FILENO fileno
#endif

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
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
          // Device replies and paths are bytes, not necessarily UTF-8: every byte
          // outside printable ASCII goes as its own code point, so the line is
          // always valid JSON.
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

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "12 Wr", "12 Rd": the frame number lines of the transfer.
bool FrameNumberLine(const std::string& text) {
  if (text.size() < 4) return false;
  const std::string tail = text.substr(text.size() - 3);
  return (tail == " Wr" || tail == " Rd") && AllDigits(text.substr(0, text.size() - 3));
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

CConsoleWindowSystem::CConsoleWindowSystem(const ConsoleOptions& options)
    : m_options(options), m_drawProgress(!options.json && IAP_ISATTY(IAP_FILENO(stderr)) != 0) {}

void CConsoleWindowSystem::Write(std::FILE* stream, const std::string& text) {
  bool& broken = stream == stdout ? m_stdoutBroken : m_stderrBroken;
  if (broken) return;
  if (std::fputs(text.c_str(), stream) < 0 || std::fflush(stream) != 0) {
    broken = true;
    std::clearerr(stream);
  }
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

void CConsoleWindowSystem::SetProgressPos(int pos) {
  long sent = pos, total = 100;
  if (m_progressSource) std::tie(sent, total) = m_progressSource();
  // The transfer resets the bar to 0 when it ends; the bar keeps its last state
  // until EndProgress closes it.
  if (sent <= 0 || total <= 0) return;
  sent = std::min(sent, total);
  if (!m_transferStart) m_transferStart = std::chrono::steady_clock::now();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - *m_transferStart).count();
  const int percent = static_cast<int>(sent * 100 / total);

  if (m_options.json) {
    if (percent == m_lastPercentEvent) return;
    m_lastPercentEvent = percent;
    Write(stdout, "{\"event\":\"progress\",\"percent\":" + std::to_string(percent) + ",\"bytes\":" +
                      std::to_string(sent) + ",\"total\":" + std::to_string(total) + "}\n");
    return;
  }
  if (!m_drawProgress) return;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  char text[160];
  std::snprintf(text, sizeof text, "[%s] %3d %%  %ld/%ld bytes  %s  %.1f kB/s", bar.c_str(),
                percent, sent, total, Duration(seconds).c_str(),
                seconds > 0 ? static_cast<double>(sent) / seconds / 1000.0 : 0.0);
  m_barText = text;
  DrawProgress();
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

bool CConsoleWindowSystem::IsFrameLine(const std::string& text) {
  if (text == kSeparator) m_inTransfer = false;
  if (text == "Map bin file OK") m_inTransfer = true;
  if (!m_inTransfer) return false;
  // Per frame the transfer logs its number, the HID report's byte count, the
  // reply, the number again and, when it was the acknowledgement, the reply once
  // more. A wrong reply stays: it is the start of a failure.
  return FrameNumberLine(text) || AllDigits(text) || text.find(kAckReply) != std::string::npos;
}

void CConsoleWindowSystem::LogInserted(int, const std::string& text) {
  ++m_seen[text];
  if (IsFrameLine(text) && m_options.quiet) return;
  if (m_options.json) {
    Write(stdout, "{\"event\":\"log\",\"text\":" + JsonString(text) + "}\n");
    return;
  }
  ClearProgressLine();
  Write(stdout, text + "\n");
  DrawProgress();
}

int CConsoleWindowSystem::LogTextWidth(const std::string& text) const {
  return static_cast<int>(text.size());  // one column per character
}

void CConsoleWindowSystem::ShowMessageBox(const std::string& text, const std::string& caption,
                                          BoxIcon icon) {
  const std::vector<std::string> why = m_explain ? m_explain(text) : std::vector<std::string>{};
  if (m_options.json) {
    Write(stdout, "{\"event\":\"box\",\"caption\":" + JsonString(caption) + ",\"text\":" +
                      JsonString(text) + ",\"icon\":\"" + BoxIconName(icon) + "\"}\n");
  } else {
    ClearProgressLine();
    Write(stderr, caption + ": " + text + "\n");
  }
  for (const std::string& line : why) Note(line);
  DrawProgress();
}

bool CConsoleWindowSystem::AskYesNo(const std::string& text, const std::string& caption,
                                    BoxIcon icon) {
  if (m_options.json) {
    Write(stdout, "{\"event\":\"box\",\"caption\":" + JsonString(caption) +
                      ",\"text\":" + JsonString(text) + ",\"icon\":\"" + BoxIconName(icon) +
                      "\",\"answer\":\"yes\"}\n");
  } else {
    ClearProgressLine();
    Write(stderr, caption + ": " + text + " (answered Yes)\n");
    DrawProgress();
  }
  return true;
}

void CConsoleWindowSystem::Note(const std::string& text) {
  if (m_options.json) {
    Write(stdout, "{\"event\":\"problem\",\"text\":" + JsonString(text) + "}\n");
  } else {
    ClearProgressLine();
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

void CConsoleWindowSystem::Result(int exitStatus, double seconds, long imageBytes) {
  if (!m_options.json) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "{\"event\":\"result\",\"exit\":%d,\"seconds\":%.3f,\"image_bytes\":%ld}\n",
                exitStatus, seconds, imageBytes);
  Write(stdout, text);
}

void CConsoleWindowSystem::ClearProgressLine() {
  if (!m_progressShown) return;
  Write(stderr, "\r\033[K");
  m_progressShown = false;
}

void CConsoleWindowSystem::DrawProgress() {
  if (!m_drawProgress || m_barText.empty()) return;
  Write(stderr, "\r" + m_barText);
  m_progressShown = true;
}

void CConsoleWindowSystem::EndProgress() {
  if (!m_drawProgress || m_barText.empty()) return;
  Write(stderr, "\r\033[K" + m_barText + "\n");
  m_progressShown = false;
  m_barText.clear();
}
