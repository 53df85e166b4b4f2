#include "ui/win32/Win32WindowSystem.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "app/UpdaterDlg.h"
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
}  // namespace

CWin32WindowSystem::CWin32WindowSystem(HINSTANCE instance)
    : m_instance(instance), m_wake(std::make_shared<WakeTarget>()) {
  m_icon = ::LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));
  UiCalls().SetUiThread(std::this_thread::get_id());
  UiCalls().SetWakeUp([wake = m_wake] { wake->Post(); });
}

CWin32WindowSystem::~CWin32WindowSystem() {
  m_wake->Set(nullptr);
  UiCalls().SetWakeUp(nullptr);
  // Nobody serves window calls from here on: release any worker still waiting.
  UiCalls().Shutdown();
  for (auto& font : m_fonts) ::DeleteObject(font.second);
}

void CWin32WindowSystem::RunModal(CUpdaterDlg& dlg) {
  m_dlg = &dlg;
  ::DialogBoxParamA(m_instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, &DialogProc,
                    reinterpret_cast<LPARAM>(this));
  m_hwnd = nullptr;
}

INT_PTR CALLBACK CWin32WindowSystem::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CWin32WindowSystem*>(lParam);
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->m_hwnd = hwnd;
    self->m_wake->Set(hwnd);
    return self->m_dlg->OnInitDialog() ? TRUE : FALSE;
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
      if ((wParam & 0xFFF0u) != IDM_ABOUTBOX) return FALSE;  // move, close, ...: the default
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

void CWin32WindowSystem::SetText(int id, const std::string& text) {
  ::SetWindowTextA(Item(id), text.c_str());
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

void CWin32WindowSystem::Enable(int id, bool enabled) { ::EnableWindow(Item(id), enabled); }

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
}

void CWin32WindowSystem::SetProgressPos(int pos) {
  ::SendMessageA(Item(IDC_PROGRESS), PBM_SETPOS, WPARAM(std::clamp(pos, 0, 100)), 0);
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

void CWin32WindowSystem::LogInserted(int index, const std::string& text) {
  ::SendMessageA(Item(IDC_LOG), LB_INSERTSTRING, WPARAM(index),
                 reinterpret_cast<LPARAM>(text.c_str()));
}

void CWin32WindowSystem::LogSelect(int index) {
  ::SendMessageA(Item(IDC_LOG), LB_SETCURSEL, WPARAM(index), 0);
}

void CWin32WindowSystem::LogSetHorizontalExtent(int pixels) {
  ::SendMessageA(Item(IDC_LOG), LB_SETHORIZONTALEXTENT, WPARAM(pixels), 0);
}

// The width of text in the log's own font, measured on the log's device context.
int CWin32WindowSystem::LogTextWidth(const std::string& text) const {
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
  ::SendMessageA(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
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
