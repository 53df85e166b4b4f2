// The Win32 face, run for real (under wine in the Windows build): the dialog made
// from the linked templates, driven from inside its own modal loop by a thread
// timer, as a user's clicks, Explorer's drops and a worker's calls would drive it.
// Each program's resources carry its own icon.
#include <windows.h>
// after windows.h, which they build on
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Win32ScreenBmp.h"
#include "app/UpdateListener.h"
#include "app/UpdaterDlg.h"
#include "support/TestDir.h"
#include "ui/win32/Resource.h"
#include "ui/win32/Win32WindowSystem.h"

namespace {

std::string Text(HWND hwnd) {
  char buffer[512] = {};
  ::GetWindowTextA(hwnd, buffer, sizeof buffer);
  return buffer;
}

std::string ClassOf(HWND hwnd) {
  char buffer[64] = {};
  ::GetClassNameA(hwnd, buffer, sizeof buffer);
  return buffer;
}

// A modal box of this thread (message box, About box, file dialog) other than main.
HWND FindBox(HWND main) {
  struct Search {
    HWND main, found;
  } search{main, nullptr};
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (hwnd != s->main && ::IsWindowVisible(hwnd) && ClassOf(hwnd) == "#32770") {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// What a message box says and shows: its caption, its longest static text, and
// whether a static holds an icon.
struct SeenBox {
  std::string caption, text;
  HICON icon = nullptr;
};

SeenBox ReadBox(HWND box) {
  SeenBox seen{Text(box), {}, nullptr};
  for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != "Static") continue;
    if ((::GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      seen.icon = reinterpret_cast<HICON>(::SendMessageA(child, STM_GETICON, 0, 0));
    } else if (Text(child).size() > seen.text.size()) {
      seen.text = Text(child);
    }
  }
  return seen;
}

// Saves what window shows on the screen as NAME.bmp in $IAP_SCREENSHOT_DIR (a
// Windows path such as Z:\tmp\shots) when that variable is set.
void SaveScreenshot(HWND window, const std::string& name) {
  const char* dir = std::getenv("IAP_SCREENSHOT_DIR");
  if (!dir || !*dir || name.empty()) return;
  ::UpdateWindow(window);
  RECT rect{};
  ::GetWindowRect(window, &rect);
  SaveScreenBmp(rect, std::string(dir) + "\\" + name + ".bmp");
}

int CellHeight(HWND control) {
  const HDC dc = ::GetDC(control);
  const HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0)));
  TEXTMETRICA metrics{};
  ::GetTextMetricsA(dc, &metrics);
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return metrics.tmHeight;
}

// The control's font as the dialog made it: bold italic of the given cell height.
// The cell the font mapper then builds from the face's own metrics may come out a
// pixel off, depending on which face stands in for Arial.
void ExpectFont(HWND control, int cell) {
  SCOPED_TRACE(::GetDlgCtrlID(control));
  LOGFONTA font{};
  const auto made = reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0));
  ASSERT_EQ(::GetObjectA(made, sizeof font, &font), int(sizeof font));
  EXPECT_EQ(font.lfHeight, cell);
  EXPECT_EQ(font.lfWeight, FW_BOLD);
  EXPECT_TRUE(font.lfItalic);
  EXPECT_EQ(std::string(font.lfFaceName), "Arial");
  EXPECT_LE(std::abs(CellHeight(control) - cell), 1);
}

// Steps run one after the other on the dialog's thread, each on a timer tick once
// it reports itself done; a step that opens a modal box posts its command, so the
// box's own loop keeps the ticks coming.
class CDialogScript {
 public:
  using Step = std::function<bool()>;  // true: done, go on; false: look again next tick
  CDialogScript(std::function<HWND()> main, std::deque<Step> steps)
      : m_main(std::move(main)), m_steps(std::move(steps)) {
    s_current = this;
    m_timer = ::SetTimer(nullptr, 0, 20, &Tick);
  }
  ~CDialogScript() {
    ::KillTimer(nullptr, m_timer);
    s_current = nullptr;
  }
  bool Finished() const { return m_steps.empty(); }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    CDialogScript* self = s_current;
    if (!self || self->m_busy || self->m_steps.empty()) return;
    self->m_busy = true;
    // Bounded: a step that never comes true fails the test instead of hanging it.
    if (++self->m_ticks > 1500) {
      ADD_FAILURE() << "a step of the dialog script never came true";
      self->m_steps.clear();
      // Close whatever is open, the dialog last, so the test ends.
      const HWND main = self->m_main();
      if (const HWND box = FindBox(main)) {
        ADD_FAILURE() << "a box is open: \"" << Text(box) << "\": " << ReadBox(box).text;
        ::EndDialog(box, IDCANCEL);
      }
      ::PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else if (self->m_steps.front()()) {
      self->m_steps.pop_front();
      self->m_ticks = 0;
    }
    self->m_busy = false;
  }

  static inline CDialogScript* s_current = nullptr;
  std::function<HWND()> m_main;
  std::deque<Step> m_steps;
  UINT_PTR m_timer = 0;
  int m_ticks = 0;
  bool m_busy = false;
};

const char kGoodConfig[] =
    "[DEVICELIST]\nDEVICECOUNT=1\n[DEVICE0]\nVID=0x0483\nPID=0x5750\nCOMMUNICATBDRATE=9600\n"
    "PROGRAMBDRATE=9600\nRAWDATASIZE=32\nHEADLINE=0\nROMHEAD=0x8000\nROMTAIL=0xFFFF\n"
    "INTSTART=0xFF00\nINTEND=0xFFF0\nPAGESIZE=0x200\nIAPSTART=0xE000\nIAPEND=0xEFF0\n"
    "IAPMARK=0x8400\nFLASHCMD=IAP#\nIAPCODEPROTECT=0\n";

class Win32WindowTest : public ::testing::Test {
 protected:
  CTestDir dir;
  CWin32WindowSystem ws{::GetModuleHandleA(nullptr)};
  CUpdaterDlg dlg{ws, SolvaneStrings()};
  std::vector<SeenBox> boxes;

  HWND Main() const { return ws.Window(); }
  HWND Item(int id) const { return ::GetDlgItem(Main(), id); }

  // Runs the dialog modally with the script; the last step should close it.
  void Run(std::deque<CDialogScript::Step> steps) {
    CDialogScript script([this] { return Main(); }, std::move(steps));
    ws.RunModal(dlg);
    EXPECT_TRUE(script.Finished()) << "the dialog closed before the script ended";
  }
  // A step that answers the next message box with OK and keeps what it showed.
  CDialogScript::Step AnswerBox() {
    return [this] {
      const HWND box = FindBox(Main());
      if (!box) return false;
      boxes.push_back(ReadBox(box));
      ::PostMessageA(box, WM_COMMAND, IDOK, 0);
      return true;
    };
  }
  CDialogScript::Step Close() {
    return [this] {
      if (FindBox(Main())) return false;  // a box still closing
      ::PostMessageA(Main(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return true;
    };
  }
};

TEST_F(Win32WindowTest, TemplateControlsTextsFontsAndStatesAfterAGoodStart) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  Run({[this] {
         // Every control of the template at its place: dialog units mapped by the
         // dialog's own font, against the control's rectangle in the client area.
         struct Row {
           int id;
           const char* cls;
           const char* text;
           RECT du;  // x, y, width, height in dialog units
         };
         const Row rows[] = {
             {IDC_INTERFACE, "ComboBox", "COM1", {74, 13, 65, 0}},
             {IDOK, "Button", "Exit", {309, 14, 60, 20}},
             {IDC_FILE, "Button", "File", {309, 59, 60, 20}},
             {IDC_UPDATE, "Button", "Update Firmware", {47, 114, 111, 20}},
             {IDC_CANCEL, "Button", "Cancel Update", {217, 114, 111, 20}},
             {IDC_LOG, "ListBox", "", {8, 155, 367, 182}},
             {IDC_PROGRESS, PROGRESS_CLASSA, "", {79, 88, 244, 18}},
             {IDC_GROUP, "Button", "MPPT Firmware Update", {8, 39, 367, 103}},
             {IDC_PROGRESS_LABEL, "Static", "Progress:", {18, 89, 55, 12}},
             {IDC_INTERFACE_LABEL, "Static", "Interface:", {18, 14, 47, 13}},
             {IDC_DOWNLOAD_LABEL, "Static", "Download:", {18, 61, 59, 12}},
             {IDC_FILENAME, "Static", "", {79, 59, 225, 18}},
             {IDC_PERCENT, "Static", "", {327, 88, 37, 18}},
         };
         HWND previous = nullptr;
         for (const Row& row : rows) {
           SCOPED_TRACE(row.id);
           const HWND item = Item(row.id);
           if (!item) {
             ADD_FAILURE() << "no control " << row.id;
             continue;
           }
           EXPECT_EQ(ClassOf(item), row.cls);
           if (row.id != IDC_LOG) {
             EXPECT_EQ(Text(item), row.text);
           }
           // Template order is the tab order: each control follows the previous one.
           if (previous) {
             EXPECT_EQ(::GetWindow(previous, GW_HWNDNEXT), item);
           }
           previous = item;
           // x and width are mapped apart, as the dialog manager maps them.
           RECT want = row.du;
           ::MapDialogRect(Main(), &want);
           RECT got{};
           ::GetWindowRect(item, &got);
           ::MapWindowPoints(nullptr, Main(), reinterpret_cast<POINT*>(&got), 2);
           EXPECT_EQ(got.left, want.left);
           EXPECT_EQ(got.top, want.top);
           const bool caption = row.id == IDC_INTERFACE_LABEL || row.id == IDC_DOWNLOAD_LABEL ||
                                row.id == IDC_PROGRESS_LABEL;
           if (caption) {
             // A caption grows to the right and down for its text in its font (below).
             EXPECT_GE(got.right - got.left, want.right);
             EXPECT_GE(got.bottom - got.top, want.bottom);
           } else {
             EXPECT_EQ(got.right - got.left, want.right);
           }
           if (row.id != IDC_INTERFACE && !caption) {  // a combo box keeps its own height
             EXPECT_EQ(got.bottom - got.top, want.bottom);
           }
         }
         RECT size{0, 0, 383, 348};
         ::MapDialogRect(Main(), &size);
         RECT client{};
         ::GetClientRect(Main(), &client);
         EXPECT_EQ(client.right, size.right);
         EXPECT_EQ(client.bottom, size.bottom);

         // The caption and styles of the window and its default button.
         EXPECT_EQ(Text(Main()), SolvaneStrings().windowCaption);
         const LONG style = ::GetWindowLongA(Main(), GWL_STYLE);
         EXPECT_TRUE(style & WS_SYSMENU);
         EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
         EXPECT_TRUE(::GetWindowLongA(Main(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
         EXPECT_EQ(LOWORD(::SendMessageA(Main(), DM_GETDEFID, 0, 0)), IDOK);
         EXPECT_TRUE(::GetWindowLongA(Item(IDC_PROGRESS), GWL_STYLE) & PBS_SMOOTH);
         EXPECT_NE(::SendMessageA(Main(), WM_GETICON, ICON_BIG, 0), 0);

         // States after a good start.
         EXPECT_TRUE(::IsWindowEnabled(Item(IDOK)));
         EXPECT_TRUE(::IsWindowEnabled(Item(IDC_FILE)));
         EXPECT_TRUE(::IsWindowEnabled(Item(IDC_INTERFACE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_UPDATE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_CANCEL)));
         EXPECT_EQ(::SendMessageA(Item(IDC_INTERFACE), CB_GETCOUNT, 0, 0), 10);
         EXPECT_EQ(::SendMessageA(Item(IDC_INTERFACE), CB_GETCURSEL, 0, 0), 1);
         EXPECT_EQ(::SendMessageA(Item(IDC_LOG), LB_GETCOUNT, 0, 0), 0);
         EXPECT_EQ(::SendMessageA(Item(IDC_LOG), LB_GETCURSEL, 0, 0), LB_ERR);

         // The two fonts by their cell heights; the log and the path keep the dialog's.
         for (int id : std::initializer_list<int>{IDC_UPDATE, IDC_FILE, IDC_PROGRESS_LABEL,
                                                  IDC_PERCENT, IDC_INTERFACE_LABEL, IDC_CANCEL,
                                                  IDOK, IDC_GROUP, IDC_DOWNLOAD_LABEL}) {
           ExpectFont(Item(id), 19);
         }
         ExpectFont(Item(IDC_INTERFACE), 15);
         const auto dialogFont = ::SendMessageA(Main(), WM_GETFONT, 0, 0);
         EXPECT_EQ(::SendMessageA(Item(IDC_LOG), WM_GETFONT, 0, 0), dialogFont);
         EXPECT_EQ(::SendMessageA(Item(IDC_FILENAME), WM_GETFONT, 0, 0), dialogFont);

         // The system menu ends with a separator and the About entry, string 101.
         const HMENU menu = ::GetSystemMenu(Main(), FALSE);
         const int count = ::GetMenuItemCount(menu);
         if (count < 2) {
           ADD_FAILURE() << "the system menu has " << count << " entries";
           return true;
         }
         EXPECT_EQ(::GetMenuState(menu, UINT(count - 2), MF_BYPOSITION) & MF_SEPARATOR,
                   UINT(MF_SEPARATOR));
         EXPECT_EQ(::GetMenuItemID(menu, count - 1), IDM_ABOUTBOX);
         char entry[64] = {};
         ::GetMenuStringA(menu, UINT(count - 1), entry, sizeof entry, MF_BYPOSITION);
         EXPECT_EQ(std::string(entry), SolvaneStrings().aboutMenuEntry);
         char resource[64] = {};
         ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, resource, sizeof resource);
         EXPECT_EQ(std::string(resource), SolvaneStrings().aboutMenuEntry);
         return true;
       },
       Close()});
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Win32WindowTest, AMissingConfigurationIsToldInABoxAndLeavesOnlyExit) {
  Run({AnswerBox(),
       [this] {
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_FILE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_INTERFACE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_UPDATE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_CANCEL)));
         EXPECT_TRUE(::IsWindowEnabled(Item(IDOK)));
         return true;
       },
       Close()});
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, SolvaneStrings().appName);
  EXPECT_EQ(boxes[0].text, "IAP Config File is not exist");
  EXPECT_EQ(boxes[0].icon, ::LoadIconA(nullptr, IDI_INFORMATION));
}

TEST_F(Win32WindowTest, TheSystemMenuEntryOpensTheAboutBoxFromItsTemplate) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  SeenBox about;
  RECT aboutRect{}, want{0, 0, 235, 55};
  Run({[this] {
         ::PostMessageA(Main(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
         return true;
       },
       [&] {
         const HWND box = FindBox(Main());
         if (!box) return false;
         about = ReadBox(box);
         ::GetClientRect(box, &aboutRect);
         ::MapDialogRect(box, &want);
         EXPECT_EQ(Text(::GetDlgItem(box, IDC_ABOUT_LINE1)), SolvaneStrings().aboutLine1);
         EXPECT_EQ(Text(::GetDlgItem(box, IDC_ABOUT_LINE2)), SolvaneStrings().aboutLine2);
         EXPECT_EQ(::GetWindow(box, GW_OWNER), Main());
         ::PostMessageA(box, WM_COMMAND, IDOK, 0);
         return true;
       },
       Close()});
  EXPECT_EQ(about.caption, SolvaneStrings().aboutCaption);
  EXPECT_NE(about.icon, nullptr);
  EXPECT_EQ(aboutRect.right, want.right);
  EXPECT_EQ(aboutRect.bottom, want.bottom);
}

TEST_F(Win32WindowTest, LinesFromAWorkerWidenTheLogAndSelectTheLast) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  std::vector<std::string> lines;
  for (int i = 0; i < 30; ++i)
    lines.push_back(std::string(std::size_t(5 + (i * 7) % 60), 'W') + "|");
  std::thread worker;
  std::atomic<bool> done{false};
  Run({[&] {
         worker = std::thread([&] {
           for (const std::string& line : lines) dlg.Log(line);
           done = true;
         });
         return true;
       },
       [&] {
         if (!done) return false;
         const HWND log = Item(IDC_LOG);
         EXPECT_EQ(::SendMessageA(log, LB_GETCOUNT, 0, 0), LRESULT(lines.size()));
         EXPECT_EQ(::SendMessageA(log, LB_GETCURSEL, 0, 0), LRESULT(lines.size() - 1));
         // The widest line, measured here in the log's font, plus 3.
         const HDC dc = ::GetDC(log);
         const HGDIOBJ old =
             ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(log, WM_GETFONT, 0, 0)));
         LONG widest = 0;
         for (const std::string& line : lines) {
           SIZE size{};
           ::GetTextExtentPoint32A(dc, line.c_str(), int(line.size()), &size);
           widest = std::max(widest, size.cx);
         }
         ::SelectObject(dc, old);
         ::ReleaseDC(log, dc);
         EXPECT_EQ(::SendMessageA(log, LB_GETHORIZONTALEXTENT, 0, 0), widest + 3);
         char last[128] = {};
         ::SendMessageA(log, LB_GETTEXT, lines.size() - 1, reinterpret_cast<LPARAM>(last));
         EXPECT_EQ(std::string(last), lines.back());
         return true;
       },
       Close()});
  worker.join();
}

// Exit while a transfer worker keeps writing to the log: the question comes first.
// No (Enter: the default) keeps the window and the worker as they were; Yes closes the window at
// once, the worker is released and ends, and nothing waits on anything for ever.
TEST_F(Win32WindowTest, ClosingWhileAWorkerWritesAsksThenNeitherHangsNorOutlivesTheDialog) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  std::atomic<int> written{0};
  int writtenAtNo = 0;
  bool keptOpen = false;
  std::vector<int> focused;
  std::vector<bool> yesAndNoOnly;
  const auto answer = [&](int button) -> CDialogScript::Step {
    return [&, button] {
      const HWND box = FindBox(Main());
      if (!box) return false;
      boxes.push_back(ReadBox(box));
      // The button that has the focus is the one Enter presses.
      const HWND focus = ::GetFocus();
      focused.push_back(focus && ::GetParent(focus) == box ? ::GetDlgCtrlID(focus) : 0);
      const auto shown = [box](int id) {
        const HWND item = ::GetDlgItem(box, id);
        return item && ::IsWindowVisible(item);
      };
      yesAndNoOnly.push_back(shown(IDYES) && shown(IDNO) && !shown(IDOK) && !shown(IDCANCEL));
      if (button == IDNO) {
        // No by Enter alone, as a technician who just hits Enter answers.
        SaveScreenshot(box, "win32-close-question");
        ::PostMessageA(focus ? focus : box, WM_KEYDOWN, VK_RETURN, 0);
        ::PostMessageA(focus ? focus : box, WM_KEYUP, VK_RETURN, 0xC0000000);
      } else {
        ::PostMessageA(box, WM_COMMAND, button, 0);
      }
      return true;
    };
  };
  Run({[&] {
         dlg.StartWorker([&] {
           while (!dlg.Closing()) {
             dlg.Log("frame " + std::to_string(written.load()));
             ++written;
             std::this_thread::sleep_for(std::chrono::milliseconds(1));
           }
         });
         return true;
       },
       [&] { return written > 20; }, Close(), answer(IDNO),
       [&] {
         if (FindBox(Main())) return false;  // the question still closing
         keptOpen = ::IsWindowVisible(Main()) && !dlg.Closing() && dlg.WorkerRunning();
         writtenAtNo = written;
         return true;
       },
       [&] { return written > writtenAtNo + 20; }, Close(), answer(IDYES)});
  EXPECT_TRUE(keptOpen) << "No closed the window or stopped the worker";
  ASSERT_EQ(boxes.size(), 2u);
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].caption, SolvaneStrings().appName);
    EXPECT_EQ(boxes[i].text,
              "A firmware update is running. Closing now leaves the device without a complete "
              "firmware. Close anyway?");
    EXPECT_EQ(boxes[i].icon, ::LoadIconA(nullptr, IDI_WARNING));
    EXPECT_EQ(focused[i], IDNO);
    EXPECT_TRUE(yesAndNoOnly[i]);
  }
  EXPECT_TRUE(dlg.Closing());
  EXPECT_FALSE(dlg.WorkerRunning());
  EXPECT_EQ(ws.Window(), nullptr);
}

// The extent of a control's text in the control's own font, as it draws it.
SIZE TextExtentIn(HWND control) {
  const std::string text = Text(control);
  const HDC dc = ::GetDC(control);
  const HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  TEXTMETRICA metrics{};
  ::GetTextMetricsA(dc, &metrics);
  size.cy = metrics.tmHeight;
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return size;
}

RECT RectInDialog(HWND dialog, HWND control) {
  RECT rect{};
  ::GetWindowRect(control, &rect);
  ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The captions are set in the 19-pixel bold italic face, wider than the boxes the
// template drew for the dialog font: each shows its text whole, the colon of
// "Interface:" included, and stays clear of the control beside it.
TEST_F(Win32WindowTest, CaptionsShowTheirTextWholeInTheirFont) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  Run({[this] {
         const struct {
           int caption, beside;
         } rows[] = {{IDC_INTERFACE_LABEL, IDC_INTERFACE},
                     {IDC_DOWNLOAD_LABEL, IDC_FILENAME},
                     {IDC_PROGRESS_LABEL, IDC_PROGRESS}};
         for (const auto& row : rows) {
           const HWND caption = Item(row.caption);
           SCOPED_TRACE(Text(caption));
           const SIZE text = TextExtentIn(caption);
           RECT client{};
           ::GetClientRect(caption, &client);
           EXPECT_LE(text.cx, client.right);
           EXPECT_LE(text.cy, client.bottom);
           EXPECT_LT(RectInDialog(Main(), caption).right,
                     RectInDialog(Main(), Item(row.beside)).left);
         }
         // Grown by as little as it needed: no wider than its text and a letter's lean.
         RECT interfaceRect{};
         ::GetClientRect(Item(IDC_INTERFACE_LABEL), &interfaceRect);
         RECT templateRect{18, 14, 47, 13};
         ::MapDialogRect(Main(), &templateRect);
         EXPECT_LE(interfaceRect.right,
                   std::max(templateRect.right, TextExtentIn(Item(IDC_INTERFACE_LABEL)).cx + 8));
         SaveScreenshot(Main(), "win32-main");
         return true;
       },
       Close()});
}

// Every log line the dialog tells its listeners, as logged.
class CLineRecorder : public IUpdateListener {
 public:
  void OnLogLine(const std::string& text, LogKind) override { lines.push_back(text); }
  void OnOutcome(const Outcome& outcome) override { outcomes.push_back(outcome); }
  std::vector<std::string> lines;
  std::vector<Outcome> outcomes;
};

std::vector<std::string> LogListLines(HWND log, int from) {
  std::vector<std::string> lines;
  const int count = int(::SendMessageA(log, LB_GETCOUNT, 0, 0));
  for (int i = from; i < count; ++i) {
    std::string line(std::size_t(::SendMessageA(log, LB_GETTEXTLEN, WPARAM(i), 0)) + 1, '\0');
    line.resize(std::size_t(::SendMessageA(log, LB_GETTEXT, WPARAM(i), LPARAM(line.data()))));
    lines.push_back(line);
  }
  return lines;
}

// The device's replies end in a CR, and the log keeps them as they came: the list
// box shows the line without a box glyph for it.
TEST_F(Win32WindowTest, ARepliesLineEndIsKeptInTheLogButNotDrawn) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  CLineRecorder recorder;
  const std::vector<std::string> logged{"OK\r", "IAP#ERR 0x8400\r\n", "12 Rd"};
  std::vector<std::string> shown;
  Run({[&] {
         dlg.AddListener(recorder);
         for (const std::string& line : logged) dlg.Log(line);
         dlg.RemoveListener(recorder);
         shown = LogListLines(Item(IDC_LOG), 0);
         SaveScreenshot(Main(), "win32-reply-cr");
         return true;
       },
       Close()});
  EXPECT_EQ(recorder.lines, logged) << "the dialog's lines stay as logged";
  EXPECT_EQ(shown, (std::vector<std::string>{"OK", "IAP#ERR 0x8400", "12 Rd"}));
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A drop from Explorer as the shell hands it over: the file names, each ended by
// a zero, and one more zero, after a DROPFILES header, in movable global memory
// that the receiver frees with DragFinish.
HDROP MakeDrop(const std::vector<std::string>& files) {
  std::string names;
  for (const std::string& file : files) names += file + '\0';
  names += '\0';
  const HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + names.size());
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->pt = POINT{200, 400};
  drop->fNC = FALSE;
  drop->fWide = FALSE;
  std::copy(names.begin(), names.end(), reinterpret_cast<char*>(drop + 1));
  ::GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

class Win32DropTest : public Win32WindowTest {
 protected:
  void SetUp() override {
    const std::string examples = IAP_EXAMPLES_DIR "/solvane/";
    firmware = dir.File("firmware.mppt");
    std::ofstream(firmware, std::ios::binary) << ReadWhole(examples + "firmware.mppt");
    config = ReadWhole(examples + "MpptConfigFile.ini");
    ASSERT_FALSE(config.empty()) << "the example configuration is readable";
  }
  bool AcceptsFiles() const { return ::GetWindowLongA(Main(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES; }
  int LogCount() const { return int(::SendMessageA(Item(IDC_LOG), LB_GETCOUNT, 0, 0)); }

  std::string firmware, config;
};

// Dropped on the window, the firmware goes the way of a file chosen with File: the
// lines of a good build, the path shown, tmp.bin written, Update Firmware let go.
// A drop of two files is ignored.
TEST_F(Win32DropTest, AFirmwareFileDroppedOnTheWindowIsTakenAsFileTakesIt) {
  dir.Write("MpptConfigFile.ini", config);
  CLineRecorder recorder;
  bool accepted = false, updateBefore = true;
  int countAfterTwo = -1, countBeforeTwo = -2;
  std::vector<std::string> shown;
  Run({[&] {
         accepted = AcceptsFiles();
         updateBefore = ::IsWindowEnabled(Item(IDC_UPDATE));
         dlg.AddListener(recorder);
         countBeforeTwo = LogCount();
         ::PostMessageA(Main(), WM_DROPFILES, WPARAM(MakeDrop({firmware, firmware})), 0);
         return true;
       },
       [&] {
         countAfterTwo = LogCount();
         ::PostMessageA(Main(), WM_DROPFILES, WPARAM(MakeDrop({firmware})), 0);
         return true;
       },
       [&] {
         if (recorder.outcomes.empty()) return false;
         dlg.RemoveListener(recorder);
         shown = LogListLines(Item(IDC_LOG), countAfterTwo);
         EXPECT_TRUE(::IsWindowEnabled(Item(IDC_UPDATE)));
         EXPECT_EQ(Text(Item(IDC_FILENAME)), firmware);
         SaveScreenshot(Main(), "win32-dropped");
         return true;
       },
       Close()});
  EXPECT_TRUE(accepted) << "the window takes files while File is enabled";
  EXPECT_FALSE(updateBefore);
  EXPECT_EQ(countAfterTwo, countBeforeTwo) << "two files at once are not taken";
  EXPECT_EQ(shown, (std::vector<std::string>{kSeparator, "The UPS firmware file name is", firmware,
                                             "Build S19 block list OK", "Build Raw block list OK",
                                             "Write to tmp.txt file OK", "Write to tmp.bin file OK",
                                             kSeparator}));
  EXPECT_EQ(recorder.lines, shown);
  ASSERT_EQ(recorder.outcomes.size(), 1u);
  EXPECT_EQ(recorder.outcomes[0].stage, Stage::kFile);
  EXPECT_EQ(recorder.outcomes[0].result, Result::kDone);
  EXPECT_FALSE(ReadWhole(dir.File("tmp.bin")).empty());
  EXPECT_TRUE(boxes.empty());
}

// Without a configuration File is disabled: the window takes no files, and a drop
// that comes anyway builds nothing.
TEST_F(Win32DropTest, ADropIsIgnoredWhileFileIsDisabled) {
  bool accepted = true;
  int before = -1, after = -2;
  Run({AnswerBox(),
       [&] {
         if (::IsWindowEnabled(Item(IDC_FILE))) return false;
         accepted = AcceptsFiles();
         before = LogCount();
         ::PostMessageA(Main(), WM_DROPFILES, WPARAM(MakeDrop({firmware})), 0);
         return true;
       },
       [&] {
         after = LogCount();
         return true;
       },
       Close()});
  EXPECT_FALSE(accepted);
  EXPECT_EQ(after, before);
  EXPECT_TRUE(ReadWhole(dir.File("tmp.bin")).empty());
  ASSERT_EQ(boxes.size(), 1u) << "only the missing configuration's box";
}

// The images of an icon file by their width, as the resource compiler stores them.
std::map<int, std::string> IcoImages(const std::string& bytes) {
  std::map<int, std::string> images;
  if (bytes.size() < 6) return images;
  const auto u16 = [&](std::size_t at) {
    return unsigned(static_cast<unsigned char>(bytes[at])) |
           unsigned(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  const auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
  for (unsigned i = 0; i < u16(4) && 6 + 16 * (i + 1) <= bytes.size(); ++i) {
    const std::size_t entry = 6 + 16 * i;
    const int width =
        static_cast<unsigned char>(bytes[entry]) ? static_cast<unsigned char>(bytes[entry]) : 256;
    images[width] = bytes.substr(u32(entry + 12), u32(entry + 8));
  }
  return images;
}

// The images of a program's icon resource (IDR_MAINFRAME) by their width.
std::map<int, std::string> ResourceIconImages(HMODULE module) {
  std::map<int, std::string> images;
  const auto bytesOf = [module](LPCSTR name, LPCSTR type) {
    const HRSRC found = ::FindResourceA(module, name, type);
    const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
    if (!loaded) return std::string();
    return std::string(static_cast<const char*>(::LockResource(loaded)),
                       ::SizeofResource(module, found));
  };
  const std::string group =
      bytesOf(MAKEINTRESOURCEA(IDR_MAINFRAME), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  for (std::size_t at = 6; at + 14 <= group.size(); at += 14) {
    const int width =
        static_cast<unsigned char>(group[at]) ? static_cast<unsigned char>(group[at]) : 256;
    const unsigned id = unsigned(static_cast<unsigned char>(group[at + 12])) |
                        unsigned(static_cast<unsigned char>(group[at + 13])) << 8;
    images[width] = bytesOf(MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
  }
  return images;
}

// Two programs, two icons: solvane.exe and castrel.exe each carry the images of
// their own icon file, and they are not the same; the window shows the icon of
// the program it runs in, big and small.
TEST(Win32IconTest, EachProgramCarriesItsOwnIcon) {
  std::map<std::string, std::map<int, std::string>> carried;
  for (const char* variant : {"solvane", "castrel"}) {
    SCOPED_TRACE(variant);
    const std::string program = std::string(IAP_WIN32_PROGRAM_DIR "/") + variant + ".exe";
    const HMODULE module = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << program;
    carried[variant] = ResourceIconImages(module);
    ::FreeLibrary(module);
    const auto file = IcoImages(ReadWhole(std::string(IAP_WIN32_ICON_DIR "/") + variant + ".ico"));
    ASSERT_EQ(file.size(), 5u) << "16, 24, 32, 48 and 256 pixels";
    EXPECT_EQ(carried[variant], file);
  }
  for (const int width : {16, 24, 32, 48, 256}) {
    EXPECT_NE(carried["solvane"][width], carried["castrel"][width]) << width;
  }
  // This test program carries solvane's resources.
  EXPECT_EQ(ResourceIconImages(::GetModuleHandleA(nullptr)), carried["solvane"]);
}

TEST_F(Win32WindowTest, TheWindowShowsItsProgramsIconBigAndSmall) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  LRESULT big = 0, small = 0;
  Run({[&] {
         big = ::SendMessageA(Main(), WM_GETICON, ICON_BIG, 0);
         small = ::SendMessageA(Main(), WM_GETICON, ICON_SMALL, 0);
         return true;
       },
       Close()});
  EXPECT_EQ(big, reinterpret_cast<LRESULT>(ws.Icon()));
  EXPECT_EQ(small, reinterpret_cast<LRESULT>(ws.SmallIcon()));
  ICONINFO info{};
  ASSERT_TRUE(::GetIconInfo(ws.SmallIcon(), &info));
  BITMAP bitmap{};
  ::GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  EXPECT_EQ(bitmap.bmWidth, ::GetSystemMetrics(SM_CXSMICON)) << "the icon's own small image";
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
}

}  // namespace
