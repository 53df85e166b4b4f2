#pragma once
// The main window, dialog template 102, as Qt widgets: every control by its dialog
// id, placed from dialog units of the template's font, in the template's tab order.
// The window holds no logic: clicks, the About command, painting and closing are
// signals that the window system hands to the toolkit-free dialog.

#include <QDialog>
#include <QList>
#include <functional>
#include <map>
#include <utility>

#include "res/Variant.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"

class QAction;
class QComboBox;
class QMimeData;
class QLabel;
class QPainter;
class QProgressBar;
class QPushButton;
class CQtLogList;

// Dynamic property carrying a control's dialog id.
inline constexpr char kControlIdProperty[] = "controlId";

class CQtMainDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CQtMainDialog(const VariantStrings& variant, QWidget* parent = nullptr);

  const CDialogUnits& Units() const { return m_units; }
  // The program whose icon the window, its About box and its minimised face show.
  IconVariant Icon() const { return m_iconVariant; }
  QWidget* Control(int id) const;  // nullptr for an id the template does not have
  QComboBox* Combo() const { return m_combo; }
  CQtLogList* Log() const { return m_log; }
  QProgressBar* Progress() const { return m_progress; }

  // The interface combo box keeps its selection as a drop-down combo's list does:
  // an inserted entry does not select itself, typing in the edit field selects the
  // first entry the text begins (case-insensitively), or none. A tool tip, when
  // given, goes with the entry.
  void ComboInsert(int index, const QString& text, const QString& toolTip = QString());
  void ComboSelect(int index);
  int ComboSelection() const { return m_comboSelection; }

  // Sets a control's font; the combo box refits its edit field to it, and a
  // static text without a frame grows to show its text whole.
  void SetControlFont(int id, const QFont& font);
  // Sets a static text's text (and refits it as SetControlFont does).
  void SetStaticText(QLabel* label, const QString& text);

  // The window's menu of extra commands (the system menu on Windows): shown on a
  // right click, the About command also on F1.
  void AddMenuSeparator();
  void AddMenuItem(unsigned commandId, const QString& text);
  const QList<QAction*>& MenuActions() const { return m_menuActions; }

  // Draws the application icon at x, y while a paint is in progress (Painting).
  void DrawIconAt(int x, int y);

  // Asked each time the user ends the window (Exit, Enter, Escape, close box)
  // before anything else happens; false keeps the window open as it is.
  void SetCloseQuery(std::function<bool()> query) { m_closeQuery = std::move(query); }

 signals:
  void ButtonClicked(int id);  // File, Update Firmware, Cancel Update
  // A local file was dropped on the window while File was enabled: its full path.
  void FileDropped(const QString& path);
  void SystemCommand(unsigned commandId);
  void Painting();
  // The window is ending (Exit, Enter, Escape, close box, once the close query
  // agreed), before it is hidden.
  void Closing();

 protected:
  void done(int result) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  template <class W>
  W* Place(W* widget, int id, int x, int y, int width, int height);
  QLabel* MakeLabel(int id, const QString& text, int x, int y, int width, int height, bool sunken);
  QPushButton* MakeButton(int id, const QString& text, int x, int y, int width, int height);
  void FitCombo();
  void FitStatic(QLabel* label);
  void OnComboEdited(const QString& text);
  // The one local file a drag carries, while File is enabled; empty otherwise.
  QString DroppableFile(const QMimeData* data) const;

  CDialogUnits m_units;
  IconVariant m_iconVariant;
  std::map<int, QWidget*> m_controls;
  std::map<int, QRect> m_templateRects;
  QComboBox* m_combo = nullptr;
  CQtLogList* m_log = nullptr;
  QProgressBar* m_progress = nullptr;
  int m_comboSelection = -1;
  QList<QAction*> m_menuActions;
  QPainter* m_painter = nullptr;
  bool m_closing = false;
  std::function<bool()> m_closeQuery;
};
