#pragma once
// One updater per device on Windows. A HID interface is opened shared (the
// system's own HID clients keep it open too), so nothing stops a second program
// from writing reports between ours; updaters agree on a named mutex keyed on the
// interface's device path instead. Whoever creates it has the device until its
// handle is closed; the object goes away with the last handle, a crashed updater's
// included.

#include <windows.h>

#include <memory>
#include <string>

class CHidPathMutex {
 public:
  // The mutex for the device at devicePath, held until the object is destroyed;
  // nullptr when another holder, in this process or another, has it already (or
  // it cannot be created at all).
  static std::unique_ptr<CHidPathMutex> TryTake(const std::string& devicePath);
  ~CHidPathMutex();
  CHidPathMutex(const CHidPathMutex&) = delete;
  CHidPathMutex& operator=(const CHidPathMutex&) = delete;

 private:
  explicit CHidPathMutex(HANDLE handle) : m_handle(handle) {}
  HANDLE m_handle;
};
