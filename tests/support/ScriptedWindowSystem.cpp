#include "support/ScriptedWindowSystem.h"

#include <chrono>

CScriptedWindowSystem::CScriptedWindowSystem() = default;

void CScriptedWindowSystem::SetText(int id, const std::string& text) {
  texts[id] = text;
  if (id == IDC_PERCENT) percentHistory.push_back(text);
}

std::string CScriptedWindowSystem::GetText(int id) const {
  const auto it = texts.find(id);
  return it == texts.end() ? std::string() : it->second;
}

void CScriptedWindowSystem::Enable(int id, bool on) { enabled[id] = on; }

bool CScriptedWindowSystem::IsEnabled(int id) const {
  const auto it = enabled.find(id);
  return it == enabled.end() ? true : it->second;  // controls start enabled
}

void CScriptedWindowSystem::SetFont(int id, const FontSpec& font) { fonts[id] = font; }

void CScriptedWindowSystem::SetProgressPos(int pos) {
  progress = pos;
  progressHistory.push_back(pos);
}

void CScriptedWindowSystem::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > static_cast<int>(combo.size())) index = static_cast<int>(combo.size());
  combo.insert(combo.begin() + index, text);
}

void CScriptedWindowSystem::ComboSelect(int index) {
  comboSelection = (index >= 0 && index < static_cast<int>(combo.size())) ? index : -1;
}

std::string CScriptedWindowSystem::ComboSelectedText() const {
  return comboSelection < 0 ? std::string() : combo[comboSelection];
}

void CScriptedWindowSystem::LogInserted(int index, const std::string& text) {
  logLines.insert(logLines.begin() + index, text);
  events.push_back("log:" + text);
}

void CScriptedWindowSystem::LogSelect(int index) { logSelection = index; }

void CScriptedWindowSystem::LogSetHorizontalExtent(int pixels) { logExtent = pixels; }

int CScriptedWindowSystem::LogTextWidth(const std::string& text) const {
  return 7 * static_cast<int>(text.size());
}

bool CScriptedWindowSystem::AppendSystemMenuSeparator() {
  if (!hasSystemMenu) return false;
  systemMenu.push_back("-");
  return true;
}

bool CScriptedWindowSystem::AppendSystemMenuItem(unsigned commandId, const std::string& text) {
  if (!hasSystemMenu) return false;
  systemMenu.push_back(std::to_string(commandId) + ":" + text);
  return true;
}

void CScriptedWindowSystem::ShowMessageBox(const std::string& text, const std::string& caption,
                                           BoxIcon icon) {
  boxes.push_back({text, caption, icon});
  events.push_back("box:" + caption + ":" + text + ":" + BoxIconName(icon));
  if (onBox) onBox(boxes.back());
}

bool CScriptedWindowSystem::AskYesNo(const std::string& text, const std::string& caption,
                                     BoxIcon icon) {
  questions.push_back({text, caption, icon});
  if (onQuestion) onQuestion(questions.back());
  bool yes = false;
  if (!yesNoAnswers.empty()) {
    yes = yesNoAnswers.front();
    yesNoAnswers.pop_front();
  }
  events.push_back("ask:" + caption + ":" + text + ":" + BoxIconName(icon) + ":" +
                   (yes ? "yes" : "no"));
  return yes;
}

void CScriptedWindowSystem::ShowAboutBox(const std::string& caption, const std::string& line1,
                                         const std::string& line2) {
  events.push_back("about:" + caption + ":" + line1 + ":" + line2);
}

std::optional<std::string> CScriptedWindowSystem::OpenFileDialog(const FileDialogRequest& request) {
  fileRequests.push_back(request);
  if (fileAnswers.empty()) return std::nullopt;
  auto answer = fileAnswers.front();
  fileAnswers.pop_front();
  return answer;
}

void CScriptedWindowSystem::PumpOneMessage() {
  ++pumpCount;
  if (onPump) onPump();
}

bool CScriptedWindowSystem::RunUntil(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    UiCalls().WaitAndDrain(5);
  }
  return true;
}

int CScriptedWindowSystem::FindLog(const std::string& text, int from) const {
  for (int i = from; i < static_cast<int>(logLines.size()); ++i) {
    if (logLines[i] == text) return i;
  }
  return -1;
}

std::string CScriptedWindowSystem::CurrentDirectory() const {
  return currentDirectory.empty() ? CWindowSystem::CurrentDirectory() : currentDirectory;
}
