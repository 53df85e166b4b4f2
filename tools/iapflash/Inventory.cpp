// --list: the serial ports and HID devices present, and which of them answer to
// the ids of the configuration the updater would use here.

#include "Inventory.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/ProfileIni.h"
#include "link/os/HidChannel.h"
#include "link/os/SerialChannel.h"
#ifndef _WIN32
#include "link/os/posix/PortMap.h"
#endif

namespace {

// The highest COM number looked at for bindings; the interface list has nine.
constexpr int kHighestComPort = 99;

struct ConfiguredIds {
  bool known = false;
  std::uint32_t vendorId = 0, productId = 0;
};

// The ports this process would open for COMn although nothing lists them: the
// ones named by --port and, on POSIX, by IAP_COMn (a simulator's pty, say).
void AddBoundPorts(std::vector<SerialPortInfo>& ports) {
  for (int n = 1; n <= kHighestComPort; ++n) {
    const std::string com = "COM" + std::to_string(n);
    std::string path, how;
    if (auto bound = BoundSerialDevice(n)) {
      path = *bound, how = com + " (--port)";
#ifndef _WIN32
    } else if (const char* env = std::getenv(("IAP_" + com).c_str()); env && *env) {
      path = env, how = com + " (IAP_" + com + ")";
#endif
    } else {
      continue;
    }
    bool listed = false;
    for (SerialPortInfo& port : ports) {
      if (SerialPortDevice(port.path) != path && port.byId != path) continue;
      port.note += (port.note.empty() ? "" : ", ") + how;
      listed = true;
    }
    if (!listed) ports.push_back({path, "", "", std::nullopt, std::nullopt, how});
  }
}

}  // namespace

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}

std::vector<HidDeviceInfo> ListHidDevices() {
  std::vector<HidDeviceInfo> devices;
  const std::unique_ptr<IHidBackend> backend = MakePlatformHidBackend();
  for (const std::string& path : backend->Enumerate()) {
    const std::unique_ptr<IHidProbe> probe = backend->OpenProbe(path);
    HidAttributes attributes;
    if (!probe || !probe->GetAttributes(attributes)) continue;
    HidDeviceInfo device;
    device.path = path;
    device.vendorId = attributes.vendorId;
    device.productId = attributes.productId;
    device.versionNumber = attributes.versionNumber;
    device.product = HidProductString(path);
    if (const char* socket = std::getenv("IAP_HID_SOCKET"); socket && path == socket) {
      device.product = "device simulator (IAP_HID_SOCKET)";
    }
    devices.push_back(device);
  }
  return devices;
}

void PrintInventory(const std::string& configIni) {
  const CProfileIni ini(configIni);
  ConfiguredIds ids;
  ids.vendorId = ini.GetInt("DEVICE0", "VID", 0x10000);
  ids.productId = ini.GetInt("DEVICE0", "PID", 0x10000);
  ids.known = ids.vendorId <= 0xFFFF && ids.productId <= 0xFFFF;
  const std::string mark = "  <- matches " + configIni;
  auto matches = [&](std::uint32_t vid, std::uint32_t pid) {
    return ids.known && vid == ids.vendorId && pid == ids.productId;
  };

  std::vector<SerialPortInfo> ports = ListPlatformSerialPorts();
  AddBoundPorts(ports);
  std::printf("Serial ports:\n");
  if (ports.empty()) std::printf("  (none)\n");
  for (const SerialPortInfo& port : ports) {
    std::string line = "  " + port.path;
    if (!port.note.empty()) line += "  " + port.note;
    if (port.vendorId && port.productId) {
      line += "  USB " + Hex4(*port.vendorId) + ":" + Hex4(*port.productId);
    }
    if (!port.product.empty()) line += "  " + port.product;
    if (!port.byId.empty()) line += "  " + port.byId;
    if (port.vendorId && port.productId && matches(*port.vendorId, *port.productId)) line += mark;
    std::printf("%s\n", line.c_str());
  }

  std::printf("HID devices:\n");
  const std::vector<HidDeviceInfo> devices = ListHidDevices();
  if (devices.empty()) std::printf("  (none)\n");
  for (const HidDeviceInfo& device : devices) {
    std::string line = "  " + Hex4(device.vendorId) + ":" + Hex4(device.productId) + " version " +
                       Hex4(device.versionNumber);
    if (!device.product.empty()) line += "  " + device.product;
    line += "  " + device.path;
    if (matches(device.vendorId, device.productId)) line += mark;
    std::printf("%s\n", line.c_str());
  }
  if (ids.known) {
    std::printf("The configuration %s names VID:PID %s:%s.\n", configIni.c_str(),
                Hex4(ids.vendorId).c_str(), Hex4(ids.productId).c_str());
  } else {
    std::printf("No device ids from %s: nothing is marked.\n", configIni.c_str());
  }

#ifndef _WIN32
  // Lines for the per-user ports map, so that COMn keeps naming the same adapter
  // whichever /dev/ttyUSBn it gets: the stable by-id name where there is one. The
  // interface list names COM1..COM9 only.
  std::string block;
  int n = 0;
  for (const SerialPortInfo& port : ports) {
    if (port.path.rfind("/dev/tty", 0) != 0 || n == 9) continue;
    block += "COM" + std::to_string(++n) + "=" + (port.byId.empty() ? port.path : port.byId) + "\n";
  }
  if (!block.empty()) {
    const std::string map = PortMapPath();
    std::printf("\nFor the ports map (%s):\n[PORTS]\n%s", map.empty() ? "ports.ini" : map.c_str(),
                block.c_str());
  }
#endif
  std::fflush(stdout);
}
