#include "ui/qt/QtLogList.h"

#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

namespace {
// Lines as tall as the style makes them and as wide as the log's extent.
class CExtentDelegate : public QStyledItemDelegate {
 public:
  explicit CExtentDelegate(CQtLogList* log) : QStyledItemDelegate(log), m_log(log) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(m_log->HorizontalExtent());
    return size;
  }

 private:
  CQtLogList* m_log;
};
}  // namespace

CQtLogList::CQtLogList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setSortingEnabled(false);  // lines go where they are inserted
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAutoScroll(false);  // SelectRow scrolls, vertically only
  setTextElideMode(Qt::ElideNone);
  setWordWrap(false);
  setUniformItemSizes(true);  // one line's size serves all: appends stay cheap
  setItemDelegate(new CExtentDelegate(this));
}

void CQtLogList::SetHorizontalExtent(int pixels) {
  pixels = std::max(0, pixels);
  if (pixels == m_extent) return;
  m_extent = pixels;
  doItemsLayout();
}

void CQtLogList::SelectRow(int row) {
  if (row < 0 || row >= count()) {
    clearSelection();
    setCurrentRow(-1);
    return;
  }
  const int x = horizontalScrollBar()->value();
  setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
  scrollToItem(item(row), QAbstractItemView::EnsureVisible);
  horizontalScrollBar()->setValue(x);
}
