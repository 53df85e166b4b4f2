#pragma once
// The message log's list box: a plain list whose horizontal scroll range is the
// extent the log model sets (the width of its widest line), not the width Qt would
// compute from the items, so both platforms scroll the same way.

#include <QListWidget>

class CQtLogList : public QListWidget {
  Q_OBJECT

 public:
  explicit CQtLogList(QWidget* parent = nullptr);

  // Every line is laid out as wide as the extent, so the list scrolls exactly as
  // far as the extent reaches.
  void SetHorizontalExtent(int pixels);
  int HorizontalExtent() const { return m_extent; }
  // Selects row (-1: none) and brings it into view vertically only, as a list box
  // does; the horizontal position stays where the user left it.
  void SelectRow(int row);

 private:
  int m_extent = 0;
};
