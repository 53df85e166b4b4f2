#include "ConsoleWindowSystem.h"

#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define IAP_ISATTY _isatty
#define IAP_FILENO _fileno
#else
#include <unistd.h>
#define IAP_ISATTY isatty
#define IAP_FILENO fileno
#endif

CConsoleWindowSystem::CConsoleWindowSystem()
    : m_drawProgress(IAP_ISATTY(IAP_FILENO(stderr)) != 0) {}

void CConsoleWindowSystem::SetText(int id, const std::string& text) {
  m_texts[id] = text;
  if (id == IDC_PERCENT) DrawProgress();
}

std::string CConsoleWindowSystem::GetText(int id) const {
  const auto it = m_texts.find(id);
  return it == m_texts.end() ? std::string() : it->second;
}

bool CConsoleWindowSystem::IsEnabled(int id) const {
  const auto it = m_enabled.find(id);
  return it == m_enabled.end() || it->second;
}

void CConsoleWindowSystem::SetProgressPos(int pos) {
  m_progress = pos;
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

void CConsoleWindowSystem::LogInserted(int, const std::string& text) {
  ClearProgressLine();
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  ++m_seen[text];
}

int CConsoleWindowSystem::LogTextWidth(const std::string& text) const {
  return static_cast<int>(text.size());  // one column per character
}

void CConsoleWindowSystem::ShowMessageBox(const std::string& text, const std::string& caption,
                                          BoxIcon) {
  ClearProgressLine();
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

void CConsoleWindowSystem::ShowAboutBox(const std::string& caption, const std::string& line1,
                                        const std::string& line2) {
  std::fprintf(stderr, "%s: %s %s\n", caption.c_str(), line1.c_str(), line2.c_str());
}

std::optional<std::string> CConsoleWindowSystem::OpenFileDialog(const FileDialogRequest&) {
  auto answer = m_fileAnswer;
  m_fileAnswer.reset();
  return answer;
}

void CConsoleWindowSystem::ClearProgressLine() {
  if (!m_progressShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  m_progressShown = false;
}

void CConsoleWindowSystem::DrawProgress() {
  if (!m_drawProgress) return;
  constexpr int kWidth = 40;
  const int filled = m_progress * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r[%s] %s", bar.c_str(), GetText(IDC_PERCENT).c_str());
  std::fflush(stderr);
  m_progressShown = true;
}
