#include "ui/qt/QtWindowSystem.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <mutex>
#include <thread>

#include "app/UpdaterDlg.h"
#include "link/os/SerialChannel.h"
#include "ui/LogLineShown.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/QtAboutBox.h"
#include "ui/qt/QtFileDialog.h"
#include "ui/qt/QtFonts.h"
#include "ui/qt/QtJournalDialog.h"
#include "ui/qt/QtLogList.h"

namespace {
// Drains the call queue on the window's thread. The drain is posted by the slot's
// name, so the event that carries it is made and handed over inside Qt, and the
// worker's thread writes nothing that the window's thread reads but through the
// call queue's own lock. (A posted lambda would be built on the worker's thread
// and read on the window's, ordered only by Qt's internal locks, which the thread
// sanitizer cannot see.)
class CQtCallDrain : public QObject {
  Q_OBJECT
 public:
  CQtCallDrain(CUiCallQueue& calls, QObject* parent) : QObject(parent), m_calls(calls) {}
 public slots:
  void Drain() { m_calls.Drain(); }

 private:
  CUiCallQueue& m_calls;
};
}  // namespace

// The wake-up of the call queue runs on the worker's thread. It posts a drain to the
// window's thread; the lock keeps it from posting to a window that is being deleted.
struct CQtWindowSystem::WakeTarget {
  std::mutex mutex;
  QObject* target = nullptr;  // a CQtCallDrain, a child of the window

  void Post() {
    std::lock_guard<std::mutex> lock(mutex);
    if (target) QMetaObject::invokeMethod(target, "Drain", Qt::QueuedConnection);
  }
};

namespace {
QString Q(const std::string& text) { return QString::fromStdString(text); }

// Boxes belong to the main window once it is on screen. Those of the start-up (the
// configuration check runs before the window shows) stand on their own: a window
// manager need not show a box whose owner is not mapped yet.
QWidget* OwnerFor(QWidget* window) { return window->isVisible() ? window : nullptr; }

QMessageBox::Icon IconOf(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kNone:
      return QMessageBox::NoIcon;
    case BoxIcon::kInformation:
      return QMessageBox::Information;
    case BoxIcon::kWarning:
      break;
  }
  return QMessageBox::Warning;
}
}  // namespace

CQtWindowSystem::CQtWindowSystem(const VariantStrings& variant)
    : m_window(std::make_unique<CQtMainDialog>(variant)), m_wake(std::make_shared<WakeTarget>()) {
  m_wake->target = new CQtCallDrain(UiCalls(), m_window.get());
  UiCalls().SetUiThread(std::this_thread::get_id());
  UiCalls().SetWakeUp([wake = m_wake] { wake->Post(); });
}

CQtWindowSystem::~CQtWindowSystem() {
  {
    std::lock_guard<std::mutex> lock(m_wake->mutex);
    m_wake->target = nullptr;
  }
  UiCalls().SetWakeUp(nullptr);
  // Nobody serves window calls from here on: release any worker still waiting.
  UiCalls().Shutdown();
}

void CQtWindowSystem::Attach(CUpdaterDlg& dlg) {
  m_dlg = &dlg;
  CQtMainDialog* w = m_window.get();
  QObject::disconnect(w, &CQtMainDialog::ButtonClicked, nullptr, nullptr);
  QObject::disconnect(w, &CQtMainDialog::SystemCommand, nullptr, nullptr);
  QObject::disconnect(w, &CQtMainDialog::Painting, nullptr, nullptr);
  QObject::disconnect(w, &CQtMainDialog::Closing, nullptr, nullptr);
  QObject::disconnect(w, &CQtMainDialog::FileDropped, nullptr, nullptr);
  QObject::connect(w, &CQtMainDialog::ButtonClicked, w, [this](int id) {
    switch (id) {
      case IDC_FILE:
        m_dlg->OnFileButton();
        break;
      case IDC_UPDATE:
        m_dlg->OnUpdateFirmware();
        break;
      case IDC_CANCEL:
        m_dlg->OnCancelUpdate();
        break;
      default:
        break;
    }
  });
  QObject::connect(w, &CQtMainDialog::FileDropped, w,
                   [this](const QString& path) { m_dlg->OnFileChosen(path.toStdString()); });
  QObject::connect(w, &CQtMainDialog::SystemCommand, w,
                   [this](unsigned commandId) { m_dlg->OnSysCommand(commandId, 0); });
  QObject::connect(w, &CQtMainDialog::Painting, w, [this] { m_dlg->OnPaint(); });
  // Shutdown releases a worker waiting on a window call and lets it leave before
  // the window and the dialog go away.
  QObject::connect(w, &CQtMainDialog::Closing, w, [this] { m_dlg->Shutdown(); });
  w->SetCloseQuery([this] { return m_dlg->QueryClose(); });
}

void CQtWindowSystem::RunModal(CUpdaterDlg& dlg) {
  Attach(dlg);
  dlg.OnInitDialog();
  m_window->exec();
}

int CQtWindowSystem::ExecModal(QDialog& box) {
  if (m_modalHook) {
    ModalHook hook = m_modalHook;
    QTimer::singleShot(0, &box, [hook, &box] { hook(box); });
  }
  return box.exec();
}

void CQtWindowSystem::SetText(int id, const std::string& text) {
  QWidget* widget = m_window->Control(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    m_window->SetStaticText(label, Q(text));
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(Q(text));
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(Q(text));
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setEditText(Q(text));
  }
}

std::string CQtWindowSystem::GetText(int id) const {
  QWidget* widget = m_window->Control(id);
  QString text;
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    text = label->text();
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    text = button->text();
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    text = group->title();
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    text = combo->currentText();
  } else if (auto* log = qobject_cast<CQtLogList*>(widget)) {
    if (log->currentItem()) text = log->currentItem()->text();
  }
  return text.toStdString();
}

void CQtWindowSystem::Enable(int id, bool enabled) {
  if (QWidget* widget = m_window->Control(id)) widget->setEnabled(enabled);
}

bool CQtWindowSystem::IsEnabled(int id) const {
  const QWidget* widget = m_window->Control(id);
  return widget && widget->isEnabled();
}

void CQtWindowSystem::SetFont(int id, const FontSpec& font) {
  m_window->SetControlFont(id, FontFromSpec(font, m_window->font()));
}

void CQtWindowSystem::SetProgressPos(int pos) {
  m_window->Progress()->setValue(std::clamp(pos, 0, 100));
}

// Qt takes a tip that looks like markup for rich text; the texts that come here
// (a firmware file's signed comment) are shown as they are, "<" and "&" included.
void CQtWindowSystem::SetToolTip(int id, const std::string& text) {
  QWidget* widget = m_window->Control(id);
  if (!widget) return;
  const QString tip = Q(text);
  widget->setToolTip(Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip, Qt::WhiteSpacePre)
                                              : tip);
}

void CQtWindowSystem::ComboInsert(int index, const std::string& text) {
  // A COM entry names the device it opens here (IAP_COMn, the user's port map or
  // the on-board port), as it was when the entry was made.
  QString toolTip;
  if (text.size() == 4 && text.compare(0, 3, "COM") == 0 && text[3] >= '1' && text[3] <= '9') {
    toolTip = Q(SerialDevicePath(text[3] - '0'));
  }
  m_window->ComboInsert(index, Q(text), toolTip);
}

void CQtWindowSystem::ComboSelect(int index) { m_window->ComboSelect(index); }

std::string CQtWindowSystem::ComboSelectedText() const {
  const int index = m_window->ComboSelection();
  return index < 0 ? std::string() : m_window->Combo()->itemText(index).toStdString();
}

// The list shows each line without the control characters that end it (the CR
// of a device's reply); the log's own lines keep them.
void CQtWindowSystem::LogInserted(int index, const std::string& text) {
  m_window->Log()->insertItem(index, Q(LogLineShown(text)));
}

void CQtWindowSystem::LogSelect(int index) { m_window->Log()->SelectRow(index); }

void CQtWindowSystem::LogSetHorizontalExtent(int pixels) {
  m_window->Log()->SetHorizontalExtent(pixels);
}

int CQtWindowSystem::LogTextWidth(const std::string& text) const {
  return QFontMetrics(m_window->Log()->font()).horizontalAdvance(Q(LogLineShown(text)));
}

void CQtWindowSystem::SetWindowIcon() { m_window->setWindowIcon(AppIcon(m_window->Icon())); }

// Linux window managers keep their window menus to themselves: the entries go to
// the window's own menu (right click; the About command also on F1).
bool CQtWindowSystem::AppendSystemMenuSeparator() {
  m_window->AddMenuSeparator();
  return true;
}

bool CQtWindowSystem::AppendSystemMenuItem(unsigned commandId, const std::string& text) {
  m_window->AddMenuItem(commandId, Q(text));
  return true;
}

bool CQtWindowSystem::IsIconic() const { return m_window->isMinimized(); }

void CQtWindowSystem::ClientSize(int& width, int& height) const {
  width = m_window->width();
  height = m_window->height();
}

void CQtWindowSystem::IconSize(int& width, int& height) const { width = height = 32; }

void CQtWindowSystem::DrawIcon(int x, int y) { m_window->DrawIconAt(x, y); }

void CQtWindowSystem::ShowMessageBox(const std::string& text, const std::string& caption,
                                     BoxIcon icon) {
  QMessageBox box(IconOf(icon), Q(caption), Q(text), QMessageBox::Ok, OwnerFor(m_window.get()));
  box.setTextFormat(Qt::PlainText);
  ExecModal(box);
}

bool CQtWindowSystem::AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) {
  QMessageBox box(IconOf(icon), Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No,
                  OwnerFor(m_window.get()));
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  ExecModal(box);
  // Only a press of Yes says Yes; a box closed any other way keeps things as they are.
  return box.clickedButton() == box.button(QMessageBox::Yes);
}

void CQtWindowSystem::ShowAboutBox(const std::string& caption, const std::string& line1,
                                   const std::string& line2) {
  CQtAboutBox box(Q(caption), Q(line1), Q(line2), m_window->Icon(), OwnerFor(m_window.get()));
  ExecModal(box);
}

void CQtWindowSystem::ShowJournal(const std::string& path, const std::vector<JournalRow>& rows,
                                  const std::string& error) {
  CQtJournalDialog box(Q(path), rows, Q(error), OwnerFor(m_window.get()));
  ExecModal(box);
}

std::optional<std::string> CQtWindowSystem::OpenFileDialog(const FileDialogRequest& request) {
  CQtFileDialog dialog(m_window.get(), request, [this](QDialog& box) { return ExecModal(box); });
  if (ExecModal(dialog) != QDialog::Accepted) return std::nullopt;
  const QString path = dialog.ChosenPath();
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

void CQtWindowSystem::PumpOneMessage() { QCoreApplication::processEvents(); }

#include "QtWindowSystem.moc"
