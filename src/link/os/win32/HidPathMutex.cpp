#include "link/os/win32/HidPathMutex.h"

namespace {

// Machine-wide, so that updaters in different sessions exclude each other too. A
// backslash after the namespace would name a directory of the object namespace,
// so the path's backslashes become slashes (which device paths do not contain);
// letter case is folded because Windows compares device paths without it.
std::string MutexName(const std::string& devicePath) {
  std::string name = "Global\\IapUpdaterHid:";
  for (const char c : devicePath) {
    if (c == '\\') {
      name += '/';
    } else if (c >= 'A' && c <= 'Z') {
      name += static_cast<char>(c - 'A' + 'a');
    } else {
      name += c;
    }
  }
  return name;
}

}  // namespace

std::unique_ptr<CHidPathMutex> CHidPathMutex::TryTake(const std::string& devicePath) {
  // The mutex is never waited on: its existence is the claim. ERROR_ALREADY_EXISTS
  // means another updater holds the device; another user's updater shows as a
  // failure to create (access denied). Either way the device is not ours to use.
  HANDLE handle = CreateMutexA(nullptr, FALSE, MutexName(devicePath).c_str());
  if (handle == nullptr) return nullptr;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::unique_ptr<CHidPathMutex>(new CHidPathMutex(handle));
}

CHidPathMutex::~CHidPathMutex() { CloseHandle(m_handle); }
