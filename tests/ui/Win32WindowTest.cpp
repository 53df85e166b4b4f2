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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Win32ScreenBmp.h"
#include "app/UpdateListener.h"
#include "app/UpdaterDlg.h"
#include "support/TestDir.h"
#include "ui/JournalSamples.h"
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

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Posts a drop as Explorer does: a DROPFILES header (zeroed: ANSI names), the names
// each ended by a zero and one zero more, in movable memory the receiver frees.
void PostDrop(HWND window, const std::vector<std::string>& files) {
  std::string names;
  for (const std::string& file : files) names += file + '\0';
  names += '\0';
  const HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + names.size());
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  std::copy(names.begin(), names.end(), reinterpret_cast<char*>(drop + 1));
  ::GlobalUnlock(memory);
  ::PostMessageA(window, WM_DROPFILES, WPARAM(memory), 0);
}

int LogCount(HWND log) { return int(::SendMessageA(log, LB_GETCOUNT, 0, 0)); }

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
           // A caption grows right and down for its text in its font (below).
           const bool caption = row.id == IDC_INTERFACE_LABEL || row.id == IDC_DOWNLOAD_LABEL ||
                                row.id == IDC_PROGRESS_LABEL;
           EXPECT_GE(got.right - got.left, want.right);
           if (!caption) {
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

         // The system menu ends with a separator, the About entry (string 101) and
         // the service journal's entry.
         const HMENU menu = ::GetSystemMenu(Main(), FALSE);
         const int count = ::GetMenuItemCount(menu);
         if (count < 3) {
           ADD_FAILURE() << "the system menu has " << count << " entries";
           return true;
         }
         EXPECT_EQ(::GetMenuState(menu, UINT(count - 3), MF_BYPOSITION) & MF_SEPARATOR,
                   UINT(MF_SEPARATOR));
         const auto entryText = [menu](int position) {
           char entry[64] = {};
           ::GetMenuStringA(menu, UINT(position), entry, sizeof entry, MF_BYPOSITION);
           return std::string(entry);
         };
         EXPECT_EQ(::GetMenuItemID(menu, count - 2), IDM_ABOUTBOX);
         EXPECT_EQ(entryText(count - 2), SolvaneStrings().aboutMenuEntry);
         EXPECT_EQ(::GetMenuItemID(menu, count - 1), IDM_JOURNAL);
         EXPECT_EQ(entryText(count - 1), "Service journal...");
         char resource[64] = {};
         ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, resource, sizeof resource);
         EXPECT_EQ(std::string(resource), SolvaneStrings().aboutMenuEntry);
         return true;
       },
       Close()});
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Win32WindowTest, AMissingConfigurationIsToldInABoxAndLeavesOnlyExit) {
  int before = -1;
  Run({AnswerBox(),
       [this] {
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_FILE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_INTERFACE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_UPDATE)));
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_CANCEL)));
         EXPECT_TRUE(::IsWindowEnabled(Item(IDOK)));
         return true;
       },
       [&] {  // Nor are files dropped taken: one that comes anyway builds nothing.
         EXPECT_FALSE(::GetWindowLongA(Main(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
         before = LogCount(Item(IDC_LOG));
         PostDrop(Main(), {IAP_EXAMPLES_DIR "/solvane/firmware.mppt"});
         return true;
       },
       [&] {
         EXPECT_EQ(LogCount(Item(IDC_LOG)), before);
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
            ::PostMessageA(box, WM_COMMAND, IDOK, 0);
         return true;
       },
       Close()});
  EXPECT_EQ(about.caption, SolvaneStrings().aboutCaption);
  EXPECT_NE(about.icon, nullptr);
  EXPECT_EQ(aboutRect.right, want.right);
  EXPECT_EQ(aboutRect.bottom, want.bottom);
}

std::string ListText(HWND list, int row, int column) {
  char buffer[512] = {};
  LVITEMA cell{};
  cell.iSubItem = column;
  cell.pszText = buffer;
  cell.cchTextMax = sizeof buffer;
  ::SendMessageA(list, LVM_GETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&cell));
  return buffer;
}

// The system menu's journal entry: the journal IAP_JOURNAL names, newest update
// first, every text whole in its column and every column in view; a journal that
// cannot be read still shows its path, and why, above the list.
TEST_F(Win32WindowTest, TheJournalEntryShowsThePathAndTheNewestUpdatesWhole) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  std::vector<JournalEntry> written;
  for (int n = 0; n < 3; ++n) {
    written.push_back(SampleUpdate(n));
    ASSERT_TRUE(AppendJournal(dir.File("journal.jsonl"), written.back()).ok);
  }
  ::CreateDirectoryA(dir.File("folder.jsonl").c_str(), nullptr);
  std::deque<CDialogScript::Step> steps;
  for (const bool readable : {true, false}) {
    const std::string path = dir.File(readable ? "journal.jsonl" : "folder.jsonl");
    const std::vector<JournalEntry> rows = readable ? written : std::vector<JournalEntry>{};
    steps.push_back([this, path] {
      _putenv_s("IAP_JOURNAL", path.c_str());
      ::PostMessageA(Main(), WM_SYSCOMMAND, IDM_JOURNAL, 0);
      return true;
    });
    steps.push_back([this, path, rows, readable] {
      const HWND box = FindBox(Main());
      if (!box) return false;
      SCOPED_TRACE(path);
      EXPECT_EQ(Text(box), "Service journal");
      const HWND pathField = ::GetDlgItem(box, IDC_JOURNAL_PATH);
      EXPECT_EQ(Text(pathField), path);
      EXPECT_EQ(ClassOf(pathField), "Edit") << "the path can be selected and copied";
      RECT room{};
      ::GetClientRect(pathField, &room);
      const LRESULT end = ::SendMessageA(pathField, EM_POSFROMCHAR, WPARAM(path.size() - 1), 0);
      EXPECT_LT(short(LOWORD(end)), room.right) << "the whole path in view";
      const HWND problem = ::GetDlgItem(box, IDC_JOURNAL_PROBLEM);
      EXPECT_EQ(::IsWindowVisible(problem) == FALSE, readable);
      EXPECT_EQ(Text(problem).empty(), readable);
      const HWND list = ::GetDlgItem(box, IDC_JOURNAL_LIST);
      RECT above{}, listRect{};
      ::GetWindowRect(readable ? pathField : problem, &above);
      ::GetWindowRect(list, &listRect);
      EXPECT_LE(above.bottom, listRect.top) << "the list starts below the texts";
      EXPECT_EQ(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), LRESULT(rows.size()));
      int columns = 0;
      for (int column = 0; column < 4; ++column) {
        const int width = int(::SendMessageA(list, LVM_GETCOLUMNWIDTH, WPARAM(column), 0));
        columns += width;
        for (int row = 0; row < int(rows.size()); ++row) {
          const JournalRow want = RowOf(rows[rows.size() - 1 - std::size_t(row)]);
          const std::string texts[] = {want.time, want.device, want.firmware, want.result};
          const std::string shown = ListText(list, row, column);
          EXPECT_EQ(shown, texts[column]);
          const auto text = reinterpret_cast<LPARAM>(shown.c_str());
          EXPECT_LT(::SendMessageA(list, LVM_GETSTRINGWIDTHA, 0, text), width);
        }
      }
      ::GetClientRect(list, &listRect);
      EXPECT_LE(columns, listRect.right) << "every column in view";
      SaveScreenshot(box, readable ? "win32-journal" : "win32-journal-unreadable");
      ::PostMessageA(box, WM_COMMAND, IDOK, 0);
      return true;
    });
  }
  steps.push_back(Close());
  Run(std::move(steps));
  _putenv_s("IAP_JOURNAL", "");
}

// The path's tip, as the signed comment of a verified file sets it: held by the
// tooltip control as given (several lines, "&" too), gone with empty text. The
// field takes the pointer, so the tip sees it arrive.
TEST_F(Win32WindowTest, TheFileNameTipHoldsTheTextGivenUntilEmptyTextRemovesIt) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  Run({[this] {
         const HWND field = Item(IDC_FILENAME);
         RECT rect{};
         ::GetWindowRect(field, &rect);
         const LPARAM centre =
             MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
         EXPECT_EQ(::SendMessageA(field, WM_NCHITTEST, 0, centre), HTCLIENT);
         for (const std::string text :
              {"version 2.4.1 2026-11-30", "2.4.2\nsigned & checked", ""}) {
           ws.SetToolTip(IDC_FILENAME, text);
           const HWND tips = ws.ToolTips();
           EXPECT_EQ(::SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0), text.empty() ? 0 : 1);
           char shown[1024] = {};
           TOOLINFOA tool{};
           tool.cbSize = sizeof tool;
           tool.hwnd = Main();
           tool.uId = reinterpret_cast<UINT_PTR>(field);
           tool.lpszText = shown;
           ::SendMessageA(tips, TTM_GETTEXTA, sizeof shown, reinterpret_cast<LPARAM>(&tool));
           EXPECT_EQ(std::string(shown), text);
         }
         return true;
       },
       Close()});
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

// The width of a control's text in its own font, as it draws it.
int TextWidthIn(HWND control) {
  const std::string text = Text(control);
  const HDC dc = ::GetDC(control);
  const HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return size.cx;
}

// Every log line and outcome the dialog tells its listeners.
class CLineRecorder : public IUpdateListener {
 public:
  void OnLogLine(const std::string& text, LogKind) override { lines.push_back(text); }
  void OnOutcome(const Outcome& outcome) override { outcomes.push_back(outcome); }
  std::vector<std::string> lines;
  std::vector<Outcome> outcomes;
};

std::vector<std::string> LogListLines(HWND log, int from) {
  std::vector<std::string> lines;
  for (int i = from; i < LogCount(log); ++i) {
    std::string line(std::size_t(::SendMessageA(log, LB_GETTEXTLEN, WPARAM(i), 0)) + 1, '\0');
    line.resize(std::size_t(::SendMessageA(log, LB_GETTEXT, WPARAM(i), LPARAM(line.data()))));
    lines.push_back(line);
  }
  return lines;
}

// The captions' bold italic face is wider than the template's boxes for the dialog
// font: each caption shows its text whole ("Interface:" keeps its colon), stays
// clear of the control beside it, and grows no more than it needs. A device's reply
// ends in a CR: the log's lines keep it, the list box does not draw it as a glyph.
TEST_F(Win32WindowTest, CaptionsShowTheirTextWholeAndTheLogNoLineEnds) {
  dir.Write("MpptConfigFile.ini", kGoodConfig);
  CLineRecorder recorder;
  const std::vector<std::string> logged{"OK\r", "IAP#ERR 0x8400\r\n", "12 Rd"};
  std::vector<std::string> shown;
  Run({[&] {
         const int rows[][2] = {{IDC_INTERFACE_LABEL, IDC_INTERFACE},
                                {IDC_DOWNLOAD_LABEL, IDC_FILENAME},
                                {IDC_PROGRESS_LABEL, IDC_PROGRESS}};
         for (const auto& [caption, beside] : rows) {
           SCOPED_TRACE(Text(Item(caption)));
           RECT client{}, mine{}, next{};
           ::GetClientRect(Item(caption), &client);
           EXPECT_LE(TextWidthIn(Item(caption)), client.right);
           EXPECT_LE(CellHeight(Item(caption)), client.bottom);
           ::GetWindowRect(Item(caption), &mine);
           ::GetWindowRect(Item(beside), &next);
           EXPECT_LT(mine.right, next.left);
         }
         RECT label{}, box{18, 14, 47, 13};
         ::GetClientRect(Item(IDC_INTERFACE_LABEL), &label);
         ::MapDialogRect(Main(), &box);
         EXPECT_LE(label.right, std::max<LONG>(box.right, TextWidthIn(Item(IDC_INTERFACE_LABEL)) + 8))
             << "wider than its text by a letter's lean at most";
         dlg.AddListener(recorder);
         for (const std::string& line : logged) dlg.Log(line);
         dlg.RemoveListener(recorder);
         shown = LogListLines(Item(IDC_LOG), 0);
         SaveScreenshot(Main(), "win32-main");
         return true;
       },
       Close()});
  EXPECT_EQ(recorder.lines, logged);
  EXPECT_EQ(shown, (std::vector<std::string>{"OK", "IAP#ERR 0x8400", "12 Rd"}));
}

// One firmware file dropped goes the way of a file chosen with File; a drop of two
// files is ignored (while File is disabled, none is: see the missing configuration).
TEST_F(Win32WindowTest, AFirmwareFileDroppedOnTheWindowIsTakenAsFileTakesIt) {
  const std::string firmware = dir.File("firmware.mppt");
  std::ofstream(firmware, std::ios::binary) << ReadWhole(IAP_EXAMPLES_DIR "/solvane/firmware.mppt");
  dir.Write("MpptConfigFile.ini", ReadWhole(IAP_EXAMPLES_DIR "/solvane/MpptConfigFile.ini"));
  CLineRecorder recorder;
  LONG exStyle = 0;
  int before = -1, afterTwo = -2;
  std::vector<std::string> shown;
  Run({[&] {
         exStyle = ::GetWindowLongA(Main(), GWL_EXSTYLE);
         EXPECT_FALSE(::IsWindowEnabled(Item(IDC_UPDATE)));
         dlg.AddListener(recorder);
         before = LogCount(Item(IDC_LOG));
         PostDrop(Main(), {firmware, firmware});
         return true;
       },
       [&] {
         afterTwo = LogCount(Item(IDC_LOG));
         PostDrop(Main(), {firmware});
         return true;
       },
       [&] {
         if (recorder.outcomes.empty()) return false;
         dlg.RemoveListener(recorder);
         shown = LogListLines(Item(IDC_LOG), afterTwo);
         EXPECT_TRUE(::IsWindowEnabled(Item(IDC_UPDATE)));
         EXPECT_EQ(Text(Item(IDC_FILENAME)), firmware);
         SaveScreenshot(Main(), "win32-dropped");
         return true;
       },
       Close()});
  EXPECT_TRUE(exStyle & WS_EX_ACCEPTFILES);
  EXPECT_EQ(afterTwo, before) << "two files at once are not taken";
  EXPECT_EQ(shown, (std::vector<std::string>{kSeparator, "The UPS firmware file name is", firmware,
                                             "Build S19 block list OK", "Build Raw block list OK",
                                             "Write to tmp.txt file OK", "Write to tmp.bin file OK",
                                             kSeparator}));
  ASSERT_EQ(recorder.outcomes.size(), 1u);
  EXPECT_EQ(recorder.outcomes[0].stage, Stage::kFile);
  EXPECT_EQ(recorder.outcomes[0].result, Result::kDone);
  EXPECT_FALSE(ReadWhole(dir.File("tmp.bin")).empty());
  EXPECT_TRUE(boxes.empty());
}

// Every icon image (RT_ICON) a program carries.
std::vector<std::string> IconImagesOf(const std::string& program) {
  std::vector<std::string> images;
  const HMODULE module = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ::EnumResourceNamesA(
      module, MAKEINTRESOURCEA(3),
      [](HMODULE m, LPCSTR type, LPSTR name, LONG_PTR to) -> BOOL {
        const HRSRC found = ::FindResourceA(m, name, type);
        reinterpret_cast<std::vector<std::string>*>(to)->emplace_back(
            static_cast<const char*>(::LockResource(::LoadResource(m, found))),
            ::SizeofResource(m, found));
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&images));
  if (module) ::FreeLibrary(module);
  return images;
}

// Two programs, two icons: each .exe carries the images of its own icon file, and
// none of the other's.
TEST(Win32IconTest, EachProgramCarriesItsOwnIcon) {
  const std::string variants[] = {"solvane", "castrel"};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(variants[i]);
    const std::string mine = ReadWhole(IAP_WIN32_ICON_DIR "/" + variants[i] + ".ico");
    const std::string other = ReadWhole(IAP_WIN32_ICON_DIR "/" + variants[1 - i] + ".ico");
    const auto images = IconImagesOf(IAP_WIN32_PROGRAM_DIR "/" + variants[i] + ".exe");
    EXPECT_EQ(images.size(), 5u) << "16, 24, 32, 48 and 256 pixels";
    for (const std::string& image : images) {
      EXPECT_NE(mine.find(image), std::string::npos);
      EXPECT_EQ(other.find(image), std::string::npos);
    }
  }
}

}  // namespace
