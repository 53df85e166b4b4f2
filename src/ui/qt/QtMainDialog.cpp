#include "ui/qt/QtMainDialog.h"

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "app/WindowSystem.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/QtGroupBox.h"
#include "ui/qt/QtLogList.h"

namespace {
// Template 102 in dialog units.
constexpr int kDialogWidth = 383;
constexpr int kDialogHeight = 348;
constexpr int kComboDroppedHeight = 66;  // the combo box's height with its list dropped
}  // namespace

CQtMainDialog::CQtMainDialog(const VariantStrings& variant, QWidget* parent)
    : QDialog(parent), m_iconVariant(IconVariantOf(variant)) {
  // Caption, system menu and modal frame; no minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromStdString(variant.windowCaption));
  setFont(DialogFont());
  setFixedSize(m_units.X(kDialogWidth), m_units.Y(kDialogHeight));
  setSizeGripEnabled(false);

  // The controls in template order, which is also the tab order.
  m_combo = Place(new QComboBox(this), IDC_INTERFACE, 74, 13, 65, kComboDroppedHeight);
  m_combo->setEditable(true);
  m_combo->setInsertPolicy(QComboBox::NoInsert);  // typing never adds an entry
  m_combo->setCompleter(nullptr);                 // nor completes one
  connect(m_combo->lineEdit(), &QLineEdit::textEdited, this, &CQtMainDialog::OnComboEdited);
  connect(m_combo, &QComboBox::activated, this, [this](int index) { m_comboSelection = index; });
  // A file dropped on the interface field is a firmware file for the window, not
  // text for the field.
  m_combo->lineEdit()->setAcceptDrops(false);
  FitCombo();

  QPushButton* exitButton = MakeButton(IDC_EXIT, QStringLiteral("Exit"), 309, 14, 60, 20);
  // Exit is the default button: Enter presses it wherever the focus is, unless a
  // push button has the focus and takes Enter for itself; Escape and the close box
  // reject the dialog. QDialog handles these keys as the dialog manager does.
  exitButton->setDefault(true);
  connect(exitButton, &QPushButton::clicked, this, &QDialog::accept);
  MakeButton(IDC_FILE, QStringLiteral("File"), 309, 59, 60, 20);
  MakeButton(IDC_UPDATE, QStringLiteral("Update Firmware"), 47, 114, 111, 20);
  MakeButton(IDC_CANCEL, QStringLiteral("Cancel Update"), 217, 114, 111, 20);

  m_log = Place(new CQtLogList(this), IDC_LOG, 8, 155, 367, 182);

  m_progress = Place(new QProgressBar(this), IDC_PROGRESS, 79, 88, 244, 18);
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_progress->setTextVisible(false);  // the percentage has its own control
  m_progress->setFocusPolicy(Qt::NoFocus);

  auto* group = Place(new CQtGroupBox(QString::fromStdString(variant.groupBox), this), IDC_GROUP, 8,
                      39, 367, 103);
  group->setFocusPolicy(Qt::NoFocus);
  // A group box only frames its neighbours: it lies beneath them and takes no clicks.
  group->setAttribute(Qt::WA_TransparentForMouseEvents);
  group->lower();

  MakeLabel(IDC_PROGRESS_LABEL, QStringLiteral("Progress:"), 18, 89, 55, 12, false);
  MakeLabel(IDC_INTERFACE_LABEL, QStringLiteral("Interface:"), 18, 14, 47, 13, false);
  MakeLabel(IDC_DOWNLOAD_LABEL, QStringLiteral("Download:"), 18, 61, 59, 12, false);
  MakeLabel(IDC_FILENAME, QString(), 79, 59, 225, 18, true);
  MakeLabel(IDC_PERCENT, QString(), 327, 88, 37, 18, true);

  QWidget* previous = nullptr;
  for (int id : {IDC_INTERFACE, IDC_EXIT, IDC_FILE, IDC_UPDATE, IDC_CANCEL, IDC_LOG}) {
    if (previous) setTabOrder(previous, m_controls[id]);
    previous = m_controls[id];
  }
  m_combo->setFocus();  // the first tab stop has the focus when the window opens
  // A firmware file dragged from the file manager onto the window is taken as File
  // takes the file chosen in its dialog.
  setAcceptDrops(true);
}

template <class W>
W* CQtMainDialog::Place(W* widget, int id, int x, int y, int width, int height) {
  widget->setGeometry(m_units.Rect(x, y, width, height));
  m_templateRects[id] = widget->geometry();
  widget->setProperty(kControlIdProperty, id);
  widget->setObjectName(QStringLiteral("control%1").arg(id));
  m_controls[id] = widget;
  return widget;
}

QLabel* CQtMainDialog::MakeLabel(int id, const QString& text, int x, int y, int width, int height,
                                 bool sunken) {
  auto* label = Place(new QLabel(text, this), id, x, y, width, height);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // a left static draws from its top left
  label->setWordWrap(true);
  if (sunken) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
  }
  return label;
}

QPushButton* CQtMainDialog::MakeButton(int id, const QString& text, int x, int y, int width,
                                       int height) {
  auto* button = Place(new QPushButton(text, this), id, x, y, width, height);
  button->setAutoDefault(true);  // a focused button takes Enter for itself
  if (id != IDC_EXIT) {
    connect(button, &QPushButton::clicked, this, [this, id] { emit ButtonClicked(id); });
  }
  return button;
}

QWidget* CQtMainDialog::Control(int id) const {
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

void CQtMainDialog::FitCombo() {
  // The edit field follows the font; the dropped list fills the rest of the
  // template's height.
  const int fieldHeight = m_combo->sizeHint().height();
  const QRect area = m_units.Rect(74, 13, 65, kComboDroppedHeight);
  m_combo->setGeometry(area.x(), area.y(), area.width(), fieldHeight);
  const int itemHeight = QFontMetrics(m_combo->font()).height() + 2;
  m_combo->setMaxVisibleItems(std::max(1, (area.height() - fieldHeight) / itemHeight));
}

void CQtMainDialog::ComboInsert(int index, const QString& text, const QString& toolTip) {
  if (index < 0 || index > m_combo->count()) index = m_combo->count();
  const QString edit = m_combo->currentText();
  m_combo->insertItem(index, text);
  if (!toolTip.isEmpty()) m_combo->setItemData(index, toolTip, Qt::ToolTipRole);
  if (m_comboSelection >= index) ++m_comboSelection;
  // Qt selects the first entry put into an empty box; a combo box list does not.
  if (m_comboSelection < 0 && m_combo->currentIndex() >= 0) {
    m_combo->setCurrentIndex(-1);
    m_combo->setEditText(edit);
  }
}

void CQtMainDialog::ComboSelect(int index) {
  if (index < 0 || index >= m_combo->count()) index = -1;
  m_comboSelection = index;
  m_combo->setCurrentIndex(index);
  if (index < 0) m_combo->setEditText(QString());
}

void CQtMainDialog::OnComboEdited(const QString& text) {
  m_comboSelection = -1;
  if (text.isEmpty()) return;
  for (int i = 0; i < m_combo->count(); ++i) {
    if (m_combo->itemText(i).startsWith(text, Qt::CaseInsensitive)) {
      m_comboSelection = i;
      return;
    }
  }
}

void CQtMainDialog::SetControlFont(int id, const QFont& font) {
  QWidget* widget = Control(id);
  if (!widget) return;
  widget->setFont(font);
  if (widget == m_combo) FitCombo();
  if (auto* label = qobject_cast<QLabel*>(widget)) FitStatic(label);
}

void CQtMainDialog::SetStaticText(QLabel* label, const QString& text) {
  label->setText(text);
  FitStatic(label);
}

void CQtMainDialog::FitStatic(QLabel* label) {
  // The captions' 19-pixel bold italic face is wider and taller than the boxes the
  // template drew for them ("Interface:" needs a few pixels more than its 47 units).
  // A caption without a frame grows to the right and down, into the free space
  // beside it, instead of losing its last letters; a framed field keeps its box.
  if (label->frameShape() != QFrame::NoFrame) return;
  const QRect area = m_templateRects[label->property(kControlIdProperty).toInt()];
  const QFontMetrics metrics(label->font());
  const QString text = label->text();
  const int textWidth =
      std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).right() + 1);
  label->setGeometry(area.x(), area.y(), std::max(area.width(), textWidth),
                     std::max(area.height(), metrics.height()));
}

void CQtMainDialog::AddMenuSeparator() {
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  m_menuActions.append(separator);
}

void CQtMainDialog::AddMenuItem(unsigned commandId, const QString& text) {
  auto* action = new QAction(text, this);
  connect(action, &QAction::triggered, this, [this, commandId] { emit SystemCommand(commandId); });
  if ((commandId & 0xFFF0u) == IDM_ABOUTBOX) {
    // The usual place to ask a Linux program about itself.
    action->setShortcut(QKeySequence(Qt::Key_F1));
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
  }
  m_menuActions.append(action);
}

void CQtMainDialog::contextMenuEvent(QContextMenuEvent* event) {
  if (m_menuActions.isEmpty()) {
    event->ignore();
    return;
  }
  QMenu menu(this);
  menu.addActions(m_menuActions);
  menu.exec(event->globalPos());
}

void CQtMainDialog::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  QPainter painter(this);
  m_painter = &painter;
  emit Painting();
  m_painter = nullptr;
}

void CQtMainDialog::DrawIconAt(int x, int y) {
  if (m_painter) m_painter->drawPixmap(x, y, AppIconPixmap(32, m_iconVariant));
}

QString CQtMainDialog::DroppableFile(const QMimeData* data) const {
  QWidget* file = Control(IDC_FILE);
  if (!data || !file || !file->isEnabled() || !data->hasUrls()) return {};
  const QList<QUrl> urls = data->urls();
  // One firmware file at a time, and only one the program can open itself.
  if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
  return QFileInfo(urls.front().toLocalFile()).absoluteFilePath();
}

void CQtMainDialog::dragEnterEvent(QDragEnterEvent* event) {
  if (DroppableFile(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
}

void CQtMainDialog::dragMoveEvent(QDragMoveEvent* event) {
  if (DroppableFile(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
}

void CQtMainDialog::dropEvent(QDropEvent* event) {
  const QString path = DroppableFile(event->mimeData());
  if (path.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The drag ends here; the file is taken once its source has heard so, so a box
  // that File shows does not hold the file manager's drag open.
  QTimer::singleShot(0, this, [this, path] { emit FileDropped(path); });
}

void CQtMainDialog::done(int result) {
  if (!m_closing) {
    // Declined: the window stays as it is (a close box's close event is then
    // ignored by QDialog, since the window is still visible).
    if (m_closeQuery && !m_closeQuery()) return;
    m_closing = true;
    emit Closing();
  }
  QDialog::done(result);
}
