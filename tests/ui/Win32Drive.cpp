// Drives a real solvane.exe or castrel.exe from outside, as a technician would:
// starts it, prints its caption and group box, opens the About box, picks the
// interface, answers the file dialog with the firmware, presses Update Firmware,
// answers the boxes and ends with Exit. Every box and the whole log are printed.
// The exit status is 0 only when the update ended in "Programming successfully !"
// and the program ended by itself after Exit; 3 when File was refused with a box,
// Update Firmware stayed disabled and the program ended by itself after Exit.
// After File the path field's tool tip is printed ("tip: TEXT", empty for none).
//
//   win32_drive PROGRAM.exe FIRMWARE INDEX [SHOTS-DIR]
//
// INDEX is the interface list's entry (0 USB, n COMn). With SHOTS-DIR, the screen
// is saved as main.bmp, about.bmp and transfer.bmp there.
#include <windows.h>
// after windows.h, which it builds on
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Win32ScreenBmp.h"

namespace {

constexpr int kFile = 1005, kUpdate = 1006, kLog = 1000, kGroup = 1003, kProgress = 1007,
              kFileName = 1014;
constexpr char kSeparator[] = "------------------------------------";

DWORD g_pid = 0;
HWND g_main = nullptr;
std::string g_shots;

std::string Text(HWND hwnd) {
  char buffer[1024] = {};
  ::SendMessageA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

std::string ClassOf(HWND hwnd) {
  char buffer[64] = {};
  ::GetClassNameA(hwnd, buffer, sizeof buffer);
  return buffer;
}

// The visible dialog windows of the program, the main one excepted once known.
std::vector<HWND> Dialogs() {
  std::vector<HWND> found;
  ::EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(hwnd, &pid);
        if (pid == g_pid && hwnd != g_main && ::IsWindowVisible(hwnd) &&
            ClassOf(hwnd) == "#32770") {
          reinterpret_cast<std::vector<HWND>*>(p)->push_back(hwnd);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

bool WaitFor(const std::function<bool()>& condition, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    ::Sleep(50);
  }
  return false;
}

// The log's lines, read through the wide message: wine hands list box text across
// processes as UTF-16 whatever the list box's own character set.
std::vector<std::string> LogLines() {
  const HWND log = ::GetDlgItem(g_main, kLog);
  std::vector<std::string> lines;
  const LRESULT count = ::SendMessageW(log, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t wide[1024] = {};
    if (::SendMessageW(log, LB_GETTEXTLEN, WPARAM(i), 0) >= LRESULT(1024)) continue;
    ::SendMessageW(log, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(wide));
    char text[1024] = {};
    ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    lines.push_back(text);
  }
  return lines;
}

bool LogHas(const std::string& line) {
  for (const std::string& l : LogLines()) {
    if (l == line) return true;
  }
  return false;
}

// A box's text: its longest static text.
std::string BoxText(HWND box) {
  std::string text;
  for (HWND c = ::GetWindow(box, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == "Static" && Text(c).size() > text.size()) text = Text(c);
  }
  return text;
}

void Click(int id) {
  ::PostMessageA(g_main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(g_main, id)));
}

// The whole screen as a 24-bit BMP file in the shots folder.
void Shot(const std::string& name) {
  if (g_shots.empty()) return;
  ::Sleep(300);  // let the window finish painting
  const RECT all{0, 0, ::GetSystemMetrics(SM_CXVIRTUALSCREEN),
                 ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  SaveScreenBmp(all, g_shots + "\\" + name + ".bmp");
}

// The tip the program's tool tip control keeps for the path field. The control
// lives in the other process: the question and the answer's buffer are put into
// that process's memory, as a message between processes carries no pointer's data.
std::string PathTip(HANDLE process) {
  HWND tips = nullptr;
  ::EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(hwnd, &pid);
        if (pid == g_pid && ClassOf(hwnd) == TOOLTIPS_CLASSA) *reinterpret_cast<HWND*>(p) = hwnd;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  if (!tips) return {};
  constexpr SIZE_T kText = 1024;
  char* remote = static_cast<char*>(
      ::VirtualAllocEx(process, nullptr, sizeof(TOOLINFOA) + kText, MEM_COMMIT, PAGE_READWRITE));
  if (!remote) return "(no memory in the program)";
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = g_main;
  tool.uId = reinterpret_cast<UINT_PTR>(::GetDlgItem(g_main, kFileName));
  tool.lpszText = remote + sizeof tool;
  char text[kText] = {};
  ::WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr);
  ::WriteProcessMemory(process, remote + sizeof tool, text, kText, nullptr);
  ::SendMessageA(tips, TTM_GETTEXTA, kText, reinterpret_cast<LPARAM>(remote));
  ::ReadProcessMemory(process, remote + sizeof tool, text, kText - 1, nullptr);
  ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return text;
}

// Exit, a question whether to close during an update answered Yes (and said);
// true when the program then ended, its exit code in code.
bool Exit(HANDLE process, DWORD& code) {
  Click(IDOK);
  const bool gone = WaitFor(
      [&] {
        for (HWND box : Dialogs()) {
          std::printf("box at exit: %s: %s\n", Text(box).c_str(), BoxText(box).c_str());
          ::PostMessageA(box, WM_COMMAND, IDYES, 0);
          WaitFor([box] { return !::IsWindowVisible(box); }, 10);
        }
        return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      },
      30);
  if (!gone) return false;
  ::GetExitCodeProcess(process, &code);
  std::printf("exit: %lu\n", code);
  return true;
}

int Fail(const std::string& why) {
  std::printf("FAIL: %s\n", why.c_str());
  for (const std::string& line : LogLines()) std::printf("log: %s\n", line.c_str());
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: win32_drive PROGRAM.exe FIRMWARE INDEX [SHOTS-DIR]\n");
    return 2;
  }
  const std::string program = argv[1];
  const int index = std::atoi(argv[3]);
  if (argc > 4) g_shots = argv[4];
  char cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, cwd);
  const std::string firmware = std::string(cwd) + "\\" + argv[2];
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + program + "\"";
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
    std::printf("FAIL: cannot start %s (error %lu)\n", program.c_str(), ::GetLastError());
    return 1;
  }
  g_pid = pi.dwProcessId;
  struct Ender {
    PROCESS_INFORMATION& pi;
    ~Ender() {
      if (::WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
        ::TerminateProcess(pi.hProcess, 99);
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
    }
  } ender{pi};

  // The main window: the program's first dialog, with the group box.
  if (!WaitFor(
          [] {
            for (HWND d : Dialogs()) {
              if (::GetDlgItem(d, kGroup)) g_main = d;
            }
            return g_main != nullptr;
          },
          60)) {
    return Fail("the main window did not open");
  }
  std::printf("window: %s | %s\n", Text(g_main).c_str(),
              Text(::GetDlgItem(g_main, kGroup)).c_str());
  Shot("main");

  // The About box from the system menu's entry.
  ::PostMessageA(g_main, WM_SYSCOMMAND, 0x10, 0);
  HWND about = nullptr;
  if (!WaitFor([&] { return !Dialogs().empty() && (about = Dialogs()[0]) != nullptr; }, 20)) {
    return Fail("the About box did not open");
  }
  std::printf("about: %s | %s\n", Text(about).c_str(), BoxText(about).c_str());
  Shot("about");
  ::PostMessageA(about, WM_COMMAND, IDOK, 0);
  if (!WaitFor([] { return Dialogs().empty(); }, 20)) return Fail("the About box did not close");

  // The interface, then File answered with the firmware's full path.
  ::SendMessageA(::GetDlgItem(g_main, 1004), CB_SETCURSEL, WPARAM(index), 0);
  std::printf("interface: %s\n", Text(::GetDlgItem(g_main, 1004)).c_str());
  if (!::IsWindowEnabled(::GetDlgItem(g_main, kFile))) return Fail("File is disabled");
  Click(kFile);
  HWND open = nullptr;
  if (!WaitFor([&] { return !Dialogs().empty() && (open = Dialogs()[0]) != nullptr; }, 20)) {
    return Fail("the file dialog did not open");
  }
  // The name field: a combo box (cmb13) on Windows, an edit field (edt1) in wine.
  HWND name = ::GetDlgItem(open, 0x47C);
  if (!name) name = ::GetDlgItem(open, 0x480);
  if (!name) return Fail("the file dialog has no name field");
  ::SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(firmware.c_str()));
  ::PostMessageA(open, WM_COMMAND, IDOK, 0);
  if (!WaitFor([open] { return !::IsWindowVisible(open); }, 20)) {
    return Fail("the file dialog did not close");
  }
  // The build ends with a separator after the file's name; a box of its own that
  // refuses the file is read and answered.
  bool fileBox = false;
  if (!WaitFor(
          [&] {
            for (HWND box : Dialogs()) {
              std::printf("box: %s: %s\n", Text(box).c_str(), BoxText(box).c_str());
              ::PostMessageA(box, WM_COMMAND, IDOK, 0);
              WaitFor([box] { return !::IsWindowVisible(box); }, 10);
              fileBox = true;
            }
            const std::vector<std::string> log = LogLines();
            return log.size() >= 2 && log.back() == kSeparator;
          },
          60)) {
    return Fail("the image was not built");
  }
  std::printf("tip: %s\n", PathTip(pi.hProcess).c_str());
  if (!LogHas("Write to tmp.bin file OK")) {
    for (const std::string& line : LogLines()) std::printf("log: %s\n", line.c_str());
    const bool update = ::IsWindowEnabled(::GetDlgItem(g_main, kUpdate)) != FALSE;
    std::printf("file refused, Update Firmware %s\n", update ? "enabled" : "disabled");
    DWORD code = 0;
    if (!Exit(pi.hProcess, code)) return Fail("the program did not end after Exit");
    return fileBox && !update && code == 0 ? 3 : 1;
  }
  if (!WaitFor([] { return ::IsWindowEnabled(::GetDlgItem(g_main, kUpdate)) != FALSE; }, 10)) {
    return Fail("Update Firmware stayed disabled");
  }

  // Update Firmware; every box is read and answered until the result comes.
  Click(kUpdate);
  bool shot = false, success = false;
  const bool ended = WaitFor(
      [&] {
        if (!shot && ::SendMessageA(::GetDlgItem(g_main, kProgress), PBM_GETPOS, 0, 0) >= 40) {
          Shot("transfer");
          shot = true;
        }
        for (HWND box : Dialogs()) {
          const std::string text = BoxText(box);
          std::printf("box: %s: %s\n", Text(box).c_str(), text.c_str());
          ::PostMessageA(box, WM_COMMAND, IDOK, 0);
          WaitFor([box] { return !::IsWindowVisible(box); }, 10);
          if (text == "Programming successfully !") success = true;
          return true;  // any box ends the transfer's road
        }
        return false;
      },
      600);
  if (!ended) return Fail("no result within 600 s");
  const std::vector<std::string> lines = LogLines();
  std::printf("log: %zu lines, ending:\n", lines.size());
  for (std::size_t i = lines.size() > 6 ? lines.size() - 6 : 0; i < lines.size(); ++i) {
    std::printf("log: %s\n", lines[i].c_str());
  }

  // Exit ends the program. The transfer's last step after its result box is the
  // separator line; Exit before that would be a close during the transfer.
  WaitFor(
      [] {
        const std::vector<std::string> log = LogLines();
        return !log.empty() && log.back() == kSeparator;
      },
      30);
  // Between that line and its end the worker still counts as running: Exit may
  // be asked about.
  DWORD code = 0;
  if (!Exit(pi.hProcess, code)) {
    std::printf("FAIL: the program did not end after Exit\n");
    return 1;
  }
  return success && code == 0 ? 0 : 1;
}
