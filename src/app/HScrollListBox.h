#pragma once
// The message log: a list box that keeps its horizontal scroll range equal to the
// width of its widest line and selects its newest line after every insertion, so
// the technician always sees the latest step. This class holds the lines and the
// extent; the face only shows them (CWindowSystem::Log*).

#include <string>
#include <vector>

class CWindowSystem;

class CHScrollListBox {
 public:
  static constexpr int kErr = -1;
  static constexpr int kErrSpace = -2;

  explicit CHScrollListBox(CWindowSystem& ws) : m_ws(ws) {}

  // List box operations; each returns what the plain list box would. Lines are
  // only ever added: the log keeps the whole story of the session.
  int InsertString(int index, const std::string& text);  // index -1 appends
  int GetCount() const { return static_cast<int>(m_lines.size()); }
  int SetCurSel(int index);
  int GetCurSel() const { return m_selection; }
  int GetHorizontalExtent() const { return m_extent; }

  // Appending a line: count, then insert at that index (the list box class then
  // widens the extent and selects the last line). UI thread only.
  void Append(const std::string& text);

  const std::vector<std::string>& Lines() const { return m_lines; }

 private:
  int LineWidth(const std::string& text) const;
  void WidenFor(const std::string& text);
  void SetHorizontalExtent(int pixels);
  void SelectLast();

  CWindowSystem& m_ws;
  std::vector<std::string> m_lines;
  int m_extent = 0;
  int m_selection = -1;
};
