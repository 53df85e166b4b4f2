// The real main window under the offscreen platform, for both deliverables: the
// controls of the template, their fonts and places, the states after start-up,
// the log's scrolling and what it shows of a reply, the About command, the
// service journal's window, the path's tip, the program's own icon, a firmware
// file dropped on the window and the ways the window ends.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QtTest/QTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterDlg.h"
#include "support/TestDir.h"
#include "ui/JournalSamples.h"
#include "ui/QtTestSupport.h"
#include "ui/qt/AppIcon.h"
#include "ui/qt/DialogUnits.h"
#include "ui/qt/QtAboutBox.h"
#include "ui/qt/QtFileDialog.h"
#include "ui/qt/QtGroupBox.h"
#include "ui/qt/QtJournalDialog.h"
#include "ui/qt/QtLogList.h"
#include "ui/qt/QtMainDialog.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

// Template 102, as a Windows technician knows the window, with the pixels each
// control takes there at 96 dpi: the 8-point dialog font's base units are 6 x 13
// pixels, a dialog unit a quarter of 6 across and an eighth of 13 down, rounded.
struct TemplateControl {
  int id;
  const char* className;
  const char* text;  // nullptr: the variant's group box text
  QRect pixels;
};
const TemplateControl kTemplate[] = {
    {IDC_INTERFACE, "QComboBox", "COM1", QRect(111, 21, 98, 107)},            // 74, 13, 65, 66
    {IDC_EXIT, "QPushButton", "Exit", QRect(464, 23, 90, 33)},                // 309, 14, 60, 20
    {IDC_FILE, "QPushButton", "File", QRect(464, 96, 90, 33)},                // 309, 59, 60, 20
    {IDC_UPDATE, "QPushButton", "Update Firmware", QRect(71, 185, 167, 33)},  // 47, 114, 111, 20
    {IDC_CANCEL, "QPushButton", "Cancel Update", QRect(326, 185, 167, 33)},   // 217, 114, 111, 20
    {IDC_LOG, "QListWidget", "", QRect(12, 252, 551, 296)},                   // 8, 155, 367, 182
    {IDC_PROGRESS, "QProgressBar", "", QRect(119, 143, 366, 29)},             // 79, 88, 244, 18
    {IDC_GROUP, "QGroupBox", nullptr, QRect(12, 63, 551, 167)},               // 8, 39, 367, 103
    {IDC_PROGRESS_LABEL, "QLabel", "Progress:", QRect(27, 145, 83, 20)},      // 18, 89, 55, 12
    {IDC_INTERFACE_LABEL, "QLabel", "Interface:", QRect(27, 23, 71, 21)},     // 18, 14, 47, 13
    {IDC_DOWNLOAD_LABEL, "QLabel", "Download:", QRect(27, 99, 89, 20)},       // 18, 61, 59, 12
    {IDC_FILENAME, "QLabel", "", QRect(119, 96, 338, 29)},                    // 79, 59, 225, 18
    {IDC_PERCENT, "QLabel", "", QRect(491, 143, 56, 29)},                     // 327, 88, 37, 18
};
const QSize kWindowPixels(575, 566);  // 383 x 348

const int kLargeFontIds[] = {IDC_UPDATE,          IDC_FILE,   IDC_PROGRESS_LABEL, IDC_PERCENT,
                             IDC_INTERFACE_LABEL, IDC_CANCEL, IDC_EXIT,           IDC_GROUP,
                             IDC_DOWNLOAD_LABEL};

std::string IniNameOf(const VariantStrings& v) {
  std::string name = v.configFileName;
  while (!name.empty() && (name.front() == '\\' || name.front() == '/')) name.erase(0, 1);
  return name;
}

class QtWindowTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    EnsureQtApp();
    variant = VariantByName(GetParam());
    ASSERT_NE(variant, nullptr);
    ws = std::make_unique<CQtWindowSystem>(*variant);
    dlg = std::make_unique<CUpdaterDlg>(*ws, *variant);
    boxes.Install(*ws);
  }
  void TearDown() override {
    dlg.reset();
    ws.reset();
  }

  // Start-up as the program does it, up to the modal loop: the window is shown
  // and the test thread serves it.
  void Open(bool withConfig) {
    if (withConfig) dir.Write(IniNameOf(*variant), kGoodIni);
    ws->Attach(*dlg);
    ASSERT_TRUE(dlg->OnInitDialog());
    Win().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Win()));
  }
  void Activate() {
    Win().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Win()));
  }

  CQtMainDialog& Win() { return ws->Window(); }
  QWidget* Ctl(int id) { return Win().Control(id); }
  QPushButton* Button(int id) { return qobject_cast<QPushButton*>(Ctl(id)); }

  CTestDir dir;
  const VariantStrings* variant = nullptr;
  std::unique_ptr<CQtWindowSystem> ws;
  std::unique_ptr<CUpdaterDlg> dlg;
  CBoxAnswerer boxes;
};

TEST_P(QtWindowTest, ControlsOfTheTemplateWithIdsTextsKindsAndPlaces) {
  Open(true);
  EXPECT_EQ(Win().size(), kWindowPixels);
  EXPECT_EQ(Win().minimumSize(), Win().maximumSize()) << "a modal frame does not resize";
  EXPECT_EQ(Win().windowTitle().toStdString(), variant->windowCaption);
  const Qt::WindowFlags flags = Win().windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(Win().windowIcon().isNull());

  for (const TemplateControl& c : kTemplate) {
    SCOPED_TRACE(c.id);
    QWidget* w = Ctl(c.id);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->property(kControlIdProperty).toInt(), c.id);
    EXPECT_TRUE(w->inherits(c.className)) << w->metaObject()->className();
    const std::string text = c.text ? c.text : variant->groupBox;
    EXPECT_EQ(ws->GetText(c.id), text);
    const QRect want = c.pixels;
    if (c.id == IDC_INTERFACE) {
      // 66 is the height with the list dropped: the field sits at the top of it
      // and the list fills the rest.
      EXPECT_EQ(w->geometry().topLeft(), want.topLeft());
      EXPECT_EQ(w->width(), want.width());
      EXPECT_GE(w->height(), QFontMetrics(w->font()).height());
      EXPECT_LT(w->height(), want.height());
    } else if (auto* label = qobject_cast<QLabel*>(w); label && !label->frameWidth()) {
      // A caption starts where the template puts it and is large enough for its
      // text in its font.
      const QFontMetrics m(w->font());
      EXPECT_EQ(w->geometry().topLeft(), want.topLeft());
      EXPECT_GE(w->width(), std::max(want.width(), m.horizontalAdvance(label->text())));
      EXPECT_GE(w->height(), std::max(want.height(), m.ascent() + m.descent()));
    } else {
      EXPECT_EQ(w->geometry(), want);
    }
  }
  // Grown captions stay clear of their neighbours.
  EXPECT_LT(Ctl(IDC_INTERFACE_LABEL)->geometry().right(), Ctl(IDC_INTERFACE)->x());
  EXPECT_LT(Ctl(IDC_DOWNLOAD_LABEL)->geometry().right(), Ctl(IDC_FILENAME)->x());
  EXPECT_LT(Ctl(IDC_PROGRESS_LABEL)->geometry().right(), Ctl(IDC_PROGRESS)->x());

  auto* combo = qobject_cast<QComboBox*>(Ctl(IDC_INTERFACE));
  EXPECT_TRUE(combo->isEditable());
  std::vector<std::string> items;
  for (int i = 0; i < combo->count(); ++i) items.push_back(combo->itemText(i).toStdString());
  EXPECT_EQ(items, (std::vector<std::string>{"USB", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                             "COM7", "COM8", "COM9"}));
  EXPECT_EQ(ws->ComboSelectedText(), "COM1");

  EXPECT_TRUE(Button(IDC_EXIT)->isDefault());
  for (int id : {IDC_FILE, IDC_UPDATE, IDC_CANCEL}) EXPECT_FALSE(Button(id)->isDefault());

  auto* log = qobject_cast<QListWidget*>(Ctl(IDC_LOG));
  EXPECT_EQ(log->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_NE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(log->isSortingEnabled());

  auto* progress = qobject_cast<QProgressBar*>(Ctl(IDC_PROGRESS));
  EXPECT_EQ(progress->minimum(), 0);
  EXPECT_EQ(progress->maximum(), 100);
  ws->SetProgressPos(42);
  EXPECT_EQ(progress->value(), 42);

  for (int id : {IDC_FILENAME, IDC_PERCENT}) {
    auto* label = qobject_cast<QLabel*>(Ctl(id));
    EXPECT_EQ(label->frameShadow(), QFrame::Sunken) << id;
    EXPECT_NE(label->frameShape(), QFrame::NoFrame) << id;
  }
  for (int id : {IDC_PROGRESS_LABEL, IDC_INTERFACE_LABEL, IDC_DOWNLOAD_LABEL}) {
    EXPECT_EQ(qobject_cast<QLabel*>(Ctl(id))->frameShape(), QFrame::NoFrame) << id;
  }

  // The group box lies beneath the controls it frames: a click on a button inside
  // it reaches the button.
  const QPoint inUpdate = Ctl(IDC_UPDATE)->geometry().center();
  EXPECT_EQ(Win().childAt(inUpdate), Ctl(IDC_UPDATE));

  ws->SetText(IDC_PERCENT, "42%");
  ws->SetText(IDC_FILENAME, dir.File("firmware.mppt"));
  dlg->Log("------------------------------------");
  dlg->Log("The UPS firmware file name is");
  dlg->Log(dir.File("firmware.mppt"));
  SaveScreenshot(Win(), GetParam());
}

TEST_P(QtWindowTest, FontsAsTheDialogSetsThem) {
  Open(true);
  auto cellOf = [](QWidget* w) {
    const QFontMetrics m(w->font());
    return m.ascent() + m.descent();
  };
  auto checkArialBoldItalic = [&](int id, int cell) {
    SCOPED_TRACE(id);
    QWidget* w = Ctl(id);
    const QFontInfo info(w->font());
    EXPECT_TRUE(info.family() == "Liberation Sans" || info.family() == "Arial")
        << info.family().toStdString();
    EXPECT_GE(info.weight(), QFont::Bold);
    EXPECT_TRUE(info.italic());
    EXPECT_FALSE(w->font().underline());
    EXPECT_FALSE(w->font().strikeOut());
    // The largest size whose cell fits the height the dialog asks for; what the
    // cell comes to is the font file's business.
    QFont bigger = w->font();
    bigger.setPixelSize(w->font().pixelSize() + 1);
    const QFontMetrics next(bigger);
    EXPECT_LE(cellOf(w), cell);
    EXPECT_GT(next.ascent() + next.descent(), cell);
  };
  for (int id : kLargeFontIds) checkArialBoldItalic(id, 19);
  checkArialBoldItalic(IDC_INTERFACE, 15);

  // The log and the file name keep the dialog font.
  for (int id : {IDC_LOG, IDC_FILENAME}) {
    const QFont f = Ctl(id)->font();
    EXPECT_EQ(f.pixelSize(), DialogFont().pixelSize()) << id;
    EXPECT_FALSE(QFontInfo(f).bold()) << id;
    EXPECT_FALSE(QFontInfo(f).italic()) << id;
  }
}

TEST_P(QtWindowTest, GroupBoxCaptionSitsOnItsFrameLine) {
  Open(true);
  auto* group = qobject_cast<CQtGroupBox*>(Ctl(IDC_GROUP));
  ASSERT_NE(group, nullptr);
  const QRect caption = group->CaptionRect();
  const int line = group->FrameTop();
  // The top line runs through the middle of the caption, which starts 7 pixels in.
  EXPECT_EQ(caption.left(), 7);
  EXPECT_LE(std::abs(line - caption.center().y()), 2);

  // As drawn: the line is there left of the caption and right of it, and breaks
  // for it. The line is antialiased: its pixels are told by their colour within a
  // few levels, not to the bit.
  const QImage image = group->grab().toImage();
  const auto near = [](const QColor& a, const QColor& b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())}) <= 8;
  };
  const QColor lineColour = image.pixelColor(3, line);
  EXPECT_FALSE(near(lineColour, group->palette().color(QPalette::Window)));
  EXPECT_FALSE(near(image.pixelColor(caption.right() + 1, line), lineColour));
  EXPECT_TRUE(near(image.pixelColor(caption.right() + 8, line), lineColour));
  EXPECT_TRUE(near(image.pixelColor(group->width() - 4, line), lineColour));
  SaveScreenshot(*group, GetParam() + "-group");
}

TEST_P(QtWindowTest, FileNameTextShowsTwoLinesOfALongPathWhole) {
  Open(true);
  auto* label = qobject_cast<QLabel*>(Ctl(IDC_FILENAME));
  const std::string path =
      "/home/technician/Firmware Releases/2024 field service/solar charge controllers/"
      "rev 00.01/firmware.mppt";
  ws->SetText(IDC_FILENAME, path);
  const QRect room = label->contentsRect();
  const QFontMetrics metrics(label->font());
  const int needed =
      metrics.boundingRect(room, Qt::TextWordWrap, QString::fromStdString(path)).height();
  EXPECT_GT(needed, metrics.height()) << "the path takes two lines";
  EXPECT_LE(needed, room.height());
  SaveScreenshot(Win(), GetParam() + "-long-path");
}

TEST_P(QtWindowTest, ComEntriesTellTheDeviceEachOpens) {
  const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", dir.File("cfg").c_str());
  QDir().mkpath(QString::fromStdString(dir.File("cfg/iap-updater")));
  dir.Write("cfg/iap-updater/ports.ini", "[PORTS]\nCOM2=/dev/serial/by-id/usb-adapter-port0\n");
  qputenv("IAP_COM3", "/dev/pts/9");
  Open(true);
  qunsetenv("IAP_COM3");
  oldXdg.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", oldXdg);

  auto* combo = qobject_cast<QComboBox*>(Ctl(IDC_INTERFACE));
  auto tip = [&](int i) { return combo->itemData(i, Qt::ToolTipRole).toString().toStdString(); };
  EXPECT_EQ(tip(0), "") << "USB";
  EXPECT_EQ(tip(1), "/dev/ttyS0");
  EXPECT_EQ(tip(2), "/dev/serial/by-id/usb-adapter-port0");
  EXPECT_EQ(tip(3), "/dev/pts/9");
  EXPECT_EQ(tip(9), "/dev/ttyS8");
  EXPECT_EQ(combo->itemText(2), "COM2") << "the entries keep their names";
}

TEST_P(QtWindowTest, TabOrderIsTheTemplateOrder) {
  Open(true);
  for (int id : {IDC_UPDATE, IDC_CANCEL}) ws->Enable(id, true);  // every stop reachable
  Activate();
  Ctl(IDC_INTERFACE)->setFocus();
  // Tab walks the stops as a user's keyboard does; the combo box's edit field
  // stands for the combo box.
  auto controlWithFocus = [&]() -> int {
    for (QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget()) {
      const QVariant id = w->property(kControlIdProperty);
      if (id.isValid()) return id.toInt();
    }
    return 0;
  };
  std::vector<int> order{controlWithFocus()};
  for (int i = 0; i < 6; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order.push_back(controlWithFocus());
  }
  EXPECT_EQ(order, (std::vector<int>{IDC_INTERFACE, IDC_EXIT, IDC_FILE, IDC_UPDATE, IDC_CANCEL,
                                     IDC_LOG, IDC_INTERFACE}));
  for (int id : {IDC_PROGRESS, IDC_GROUP, IDC_PROGRESS_LABEL, IDC_INTERFACE_LABEL,
                 IDC_DOWNLOAD_LABEL, IDC_FILENAME, IDC_PERCENT}) {
    EXPECT_FALSE(Ctl(id)->focusPolicy() & Qt::TabFocus) << id;
  }
}

TEST_P(QtWindowTest, GoodConfigurationLeavesFileAndInterfaceEnabled) {
  Open(true);
  EXPECT_TRUE(boxes.seen.empty());
  EXPECT_TRUE(ws->IsEnabled(IDC_FILE));
  EXPECT_TRUE(ws->IsEnabled(IDC_INTERFACE));
  EXPECT_TRUE(ws->IsEnabled(IDC_EXIT));
  EXPECT_FALSE(ws->IsEnabled(IDC_UPDATE));
  EXPECT_FALSE(ws->IsEnabled(IDC_CANCEL));
  EXPECT_EQ(qobject_cast<QListWidget*>(Ctl(IDC_LOG))->count(), 0);
  EXPECT_EQ(ws->GetText(IDC_INTERFACE), "COM1");
}

TEST_P(QtWindowTest, MissingConfigurationBoxesThenDisablesFileAndInterface) {
  Open(false);
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].kind, "message");
  EXPECT_EQ(boxes.seen[0].caption, variant->appName);
  EXPECT_EQ(boxes.seen[0].text, "IAP Config File is not exist");
  EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
  EXPECT_EQ(boxes.seen[0].buttons, QMessageBox::Ok);
  auto* log = qobject_cast<QListWidget*>(Ctl(IDC_LOG));
  ASSERT_EQ(log->count(), 1);
  EXPECT_EQ(log->item(0)->text().toStdString(), "A config file is needed for IAP progress");
  EXPECT_EQ(log->currentRow(), 0);
  for (int id : {IDC_FILE, IDC_INTERFACE, IDC_UPDATE, IDC_CANCEL}) {
    EXPECT_FALSE(ws->IsEnabled(id)) << id;
  }
  EXPECT_TRUE(ws->IsEnabled(IDC_EXIT));
  SaveScreenshot(Win(), GetParam() + "-no-config");
}

TEST_P(QtWindowTest, MessageBoxKindsShowTheirCaptionIconAndOneOkButton) {
  Open(true);
  dlg->AppMessageBox("Programming successfully !", BoxIcon::kInformation);
  dlg->AppMessageBox("Can't support this file !");
  dlg->WindowMessageBox("Open device error");
  ASSERT_EQ(boxes.seen.size(), 3u);
  EXPECT_EQ(boxes.seen[0].caption, variant->appName);
  EXPECT_EQ(boxes.seen[0].icon, QMessageBox::Information);
  EXPECT_EQ(boxes.seen[0].text, "Programming successfully !");
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Warning);
  EXPECT_EQ(boxes.seen[2].caption, "ERROR");
  EXPECT_EQ(boxes.seen[2].icon, QMessageBox::NoIcon);
  for (const SeenBox& b : boxes.seen) EXPECT_EQ(b.buttons, QMessageBox::Ok);
}

TEST_P(QtWindowTest, TypingInTheInterfaceFieldSelectsTheEntryItBegins) {
  Open(true);
  Activate();
  QLineEdit* edit = qobject_cast<QComboBox*>(Ctl(IDC_INTERFACE))->lineEdit();
  edit->setFocus();
  edit->selectAll();
  QTest::keyClicks(edit, "us");
  EXPECT_EQ(ws->ComboSelectedText(), "USB");
  QTest::keyClicks(edit, "x");  // "usx" begins no entry
  EXPECT_EQ(ws->ComboSelectedText(), "");
  EXPECT_EQ(ws->GetText(IDC_INTERFACE), "usx");
  ws->ComboSelect(4);
  EXPECT_EQ(ws->ComboSelectedText(), "COM4");
  EXPECT_EQ(ws->GetText(IDC_INTERFACE), "COM4");
}

TEST_P(QtWindowTest, LogScrollsAsFarAsItsWidestLineAndSelectsTheNewest) {
  Open(true);
  auto* log = qobject_cast<CQtLogList*>(Ctl(IDC_LOG));
  const QFontMetrics m(log->font());
  QScrollBar* bar = log->horizontalScrollBar();

  dlg->Log("Build S19 block list OK");
  EXPECT_EQ(log->HorizontalExtent(), m.horizontalAdvance("Build S19 block list OK") + 3);
  EXPECT_EQ(bar->maximum(), 0) << "a short line needs no scrolling";

  const std::string longLine(40, 'W');
  const std::string wide = "Send: " + longLine + longLine + longLine;
  dlg->Log(wide);
  const int extent = m.horizontalAdvance(QString::fromStdString(wide)) + 3;
  ASSERT_GT(extent, log->viewport()->width());
  EXPECT_EQ(log->HorizontalExtent(), extent);
  EXPECT_EQ(bar->maximum(), extent - log->viewport()->width());
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(log->currentRow(), 1);

  dlg->Log("short");
  EXPECT_EQ(log->HorizontalExtent(), extent) << "the extent never shrinks on an append";
  EXPECT_EQ(log->currentRow(), 2);

  // Many lines: the newest stays in view.
  for (int i = 0; i < 40; ++i) dlg->Log("line " + std::to_string(i));
  const QRect newest = log->visualItemRect(log->item(log->count() - 1));
  EXPECT_TRUE(log->viewport()->rect().contains(newest.topLeft() + QPoint(1, 1)));
  EXPECT_EQ(log->currentRow(), log->count() - 1);
  SaveScreenshot(Win(), GetParam() + "-log");
}

TEST_P(QtWindowTest, LinesFromAWorkerThreadArriveInOrder) {
  Open(true);
  auto* log = qobject_cast<QListWidget*>(Ctl(IDC_LOG));
  std::thread worker([&] {
    for (int i = 0; i < 20; ++i) dlg->Log("worker " + std::to_string(i));
  });
  // The GUI thread serves the worker's calls from its event loop.
  EXPECT_TRUE(QTest::qWaitFor([&] { return log->count() == 20; }, 20000));
  worker.join();
  for (int i = 0; i < log->count(); ++i) {
    EXPECT_EQ(log->item(i)->text().toStdString(), "worker " + std::to_string(i));
  }
  EXPECT_EQ(log->currentRow(), 19);
}

TEST_P(QtWindowTest, AboutEntryInTheWindowMenuAndOnF1OpensTheAboutBox) {
  Open(true);
  const QList<QAction*>& actions = Win().MenuActions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_TRUE(actions[0]->isSeparator());
  EXPECT_EQ(actions[1]->text().toStdString(), variant->aboutMenuEntry);
  EXPECT_EQ(actions[2]->text().toStdString(), "Service journal...");

  // A right click on the window opens its menu; the entry's mnemonic picks it.
  Activate();
  std::vector<std::string> menuTexts;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions()) menuTexts.push_back(a->text().toStdString());
    QTest::keyClick(menu, Qt::Key_A);
  });
  const QPoint inGroup = Ctl(IDC_GROUP)->geometry().center();
  QContextMenuEvent click(QContextMenuEvent::Mouse, inGroup, Win().mapToGlobal(inGroup));
  QApplication::sendEvent(&Win(), &click);
  EXPECT_EQ(menuTexts,
            (std::vector<std::string>{"", variant->aboutMenuEntry, "Service journal..."}));
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].kind, "about");
  EXPECT_EQ(boxes.seen[0].caption, variant->aboutCaption);
  EXPECT_EQ(boxes.seen[0].text, variant->aboutLine1 + "\n" + variant->aboutLine2);

  // F1, and the box's own layout (template 100) in pixels at 96 dpi.
  boxes.answers.push_back([&](QDialog& box) {
    auto& about = static_cast<CQtAboutBox&>(box);
    EXPECT_EQ(about.size(), QSize(353, 89));                        // 235 x 55
    EXPECT_EQ(about.Icon()->geometry().topLeft(), QPoint(17, 28));  // 11, 17
    EXPECT_FALSE(about.Icon()->pixmap().isNull());
    EXPECT_EQ(about.Line1()->geometry(), QRect(60, 16, 179, 13));     // 40, 10, 119, 8
    EXPECT_EQ(about.Line2()->geometry(), QRect(60, 41, 179, 13));     // 40, 25, 119, 8
    EXPECT_EQ(about.OkButton()->geometry(), QRect(267, 11, 75, 23));  // 178, 7, 50, 14
    EXPECT_EQ(about.OkButton()->text(), "OK");
    EXPECT_TRUE(about.OkButton()->isDefault());
    SaveScreenshot(about, GetParam() + "-about");
    about.OkButton()->click();
  });
  Activate();  // the menu had the keyboard
  QTest::keyClick(&Win(), Qt::Key_F1);
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[1].kind, "about");
  EXPECT_TRUE(boxes.answers.empty());
}

// What the dialog tells its listeners: the log's lines as logged, stages, outcomes.
class CRecorder : public IUpdateListener {
 public:
  void OnStageBegun(Stage stage) override { stages.push_back(stage); }
  void OnOutcome(const Outcome& outcome) override { outcomes.push_back(outcome); }
  void OnLogLine(const std::string& text, LogKind) override { lines.push_back(text); }
  std::vector<Stage> stages;
  std::vector<Outcome> outcomes;
  std::vector<std::string> lines;
};

// A device's reply ends in a CR: the log's lines keep it, the list draws no glyph
// for it and is no wider for it.
TEST_P(QtWindowTest, ARepliesLineEndIsKeptInTheLogButNotDrawn) {
  Open(true);
  CRecorder recorder;
  auto* log = qobject_cast<QListWidget*>(Ctl(IDC_LOG));
  const int before = log->count();
  const std::vector<std::string> logged{"OK\r", "IAP#ERR 0x8400\r\n", "12 Rd", "\r"};
  dlg->AddListener(recorder);
  for (const std::string& line : logged) dlg->Log(line);
  dlg->RemoveListener(recorder);
  std::vector<std::string> shown;
  for (int i = before; i < log->count(); ++i) shown.push_back(log->item(i)->text().toStdString());
  EXPECT_EQ(recorder.lines, logged);
  EXPECT_EQ(shown, (std::vector<std::string>{"OK", "IAP#ERR 0x8400", "12 Rd", ""}));
  EXPECT_EQ(ws->LogTextWidth("IAP#ERR 0x8400\r\n"),
            QFontMetrics(log->font()).horizontalAdvance("IAP#ERR 0x8400"));
  SaveScreenshot(Win(), GetParam() + "-reply-cr");
}

// Each program shows its own icon (the other's differs: QtDesktopTest), in the
// title bar and the task bar and in its About box.
TEST_P(QtWindowTest, WindowAndAboutBoxShowThisProgramsOwnIcon) {
  Open(true);
  const auto picture = [](const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
  };
  const QImage mine = picture(AppIconPixmap(32, *IconVariantNamed(GetParam())));
  EXPECT_EQ(picture(Win().windowIcon().pixmap(32)), mine);
  boxes.answers.push_back([&](QDialog& box) {
    EXPECT_EQ(picture(static_cast<CQtAboutBox&>(box).Icon()->pixmap()), mine);
    box.accept();
  });
  dlg->OnSysCommand(IDM_ABOUTBOX, 0);
  EXPECT_TRUE(boxes.answers.empty());
}

// The menu's journal entry: the journal IAP_JOURNAL names, newest update first, at
// most 200, every text whole in its column; a journal that cannot be read still
// shows its path, and why.
TEST_P(QtWindowTest, JournalEntryShowsThePathAndTheNewestUpdatesWhole) {
  struct Case {
    const char* name;
    int records;
    bool folderInItsPlace;
  } const cases[] = {{"three updates", 3, false},
                     {"more than the window lists", 203, false},
                     {"a folder where the journal should be", 0, true}};
  const QByteArray oldJournal = qgetenv("IAP_JOURNAL");
  Open(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(std::string("journal ") + c.name + ".jsonl");
    std::vector<JournalEntry> written;
    for (int i = 0; i < c.records; ++i) {
      written.push_back(SampleUpdate(i));
      ASSERT_TRUE(AppendJournal(path, written.back()).ok);
    }
    if (c.folderInItsPlace) std::filesystem::create_directories(path);
    qputenv("IAP_JOURNAL", path.c_str());
    boxes.answers.push_back([&](QDialog& box) {
      auto* journal = qobject_cast<CQtJournalDialog*>(&box);
      if (!journal) return box.reject();  // the kind seen, below, tells which box came
      EXPECT_EQ(journal->windowTitle(), "Service journal");
      EXPECT_EQ(journal->Path()->text().toStdString(), path);
      EXPECT_LE(journal->Path()->fontMetrics().horizontalAdvance(journal->Path()->text()),
                journal->Path()->contentsRect().width());
      EXPECT_EQ(journal->Problem()->isVisible(), c.folderInItsPlace);
      EXPECT_EQ(journal->Problem()->text().isEmpty(), !c.folderInItsPlace);
      QTreeWidget* list = journal->List();
      EXPECT_EQ(list->topLevelItemCount(), std::min(c.records, 200));
      for (int row = 0; row < std::min(list->topLevelItemCount(), c.records); ++row) {
        const JournalRow want = RowOf(written[written.size() - 1 - std::size_t(row)]);
        const std::string texts[] = {want.time, want.device, want.firmware, want.result};
        for (int column = 0; column < 4; ++column) {
          const QString shown = list->topLevelItem(row)->text(column);
          EXPECT_EQ(shown.toStdString(), texts[column]);
          EXPECT_LT(list->fontMetrics().horizontalAdvance(shown), list->columnWidth(column));
        }
      }
      EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0) << "every column in view";
      SaveScreenshot(*journal, GetParam() + "-journal-" + std::to_string(c.records));
      journal->CloseButton()->click();
    });
    Win().MenuActions().back()->trigger();
    ASSERT_TRUE(boxes.answers.empty()) << "no window came";
    EXPECT_EQ(boxes.seen.back().kind, "journal");
  }
  oldJournal.isNull() ? qunsetenv("IAP_JOURNAL") : qputenv("IAP_JOURNAL", oldJournal);
}

// The path's tip, as the signed comment of a verified file sets it: shown as
// given (markup characters too, over several lines), gone with empty text.
TEST_P(QtWindowTest, FileNameTipShowsTheTextAsGivenUntilEmptyTextRemovesIt) {
  Open(true);
  QWidget* field = Ctl(IDC_FILENAME);
  for (const std::string text :
       {"version 2.4.1 2026-11-30", "2.4.2\nsigned", "<b>2.4.3</b> &", ""}) {
    ws->SetToolTip(IDC_FILENAME, text);
    const QString tip = field->toolTip();
    QTextDocument document;
    document.setHtml(tip);
    EXPECT_EQ((Qt::mightBeRichText(tip) ? document.toPlainText() : tip).toStdString(), text);
    if (text.empty()) continue;
    const QPoint at = field->rect().center();  // the pointer rests on the field
    QHelpEvent help(QEvent::ToolTip, at, field->mapToGlobal(at));
    QApplication::sendEvent(field, &help);
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 2000));
    EXPECT_EQ(QToolTip::text(), tip);
    QToolTip::hideText();
  }
  EXPECT_TRUE(field->toolTip().isEmpty());
}

// The example device's configuration and firmware in the working folder, the
// firmware dragged from a file manager.
class QtWindowDropTest : public QtWindowTest {
 protected:
  void SetUp() override {
    QtWindowTest::SetUp();
    for (const std::string& name : {IniNameOf(*variant), std::string(firmwareName)}) {
      std::filesystem::copy_file(std::string(IAP_EXAMPLES_DIR "/") + GetParam() + "/" + name,
                                 dir.File(name));
    }
  }
  // Drags urls (none: firmware's path as text) over the log and drops them there:
  // true when the window took the drop, as its cursor promised.
  bool Drop(const QList<QUrl>& urls) {
    QMimeData data;
    urls.isEmpty() ? data.setText(QString::fromStdString(firmware)) : data.setUrls(urls);
    const QPoint at = Ctl(IDC_LOG)->geometry().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Win(), &enter);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Win(), &move);
    QDropEvent drop(QPointF(at), actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&Win(), &drop);
    QCoreApplication::processEvents();
    EXPECT_EQ(enter.isAccepted(), drop.isAccepted());
    return drop.isAccepted();
  }
  QUrl Local(const std::string& path) { return QUrl::fromLocalFile(QString::fromStdString(path)); }

  const char* firmwareName = GetParam() == "solvane" ? "firmware.mppt" : "firmware.S19";
  std::string firmware = dir.File(firmwareName);
};

// Dropped, the file goes the way of a file chosen with File: the same lines, stages
// and outcome, tmp.bin, Update Firmware let go, no dialog. Anything but one local
// file is refused, and so is any drop while File is disabled (as in a transfer).
TEST_P(QtWindowDropTest, ADroppedFirmwareFileIsTakenAsFileTakesTheChosenOne) {
  Open(false);
  CRecorder byDialog, byDrop;
  boxes.answers.push_back([&](QDialog& box) {
    static_cast<CQtFileDialog&>(box).selectFile(QString::fromStdString(firmware));
    box.accept();
  });
  dlg->AddListener(byDialog);
  QTest::mouseClick(Button(IDC_FILE), Qt::LeftButton);
  dlg->RemoveListener(byDialog);
  ASSERT_TRUE(ws->IsEnabled(IDC_UPDATE)) << "the example firmware builds";
  const std::size_t boxesSeen = boxes.seen.size();
  const std::string shownName = ws->GetText(IDC_FILENAME);
  std::filesystem::remove(dir.File("tmp.bin"));
  ws->Enable(IDC_UPDATE, false);
  ws->SetText(IDC_FILENAME, "");

  dlg->AddListener(byDrop);
  EXPECT_TRUE(Drop({Local(firmware)}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !byDrop.outcomes.empty(); }, 10000));
  dlg->RemoveListener(byDrop);
  EXPECT_EQ(byDrop.lines, byDialog.lines);
  EXPECT_EQ(byDrop.stages, byDialog.stages);
  EXPECT_EQ(byDrop.outcomes[0].result, Result::kDone);
  EXPECT_EQ(boxes.seen.size(), boxesSeen) << "no dialog and no box";
  EXPECT_TRUE(std::filesystem::exists(dir.File("tmp.bin")));
  EXPECT_TRUE(ws->IsEnabled(IDC_UPDATE));
  EXPECT_EQ(ws->GetText(IDC_FILENAME), shownName);
  SaveScreenshot(Win(), GetParam() + "-dropped");

  auto* log = qobject_cast<QListWidget*>(Ctl(IDC_LOG));
  const int after = log->count();
  const QList<QUrl> refused[] = {{Local(firmware), Local(dir.File(IniNameOf(*variant)))},
                                 {QUrl("https://example.com/firmware.mppt")}, {}};
  for (const QList<QUrl>& urls : refused) EXPECT_FALSE(Drop(urls)) << urls.size();
  ws->Enable(IDC_FILE, false);
  EXPECT_FALSE(Drop({Local(firmware)})) << "File disabled";
  EXPECT_FALSE(dlg->OnFileChosen(firmware)) << "nor is a file handed to the dialog taken";
  QCoreApplication::processEvents();
  EXPECT_EQ(log->count(), after);
}

// The window's modal run, ended by the user in the given way.
class QtWindowEndTest : public QtWindowTest {
 protected:
  // Runs the dialog modally as the program does; act runs once the loop is up.
  int RunModal(const std::function<void()>& act) {
    dir.Write(IniNameOf(*variant), kGoodIni);
    QTimer::singleShot(0, &Win(), [&] {
      Activate();
      act();
    });
    ws->RunModal(*dlg);
    return Win().result();
  }
};

TEST_P(QtWindowEndTest, EnterInTheInterfaceFieldEndsTheDialogAsOk) {
  const int result = RunModal([&] {
    auto* combo = qobject_cast<QComboBox*>(Ctl(IDC_INTERFACE));
    combo->lineEdit()->setFocus();
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_TRUE(dlg->Closing()) << "the dialog was shut down as the window ended";
  EXPECT_FALSE(Win().isVisible());
}

TEST_P(QtWindowEndTest, EnterInTheLogEndsTheDialogAsOk) {
  const int result = RunModal([&] {
    dlg->Log("a line");
    Ctl(IDC_LOG)->setFocus();
    QTest::keyClick(Ctl(IDC_LOG), Qt::Key_Return);
  });
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_TRUE(dlg->Closing());
}

TEST_P(QtWindowEndTest, EnterOnAnotherButtonPressesThatButton) {
  bool stillOpen = false;
  const int result = RunModal([&] {
    Ctl(IDC_FILE)->setFocus();
    QTest::keyClick(Ctl(IDC_FILE), Qt::Key_Return);  // File: its dialog is cancelled
    stillOpen = Win().isVisible() && !dlg->Closing();
    QTest::keyClick(Ctl(IDC_FILE), Qt::Key_Escape);
  });
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].kind, "file");
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_TRUE(dlg->Closing());
}

TEST_P(QtWindowEndTest, ExitButtonEndsAsOkEscapeAndCloseBoxAsCancel) {
  EXPECT_EQ(RunModal([&] { Button(IDC_EXIT)->click(); }), QDialog::Accepted);
  EXPECT_TRUE(dlg->Closing());

  for (bool escape : {true, false}) {
    dlg.reset();
    ws = std::make_unique<CQtWindowSystem>(*variant);
    dlg = std::make_unique<CUpdaterDlg>(*ws, *variant);
    boxes.Install(*ws);
    const int result = RunModal([&] {
      if (escape) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
      } else {
        Win().close();
      }
    });
    EXPECT_EQ(result, QDialog::Rejected) << escape;
    EXPECT_TRUE(dlg->Closing()) << escape;
  }
}

TEST_P(QtWindowEndTest, ClosingWhileAWorkerWaitsForTheWindowReleasesIt) {
  std::atomic<int> lines{0};
  std::thread worker;
  std::promise<void> left;
  const int result = RunModal([&] {
    worker = std::thread([&] {
      // A transfer's stream of lines; once the window is gone a line returns at
      // once and the worker sees the dialog closing.
      while (!dlg->Closing()) {
        dlg->Log("frame");
        ++lines;
      }
      left.set_value();
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines.load() >= 5; }, 20000));
    Win().close();  // while the worker keeps calling
  });
  EXPECT_EQ(result, QDialog::Rejected);
  // A worker left waiting on the window would never get here.
  if (left.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    worker.detach();
    FAIL() << "the worker is still waiting for the window";
  }
  worker.join();
  EXPECT_GE(lines.load(), 5);
  const int shown = qobject_cast<QListWidget*>(Ctl(IDC_LOG))->count();
  dlg->Log("after the end");  // from the GUI thread, too, nothing lands any more
  EXPECT_EQ(qobject_cast<QListWidget*>(Ctl(IDC_LOG))->count(), shown);
}

// Every way the window ends, while a transfer worker runs: the question comes
// first, No leaves window and worker as they were, Yes ends the window as that way
// always has.
TEST_P(QtWindowEndTest, EveryWayOfClosingDuringATransferAsksFirst) {
  const std::string question =
      "A firmware update is running. Closing now leaves the device without a complete "
      "firmware. Close anyway?";
  struct Way {
    const char* name;
    std::function<void()> close;
    int result;
  };
  const auto keyTarget = [this]() -> QWidget* {
    QWidget* focus = QApplication::focusWidget();
    return focus ? focus : &Win();
  };
  const Way ways[] = {
      {"exit", [this] { Button(IDC_EXIT)->click(); }, QDialog::Accepted},
      {"enter",
       [this] {
         Ctl(IDC_LOG)->setFocus();
         QTest::keyClick(Ctl(IDC_LOG), Qt::Key_Return);
       },
       QDialog::Accepted},
      {"escape", [&] { QTest::keyClick(keyTarget(), Qt::Key_Escape); }, QDialog::Rejected},
      {"close box", [this] { Win().close(); }, QDialog::Rejected},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    dlg.reset();
    ws = std::make_unique<CQtWindowSystem>(*variant);
    dlg = std::make_unique<CUpdaterDlg>(*ws, *variant);
    boxes = CBoxAnswerer();
    boxes.Install(*ws);
    std::atomic<int> frames{0};
    bool keptOpen = false, keptSending = false;
    boxes.answers.push_back([&](QDialog& box) {
      SaveScreenshot(box, GetParam() + "-close-question");
      PressButton(QMessageBox::No)(box);
    });
    boxes.answers.push_back(PressButton(QMessageBox::Yes));
    const int result = RunModal([&] {
      CUpdaterDlg* d = dlg.get();
      d->StartWorker([d, &frames] {
        while (!d->Closing()) {
          d->Log("frame " + std::to_string(frames.load()));
          ++frames;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      if (!QTest::qWaitFor([&] { return frames.load() >= 5; }, 20000)) {
        ADD_FAILURE() << "the worker did not start";
      }
      way.close();
      keptOpen = Win().isVisible() && !d->Closing() && d->WorkerRunning();
      const int now = frames.load();
      keptSending = QTest::qWaitFor([&] { return frames.load() > now + 5; }, 20000);
      way.close();
    });
    EXPECT_TRUE(keptOpen) << "No closed the window or stopped the worker";
    EXPECT_TRUE(keptSending) << "the worker stopped sending after No";
    ASSERT_EQ(boxes.seen.size(), 2u);
    for (const SeenBox& b : boxes.seen) {
      EXPECT_EQ(b.kind, "message");
      EXPECT_EQ(b.caption, variant->appName);
      EXPECT_EQ(b.text, question);
      EXPECT_EQ(b.icon, QMessageBox::Warning);
      EXPECT_EQ(b.buttons, QMessageBox::Yes | QMessageBox::No);
      EXPECT_EQ(b.defaultButton, QMessageBox::No);
    }
    EXPECT_EQ(result, way.result);
    EXPECT_FALSE(Win().isVisible());
    EXPECT_TRUE(dlg->Closing());
    EXPECT_FALSE(dlg->WorkerRunning()) << "the worker outlived the window";
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, QtWindowTest, ::testing::Values("solvane", "castrel"));
INSTANTIATE_TEST_SUITE_P(Variants, QtWindowDropTest, ::testing::Values("solvane", "castrel"));
INSTANTIATE_TEST_SUITE_P(Variants, QtWindowEndTest, ::testing::Values("solvane", "castrel"));

}  // namespace
