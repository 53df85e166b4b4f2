// Serial ports and HID devices on Windows: the ports from the registry's
// SERIALCOMM map (what every COM port driver registers, wine's too), described
// through SetupAPI where a driver gives a friendly name and USB ids.

#include <windows.h>
// after windows.h
#include <setupapi.h>
// mingw's hidsdi.h declares the HID class library without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdlib>
#include <string>

#include "Inventory.h"
#include "link/os/win32/SystemMessage.h"

namespace {

constexpr int kHighestProbedPort = 64;

int PortNumber(const std::string& name) {
  return name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 ? std::atoi(name.c_str() + 3)
                                                                   : 0;
}

// "USB\VID_0403&PID_6001&REV_0600" -> 0403, 6001.
void ParseHardwareId(const std::string& id, SerialPortInfo& port) {
  const auto vid = id.find("VID_");
  const auto pid = id.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos) return;
  port.vendorId = static_cast<std::uint16_t>(std::strtoul(id.c_str() + vid + 4, nullptr, 16));
  port.productId = static_cast<std::uint16_t>(std::strtoul(id.c_str() + pid + 4, nullptr, 16));
}

// Friendly names and USB ids of the ports class, by port name.
void AddDriverDetails(std::vector<SerialPortInfo>& ports) {
  static const GUID kPortsClass = {
      0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    char name[64] = "";
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    DWORD size = sizeof name - 1;
    const LONG found =
        RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (found != ERROR_SUCCESS) continue;
    for (SerialPortInfo& port : ports) {
      if (_stricmp(port.path.c_str(), name) != 0) continue;
      char text[512] = "";
      if (SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                            reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                            nullptr)) {
        port.product = text;
      }
      char ids[512] = "";
      if (SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, nullptr,
                                            reinterpret_cast<BYTE*>(ids), sizeof ids - 2,
                                            nullptr)) {
        ParseHardwareId(ids, port);
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<SerialPortInfo> ListPlatformSerialPorts() {
  std::vector<SerialPortInfo> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char valueName[256];
      DWORD nameSize = sizeof valueName;
      char data[64] = "";
      DWORD dataSize = sizeof data - 1;
      DWORD type = 0;
      if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data),
                        &dataSize) != ERROR_SUCCESS) {
        break;
      }
      if (type == REG_SZ && PortNumber(data) > 0) ports.push_back({data, "", "", {}, {}, ""});
    }
    RegCloseKey(key);
  }
  // A port that no driver entered in the map (under wine: one mapped to a tty
  // after the start) is found by opening it without asking for access; ports in
  // the map are never touched.
  for (int n = 1; n <= kHighestProbedPort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const bool listed = std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& p) {
      return _stricmp(p.path.c_str(), name.c_str()) == 0;
    });
    if (listed) continue;
    HANDLE port = CreateFileA(("\\\\.\\" + name).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
      CloseHandle(port);
      ports.push_back({name, "", "", {}, {}, ""});
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      ports.push_back({name, "", "", {}, {}, "in use"});
    }
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNumber(a.path) < PortNumber(b.path);
  });
  AddDriverDetails(ports);
  return ports;
}

std::string HidProductString(const std::string& path) {
  HANDLE device = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return {};
  wchar_t text[128] = L"";
  std::string product;
  if (HidD_GetProductString(device, text, sizeof text - sizeof(wchar_t))) {
    char narrow[256] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    product = narrow;
  }
  CloseHandle(device);
  return product;
}

std::string SerialOpenProblem(const std::string& path) {
  // The same open the serial channel makes: exclusive, overlapped.
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    std::string text = path + ": " + SystemMessage(error);
    // Windows gives a COM port to one program at a time and says "access denied"
    // to every other.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      text += "; busy: another program holds it";
    }
    return text;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  const bool serial = GetCommState(port, &dcb) != 0;
  CloseHandle(port);
  return serial ? std::string() : path + ": not a serial port";
}

std::string SerialPortDevice(const std::string& port) {
  // "COM12", "com12" -> "\\.\COM12": the device namespace, which CreateFile needs
  // for COM10 and above and accepts for every port.
  if (PortNumber(port) > 0 && port.find_first_of("\\/") == std::string::npos) {
    return "\\\\.\\COM" + std::to_string(PortNumber(port));
  }
  return port;
}
