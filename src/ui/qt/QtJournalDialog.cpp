#include "ui/qt/QtJournalDialog.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/qt/DialogUnits.h"

namespace {
QString Q(const std::string& text) { return QString::fromStdString(text); }

// Rows the list shows without scrolling when the window opens.
constexpr int kVisibleRows = 16;
}  // namespace

CQtJournalDialog::CQtJournalDialog(const QString& path, const std::vector<JournalRow>& rows,
                                   const QString& error, QWidget* parent)
    : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("Service journal"));
  setFont(DialogFont());
  auto* layout = new QVBoxLayout(this);

  m_path = new QLabel(path, this);
  m_path->setTextFormat(Qt::PlainText);
  m_path->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  layout->addWidget(m_path);

  m_problem = new QLabel(error, this);
  m_problem->setTextFormat(Qt::PlainText);
  m_problem->setWordWrap(true);
  m_problem->setVisible(!error.isEmpty());
  layout->addWidget(m_problem);

  m_list = new QTreeWidget(this);
  m_list->setColumnCount(4);
  m_list->setHeaderLabels({QStringLiteral("Time (UTC)"), QStringLiteral("Device"),
                           QStringLiteral("Firmware"), QStringLiteral("Result")});
  m_list->setRootIsDecorated(false);
  m_list->setUniformRowHeights(true);
  m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setAllColumnsShowFocus(true);
  m_list->setAlternatingRowColors(true);
  m_list->header()->setSectionsMovable(false);
  m_list->header()->setStretchLastSection(false);
  QList<QTreeWidgetItem*> items;
  for (const JournalRow& row : rows) {
    items.append(new QTreeWidgetItem(
        QStringList{Q(row.time), Q(row.device), Q(row.firmware), Q(row.result)}));
  }
  m_list->addTopLevelItems(items);
  // Each column as wide as its widest text, and a gap of two characters before
  // the next one's texts, so the columns read apart.
  const int gap = 2 * m_list->fontMetrics().averageCharWidth();
  for (int column = 0; column < m_list->columnCount(); ++column) {
    m_list->resizeColumnToContents(column);
    m_list->setColumnWidth(column, m_list->columnWidth(column) + gap);
  }
  layout->addWidget(m_list, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  m_close = buttons->button(QDialogButtonBox::Close);
  m_close->setDefault(true);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);

  // Wide enough for every column and the path, tall enough for sixteen rows, but
  // never beyond the screen; the window can be resized from there.
  const int frame = 2 * m_list->frameWidth();
  int listWidth = frame + m_list->verticalScrollBar()->sizeHint().width();
  for (int column = 0; column < m_list->columnCount(); ++column) {
    listWidth += m_list->columnWidth(column);
  }
  const QMargins margins = layout->contentsMargins();
  const int pathWidth = m_path->fontMetrics().horizontalAdvance(path) + 2;
  int width =
      std::max({listWidth, pathWidth, CDialogUnits().X(300)}) + margins.left() + margins.right();
  const int rowHeight =
      items.isEmpty() ? m_list->fontMetrics().height() + 4 : m_list->sizeHintForRow(0);
  int height = sizeHint().height() - m_list->sizeHint().height() + frame +
               m_list->header()->sizeHint().height() + kVisibleRows * rowHeight;
  if (const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen()) {
    const QRect room = screen->availableGeometry();
    width = std::min(width, room.width());
    height = std::min(height, room.height());
  }
  resize(width, height);
  m_close->setFocus();
}
