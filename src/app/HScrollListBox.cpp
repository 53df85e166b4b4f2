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

void CHScrollListBox::SelectLast() { SetCurSel(GetCount() - 1); }

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
