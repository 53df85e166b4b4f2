#include "app/HScrollListBox.h"

#include <algorithm>

#include "app/WindowSystem.h"

namespace {
bool IsError(int result) {
  return result == CHScrollListBox::kErr || result == CHScrollListBox::kErrSpace;
}
}  // namespace

int CHScrollListBox::LineWidth(const std::string& text) const {
  // Measured in the list box's own font; 3 pixels for the item's margins.
  return m_ws.LogTextWidth(text) + 3;
}

void CHScrollListBox::SetHorizontalExtent(int pixels) {
  m_extent = pixels;
  m_ws.LogSetHorizontalExtent(pixels);
}

void CHScrollListBox::WidenFor(const std::string& text) {
  const int width = LineWidth(text);
  if (m_extent < width) SetHorizontalExtent(width);
}

void CHScrollListBox::RecomputeExtent() {
  int widest = 0;
  for (const auto& line : m_lines) widest = std::max(widest, LineWidth(line));
  SetHorizontalExtent(m_lines.empty() ? 0 : widest);
}

void CHScrollListBox::SelectLast() { SetCurSel(GetCount() - 1); }

int CHScrollListBox::AddString(const std::string& text) {
  m_lines.push_back(text);
  const int result = GetCount() - 1;
  m_ws.LogInserted(result, text);
  if (!IsError(result)) WidenFor(text);
  return result;
}

int CHScrollListBox::InsertString(int index, const std::string& text) {
  int result = kErr;
  if (index == -1) index = GetCount();
  if (index >= 0 && index <= GetCount()) {
    m_lines.insert(m_lines.begin() + index, text);
    m_ws.LogInserted(index, text);
    result = index;
  }
  if (!IsError(result)) WidenFor(text);
  SelectLast();  // also after a refused insertion
  return result;
}

int CHScrollListBox::DeleteString(int index) {
  if (index < 0 || index >= GetCount()) return kErr;
  m_lines.erase(m_lines.begin() + index);
  m_ws.LogDeleted(index);
  if (m_selection == index) m_selection = -1;
  if (m_selection > index) --m_selection;
  const int result = GetCount();
  RecomputeExtent();
  return result;
}

void CHScrollListBox::ResetContent() {
  m_lines.clear();
  m_selection = -1;
  m_ws.LogReset();
  SetHorizontalExtent(0);
}

std::string CHScrollListBox::GetText(int index) const {
  if (index < 0 || index >= GetCount()) return {};
  return m_lines[index];
}

int CHScrollListBox::SetCurSel(int index) {
  if (index < 0 || index >= GetCount()) {
    m_selection = -1;
    m_ws.LogSelect(-1);
    return kErr;
  }
  m_selection = index;
  m_ws.LogSelect(index);
  return index;
}

void CHScrollListBox::Append(const std::string& text) { InsertString(GetCount(), text); }
