#include "ui/win32/Win32WindowSystem.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <thread>

#include "app/UpdaterDlg.h"
#include "ui/LogLineShown.h"
#include "ui/win32/Resource.h"

static_assert(IDC_MAIN_LOG == IDC_LOG && IDC_MAIN_GROUP == IDC_GROUP &&
                  IDC_MAIN_INTERFACE == IDC_INTERFACE && IDC_MAIN_FILE == IDC_FILE &&
                  IDC_MAIN_UPDATE == IDC_UPDATE && IDC_MAIN_PROGRESS == IDC_PROGRESS &&
                  IDC_MAIN_PROGRESS_LABEL == IDC_PROGRESS_LABEL && IDC_MAIN_CANCEL == IDC_CANCEL &&
                  IDC_MAIN_INTERFACE_LABEL == IDC_INTERFACE_LABEL &&
                  IDC_MAIN_DOWNLOAD_LABEL == IDC_DOWNLOAD_LABEL &&
                  IDC_MAIN_FILENAME == IDC_FILENAME && IDC_MAIN_PERCENT == IDC_PERCENT &&
                  IDOK == IDC_EXIT,
              "the resource script and the dialog logic name the same controls");

// The wake-up of the call queue runs on the worker's thread. It posts the drain
// message to the dialog; the lock keeps it from posting to a window that is gone
// (a handle can be reused by another window once this one is destroyed).
struct CWin32WindowSystem::WakeTarget {
  std::mutex mutex;
  HWND hwnd = nullptr;

  void Post() {
    std::lock_guard<std::mutex> lock(mutex);
    if (hwnd) ::PostMessageA(hwnd, kDrainMessage, 0, 0);
  }
  void Set(HWND target) {
    std::lock_guard<std::mutex> lock(mutex);
    hwnd = target;
  }
};

namespace {
std::string WindowText(HWND hwnd) {
  if (!hwnd) return {};
  std::string text(static_cast<std::size_t>(::GetWindowTextLengthA(hwnd)) + 1, '\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextA(hwnd, text.data(), int(text.size()))));
  return text;
}

std::string ClassName(HWND hwnd) {
  char name[32] = {};
  ::GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// The width and height text takes in control's font, the last glyph's overhang
// (an italic letter leans out past its advance) included.
SIZE TextExtent(HWND control, const std::string& text) {
  SIZE size{};
  const HDC dc = ::GetDC(control);
  if (!dc) return size;
  const auto font = reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0));
  const HGDIOBJ previous = font ? ::SelectObject(dc, font) : nullptr;
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  TEXTMETRICA metrics{};
  if (::GetTextMetricsA(dc, &metrics)) size.cy = std::max(size.cy, metrics.tmHeight);
  ABC abc{};
  const auto last = static_cast<unsigned char>(text.empty() ? ' ' : text.back());
  if (::GetCharABCWidthsA(dc, last, last, &abc) && abc.abcC < 0) size.cx -= abc.abcC;
  if (previous) ::SelectObject(dc, previous);
  ::ReleaseDC(control, dc);
  return size;
}

bool SameFont(const FontSpec& a, const FontSpec& b) {
  return a.face == b.face && a.cellHeight == b.cellHeight && a.weight == b.weight &&
         a.italic == b.italic;
}

struct AboutTexts {
  const std::string& caption;
  const std::string& line1;
  const std::string& line2;
};

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const auto* texts = reinterpret_cast<const AboutTexts*>(lParam);
    ::SetWindowTextA(hwnd, texts->caption.c_str());
    ::SetDlgItemTextA(hwnd, IDC_ABOUT_LINE1, texts->line1.c_str());
    ::SetDlgItemTextA(hwnd, IDC_ABOUT_LINE2, texts->line2.c_str());
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

// The service journal's window (template 103) and what it shows.
struct JournalView {
  const std::string& path;
  const std::vector<JournalRow>& rows;
  const std::string& error;
  SIZE least{};  // the window's size from its template: it is never made smaller
};

const char* const kJournalColumns[] = {"Time (UTC)", "Device", "Firmware", "Result"};

int DialogUnitsX(HWND dialog, int du) {
  RECT rect{0, 0, du, 0};
  ::MapDialogRect(dialog, &rect);
  return rect.right;
}

int DialogUnitsY(HWND dialog, int du) {
  RECT rect{0, 0, 0, du};
  ::MapDialogRect(dialog, &rect);
  return rect.bottom;
}

// The path on top, the reason beneath it while there is one (as many lines as it
// takes at the window's width), the list filling the rest, Close at the bottom right.
void LayOutJournal(HWND dialog) {
  RECT client{};
  ::GetClientRect(dialog, &client);
  const int margin = DialogUnitsX(dialog, 7);
  const int top = DialogUnitsY(dialog, 7);
  const int line = DialogUnitsY(dialog, 10);
  const int gap = DialogUnitsY(dialog, 4);
  const int width = std::max(1, int(client.right) - 2 * margin);
  const SIZE button{DialogUnitsX(dialog, 50), DialogUnitsY(dialog, 14)};
  const HWND path = ::GetDlgItem(dialog, IDC_JOURNAL_PATH);
  const HWND problem = ::GetDlgItem(dialog, IDC_JOURNAL_PROBLEM);
  const HWND list = ::GetDlgItem(dialog, IDC_JOURNAL_LIST);
  const HWND close = ::GetDlgItem(dialog, IDOK);
  ::MoveWindow(path, margin, top, width, line, TRUE);
  int y = top + line + gap;
  // Its own visibility: the window itself is not shown yet when it is first laid out.
  if (::GetWindowLongA(problem, GWL_STYLE) & WS_VISIBLE) {
    RECT text{0, 0, width, 0};
    const std::string why = WindowText(problem);
    const HDC dc = ::GetDC(problem);
    const HGDIOBJ previous =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(problem, WM_GETFONT, 0, 0)));
    ::DrawTextA(dc, why.c_str(), int(why.size()), &text,
                DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    ::SelectObject(dc, previous);
    ::ReleaseDC(problem, dc);
    const int height = std::max(line, int(text.bottom));
    ::MoveWindow(problem, margin, y, width, height, TRUE);
    y += height + gap;
  }
  const int buttonTop = int(client.bottom) - top - int(button.cy);
  ::MoveWindow(list, margin, y, width, std::max(1, buttonTop - gap - y), TRUE);
  ::MoveWindow(close, int(client.right) - margin - int(button.cx), buttonTop, int(button.cx),
               int(button.cy), TRUE);
}

// Every column as wide as its widest text, its heading included.
int FitJournalColumns(HWND list) {
  int total = 0;
  for (int column = 0; column < int(std::size(kJournalColumns)); ++column) {
    ::SendMessageA(list, LVM_SETCOLUMNWIDTH, WPARAM(column), LVSCW_AUTOSIZE);
    const int content = int(::SendMessageA(list, LVM_GETCOLUMNWIDTH, WPARAM(column), 0));
    // The heading's padding and divider, as the header control draws them.
    const int heading = int(::SendMessageA(list, LVM_GETSTRINGWIDTHA, 0,
                                           reinterpret_cast<LPARAM>(kJournalColumns[column]))) +
                        ::GetSystemMetrics(SM_CXEDGE) * 6;
    const int width = std::max(content, heading);
    ::SendMessageA(list, LVM_SETCOLUMNWIDTH, WPARAM(column), MAKELPARAM(width, 0));
    total += width;
  }
  return total;
}

// Widens the window until the path and every column are in view, and centres it
// on the main window; both within the screen's work area.
void FitJournalWindow(HWND dialog, int columns) {
  const HWND list = ::GetDlgItem(dialog, IDC_JOURNAL_LIST);
  const HWND path = ::GetDlgItem(dialog, IDC_JOURNAL_PATH);
  RECT listWindow{}, listClient{};
  ::GetWindowRect(list, &listWindow);
  ::GetClientRect(list, &listClient);
  const int listWidth = int(listWindow.right - listWindow.left);
  const int wantList =
      columns + listWidth - int(listClient.right) + ::GetSystemMetrics(SM_CXVSCROLL);
  const LRESULT margins = ::SendMessageA(path, EM_GETMARGINS, 0, 0);
  const int wantPath =
      int(TextExtent(path, WindowText(path)).cx) + LOWORD(margins) + HIWORD(margins) + 4;
  const int grow = std::max({0, wantList - listWidth, wantPath - listWidth});
  RECT window{};
  ::GetWindowRect(dialog, &window);
  const HWND owner = ::GetWindow(dialog, GW_OWNER);
  RECT centre = window;
  if (owner) ::GetWindowRect(owner, &centre);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoA(::MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTONEAREST),
                    &monitor);
  const RECT room = monitor.rcWork;
  const int width = std::min(int(window.right - window.left) + grow, int(room.right - room.left));
  const int height = std::min(int(window.bottom - window.top), int(room.bottom - room.top));
  const auto place = [](int middle, int size, int low, int high) {
    return std::max(low, std::min(middle - size / 2, high - size));
  };
  ::SetWindowPos(
      dialog, nullptr,
      place(int(centre.left + centre.right) / 2, width, int(room.left), int(room.right)),
      place(int(centre.top + centre.bottom) / 2, height, int(room.top), int(room.bottom)), width,
      height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void FillJournal(HWND dialog, const JournalView& view) {
  ::SetDlgItemTextA(dialog, IDC_JOURNAL_PATH, view.path.c_str());
  // The path starts where the reason and the list start.
  ::SendDlgItemMessageA(dialog, IDC_JOURNAL_PATH, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
  ::SetDlgItemTextA(dialog, IDC_JOURNAL_PROBLEM, view.error.c_str());
  ::ShowWindow(::GetDlgItem(dialog, IDC_JOURNAL_PROBLEM), view.error.empty() ? SW_HIDE : SW_SHOW);
  const HWND list = ::GetDlgItem(dialog, IDC_JOURNAL_LIST);
  ::SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP,
                 LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  for (int column = 0; column < int(std::size(kJournalColumns)); ++column) {
    LVCOLUMNA heading{};
    heading.mask = LVCF_TEXT | LVCF_FMT | LVCF_SUBITEM;
    heading.fmt = LVCFMT_LEFT;
    heading.pszText = const_cast<char*>(kJournalColumns[column]);
    heading.iSubItem = column;
    ::SendMessageA(list, LVM_INSERTCOLUMNA, WPARAM(column), reinterpret_cast<LPARAM>(&heading));
  }
  ::SendMessageA(list, LVM_SETITEMCOUNT, WPARAM(view.rows.size()), 0);
  int index = 0;
  for (const JournalRow& row : view.rows) {
    const std::string* texts[] = {&row.time, &row.device, &row.firmware, &row.result};
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = const_cast<char*>(texts[0]->c_str());
    index = int(::SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    if (index < 0) break;
    for (int column = 1; column < int(std::size(texts)); ++column) {
      LVITEMA cell{};
      cell.iSubItem = column;
      cell.pszText = const_cast<char*>(texts[column]->c_str());
      ::SendMessageA(list, LVM_SETITEMTEXTA, WPARAM(index), reinterpret_cast<LPARAM>(&cell));
    }
    ++index;
  }
  FitJournalWindow(dialog, FitJournalColumns(list));
}

INT_PTR CALLBACK JournalProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* view = reinterpret_cast<JournalView*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      view = reinterpret_cast<JournalView*>(lParam);
      ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      RECT window{};
      ::GetWindowRect(hwnd, &window);
      view->least = SIZE{window.right - window.left, window.bottom - window.top};
      FillJournal(hwnd, *view);
      LayOutJournal(hwnd);
      // The list has the keyboard (arrows and page keys scroll it); Enter and
      // Escape close the window.
      ::SetFocus(::GetDlgItem(hwnd, IDC_JOURNAL_LIST));
      return FALSE;
    }
    case WM_SIZE:
      if (view) LayOutJournal(hwnd);
      return TRUE;
    case WM_GETMINMAXINFO:
      if (!view) return FALSE;
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{view->least.cx, view->least.cy};
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
}  // namespace

CWin32WindowSystem::CWin32WindowSystem(HINSTANCE instance)
    : m_instance(instance), m_wake(std::make_shared<WakeTarget>()) {
  m_icon = ::LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));
  // The title bar's small icon from the icon's own small image, not the large one
  // shrunk.
  m_smallIcon = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  UiCalls().SetUiThread(std::this_thread::get_id());
  UiCalls().SetWakeUp([wake = m_wake] { wake->Post(); });
}

CWin32WindowSystem::~CWin32WindowSystem() {
  m_wake->Set(nullptr);
  UiCalls().SetWakeUp(nullptr);
  // Nobody serves window calls from here on: release any worker still waiting.
  UiCalls().Shutdown();
  for (auto& font : m_fonts) ::DeleteObject(font.second);
  if (m_smallIcon) ::DestroyIcon(m_smallIcon);
}

void CWin32WindowSystem::RunModal(CUpdaterDlg& dlg) {
  m_dlg = &dlg;
  ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, &DialogProc,
                    reinterpret_cast<LPARAM>(this));
  m_hwnd = nullptr;
  m_toolTips = nullptr;  // destroyed with the dialog that owned it
  m_tipIds.clear();
}

INT_PTR CALLBACK CWin32WindowSystem::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CWin32WindowSystem*>(lParam);
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->m_hwnd = hwnd;
    self->m_wake->Set(hwnd);
    const BOOL result = self->m_dlg->OnInitDialog() ? TRUE : FALSE;
    // Files dropped from Explorer are taken while File is enabled (Enable follows it).
    ::DragAcceptFiles(hwnd, ::IsWindowEnabled(::GetDlgItem(hwnd, IDC_FILE)));
    return result;
  }
  auto* self = reinterpret_cast<CWin32WindowSystem*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CWin32WindowSystem::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kDrainMessage:
      UiCalls().Drain();
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wParam)) {
        case IDOK:      // Exit, the default button, and Enter
        case IDCANCEL:  // the close box and Escape
          Close(LOWORD(wParam));
          return TRUE;
        case IDC_FILE:
          m_dlg->OnFileButton();
          return TRUE;
        case IDC_UPDATE:
          m_dlg->OnUpdateFirmware();
          return TRUE;
        case IDC_CANCEL:
          m_dlg->OnCancelUpdate();
          return TRUE;
        default:
          return FALSE;
      }
    case WM_SYSCOMMAND:
      // Move, close, ...: the default.
      if ((wParam & 0xFFF0u) != IDM_ABOUTBOX && (wParam & 0xFFF0u) != IDM_JOURNAL) return FALSE;
      m_dlg->OnSysCommand(unsigned(wParam), long(lParam));
      return TRUE;
    case WM_PAINT: {
      if (!::IsIconic(m_hwnd)) return FALSE;  // the dialog paints itself
      PAINTSTRUCT ps;
      m_paintDc = ::BeginPaint(m_hwnd, &ps);
      ::SendMessageA(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(m_paintDc), 0);
      m_dlg->OnPaint();
      ::EndPaint(m_hwnd, &ps);
      m_paintDc = nullptr;
      return TRUE;
    }
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_icon);
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

// The dialog ends, unless the technician keeps a running transfer going when
// asked: a running worker is released from any window call it waits on, gives up
// at its next step and is joined before the window goes away, so it never touches
// a destroyed dialog.
void CWin32WindowSystem::Close(int result) {
  if (!m_dlg->QueryClose()) return;
  m_dlg->Shutdown();
  m_wake->Set(nullptr);
  ::EndDialog(m_hwnd, result);
}

// A firmware file dropped from Explorer: File's work with that path, as if it had
// been chosen in File's dialog. One file at a time; a drop of several is ignored,
// as is any drop while File is disabled.
void CWin32WindowSystem::OnDropFiles(HDROP drop) {
  std::string path;
  if (::DragQueryFileA(drop, 0xFFFFFFFFu, nullptr, 0) == 1) {
    const UINT length = ::DragQueryFileA(drop, 0, nullptr, 0);
    path.resize(length + 1);
    path.resize(::DragQueryFileA(drop, 0, path.data(), length + 1));
  }
  ::DragFinish(drop);
  if (!path.empty()) m_dlg->OnFileChosen(path);
}

// The template drew its captions for the 8-point dialog font; the dialog sets them
// in a 19-pixel bold italic face, which the fonts standing in for Arial (under wine
// in particular) make wider than the box: "Interface:" would lose its colon. A
// caption without a frame grows to the right, by as little as its text needs, and
// down to the font's height; it never shrinks below the template's box.
void CWin32WindowSystem::FitStatic(int id) {
  const HWND item = Item(id);
  if (!item || ClassName(item) != "Static") return;
  const LONG style = ::GetWindowLongA(item, GWL_STYLE);
  if ((style & SS_TYPEMASK) != SS_LEFT || (style & SS_SUNKEN)) return;
  RECT rect{};
  ::GetWindowRect(item, &rect);
  const SIZE now{rect.right - rect.left, rect.bottom - rect.top};
  const SIZE box = m_templateSizes.emplace(id, now).first->second;
  const SIZE text = TextExtent(item, WindowText(item));
  const SIZE want{std::max(box.cx, text.cx), std::max(box.cy, text.cy)};
  if (want.cx == now.cx && want.cy == now.cy) return;
  ::SetWindowPos(item, nullptr, 0, 0, want.cx, want.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ::InvalidateRect(item, nullptr, TRUE);
}

void CWin32WindowSystem::SetText(int id, const std::string& text) {
  ::SetWindowTextA(Item(id), text.c_str());
  FitStatic(id);
}

std::string CWin32WindowSystem::GetText(int id) const {
  if (id != IDC_LOG) return WindowText(Item(id));
  // The log's text is its selected line.
  const LRESULT sel = ::SendMessageA(Item(id), LB_GETCURSEL, 0, 0);
  if (sel == LB_ERR) return {};
  const LRESULT length = ::SendMessageA(Item(id), LB_GETTEXTLEN, WPARAM(sel), 0);
  if (length == LB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  ::SendMessageA(Item(id), LB_GETTEXT, WPARAM(sel), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void CWin32WindowSystem::Enable(int id, bool enabled) {
  ::EnableWindow(Item(id), enabled);
  if (id == IDC_FILE && m_hwnd) ::DragAcceptFiles(m_hwnd, enabled);
}

bool CWin32WindowSystem::IsEnabled(int id) const {
  const HWND item = Item(id);
  return item && ::IsWindowEnabled(item);
}

void CWin32WindowSystem::SetFont(int id, const FontSpec& font) {
  auto it = std::find_if(m_fonts.begin(), m_fonts.end(),
                         [&](const auto& made) { return SameFont(made.first, font); });
  if (it == m_fonts.end()) {
    // A positive height asks for the cell height; swiss family, default charset
    // and precisions, no underline or strike-out.
    const HFONT made =
        ::CreateFontA(font.cellHeight, 0, 0, 0, font.weight, font.italic, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, font.face.c_str());
    if (!made) return;
    it = m_fonts.insert(m_fonts.end(), {font, made});
  }
  ::SendMessageA(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(it->second), TRUE);
  FitStatic(id);
}

void CWin32WindowSystem::SetProgressPos(int pos) {
  ::SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, WPARAM(std::clamp(pos, 0, 100)), 0);
}

// One tooltip control serves every tip of the dialog. It follows the pointer over
// each control it knows by subclassing it (a static takes the mouse because its
// template gives it SS_NOTIFY), shows the text as it is ("&" included), breaks
// lines at "\n" and at its greatest width, and stays long enough to be read.
void CWin32WindowSystem::SetToolTip(int id, const std::string& text) {
  const HWND control = Item(id);
  if (!control) return;
  if (!m_toolTips && !text.empty()) {
    INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&classes);
    m_toolTips =
        ::CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                          WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, m_hwnd, nullptr, m_instance, nullptr);
    if (!m_toolTips) return;
    ::SendMessageA(m_toolTips, TTM_SETMAXTIPWIDTH, 0, DialogUnitsX(m_hwnd, 300));
    ::SendMessageA(m_toolTips, TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(30000, 0));
  }
  if (!m_toolTips) return;
  std::string shown = text;
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = m_hwnd;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.hinst = m_instance;
  tool.lpszText = shown.data();
  const bool known = m_tipIds.count(id) != 0;
  if (text.empty()) {
    if (known) ::SendMessageA(m_toolTips, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    m_tipIds.erase(id);
  } else if (known) {
    ::SendMessageA(m_toolTips, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
  } else if (::SendMessageA(m_toolTips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool))) {
    m_tipIds.insert(id);
  }
}

void CWin32WindowSystem::ComboInsert(int index, const std::string& text) {
  ::SendMessageA(Item(IDC_INTERFACE), CB_INSERTSTRING, WPARAM(index),
                 reinterpret_cast<LPARAM>(text.c_str()));
}

void CWin32WindowSystem::ComboSelect(int index) {
  ::SendMessageA(Item(IDC_INTERFACE), CB_SETCURSEL, WPARAM(index), 0);
}

std::string CWin32WindowSystem::ComboSelectedText() const {
  const HWND combo = Item(IDC_INTERFACE);
  const LRESULT sel = ::SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (sel == CB_ERR) return {};
  const LRESULT length = ::SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(sel), 0);
  if (length == CB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  ::SendMessageA(combo, CB_GETLBTEXT, WPARAM(sel), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The list shows each line without the control characters that end it (the CR
// of a device's reply, which the list box would draw as a box); the log's own
// lines keep them.
void CWin32WindowSystem::LogInserted(int index, const std::string& text) {
  const std::string shown = LogLineShown(text);
  ::SendMessageA(Item(IDC_LOG), LB_INSERTSTRING, WPARAM(index),
                 reinterpret_cast<LPARAM>(shown.c_str()));
}

void CWin32WindowSystem::LogSelect(int index) {
  ::SendMessageA(Item(IDC_LOG), LB_SETCURSEL, WPARAM(index), 0);
}

void CWin32WindowSystem::LogSetHorizontalExtent(int pixels) {
  ::SendMessageA(Item(IDC_LOG), LB_SETHORIZONTALEXTENT, WPARAM(pixels), 0);
}

// The width of text, as the list shows it, in the log's own font, measured on the
// log's device context.
int CWin32WindowSystem::LogTextWidth(const std::string& logged) const {
  const std::string text = LogLineShown(logged);
  const HWND log = Item(IDC_LOG);
  const HDC dc = ::GetDC(log);
  if (!dc) return 0;
  const auto font = reinterpret_cast<HFONT>(::SendMessageA(log, WM_GETFONT, 0, 0));
  const HGDIOBJ previous = font ? ::SelectObject(dc, font) : nullptr;
  SIZE size{};
  ::GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  if (previous) ::SelectObject(dc, previous);
  ::ReleaseDC(log, dc);
  return int(size.cx);
}

void CWin32WindowSystem::SetWindowIcon() {
  ::SendMessageA(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
  ::SendMessageA(m_hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(m_smallIcon ? m_smallIcon : m_icon));
}

bool CWin32WindowSystem::AppendSystemMenuSeparator() {
  const HMENU menu = ::GetSystemMenu(m_hwnd, FALSE);
  return menu && ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
}

bool CWin32WindowSystem::AppendSystemMenuItem(unsigned commandId, const std::string& text) {
  const HMENU menu = ::GetSystemMenu(m_hwnd, FALSE);
  return menu && ::AppendMenuA(menu, MF_STRING, commandId, text.c_str());
}

bool CWin32WindowSystem::IsIconic() const { return ::IsIconic(m_hwnd) != FALSE; }

void CWin32WindowSystem::ClientSize(int& width, int& height) const {
  RECT rect{};
  ::GetClientRect(m_hwnd, &rect);
  width = rect.right - rect.left;
  height = rect.bottom - rect.top;
}

void CWin32WindowSystem::IconSize(int& width, int& height) const {
  width = ::GetSystemMetrics(SM_CXICON);
  height = ::GetSystemMetrics(SM_CYICON);
}

void CWin32WindowSystem::DrawIcon(int x, int y) {
  if (m_paintDc) ::DrawIcon(m_paintDc, x, y, m_icon);
}

namespace {
UINT IconFlags(BoxIcon icon) {
  if (icon == BoxIcon::kWarning) return MB_ICONWARNING;  // the same as MB_ICONEXCLAMATION
  if (icon == BoxIcon::kInformation) return MB_ICONINFORMATION;
  return 0;
}
}  // namespace

void CWin32WindowSystem::ShowMessageBox(const std::string& text, const std::string& caption,
                                        BoxIcon icon) {
  ::MessageBoxA(m_hwnd, text.c_str(), caption.c_str(), MB_OK | IconFlags(icon));
}

bool CWin32WindowSystem::AskYesNo(const std::string& text, const std::string& caption,
                                  BoxIcon icon) {
  const UINT flags = MB_YESNO | MB_DEFBUTTON2 | IconFlags(icon);
  return ::MessageBoxA(m_hwnd, text.c_str(), caption.c_str(), flags) == IDYES;
}

void CWin32WindowSystem::ShowAboutBox(const std::string& caption, const std::string& line1,
                                      const std::string& line2) {
  AboutTexts texts{caption, line1, line2};
  ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), m_hwnd, &AboutProc,
                    reinterpret_cast<LPARAM>(&texts));
}

void CWin32WindowSystem::ShowJournal(const std::string& path, const std::vector<JournalRow>& rows,
                                     const std::string& error) {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_LISTVIEW_CLASSES};
  ::InitCommonControlsEx(&classes);
  JournalView view{path, rows, error};
  ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_JOURNAL), m_hwnd, &JournalProc,
                    reinterpret_cast<LPARAM>(&view));
}

std::optional<std::string> CWin32WindowSystem::OpenFileDialog(const FileDialogRequest& request) {
  // "Desc|pattern|...||" with every "|" made a zero: the list the dialog takes.
  std::string filter = request.filter;
  std::replace(filter.begin(), filter.end(), '|', '\0');
  filter.push_back('\0');
  char path[MAX_PATH] = {};
  request.initialName.copy(path, MAX_PATH - 1);
  const std::string suffix = request.DefaultSuffix();
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = m_hwnd;
  ofn.hInstance = m_instance;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = path;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrDefExt = suffix.empty() ? nullptr : suffix.c_str();
  ofn.Flags = OFN_EXPLORER | (request.createPrompt ? OFN_CREATEPROMPT : 0);
  if (!::GetOpenFileNameA(&ofn)) return std::nullopt;
  return std::string(path);
}

// One waiting message, handled as the dialog's own loop would handle it.
void CWin32WindowSystem::PumpOneMessage() {
  MSG msg;
  if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
  if (msg.message == WM_QUIT) {
    ::PostQuitMessage(int(msg.wParam));  // leave it for the loop that owns it
    return;
  }
  if (m_hwnd && ::IsDialogMessageA(m_hwnd, &msg)) return;
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
}
