// --list: the serial ports and HID devices present, and which of them answer to
// the ids of the configuration the updater would use here.

#include "Inventory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ConsoleWindowSystem.h"
#include "config/ProfileIni.h"
#include "link/HidDevice.h"
#include "link/os/HidChannel.h"
#include "link/os/SerialChannel.h"
#include "link/os/socket/HidSocketProtocol.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "link/os/posix/PortMap.h"
#endif

namespace {

// The highest COM number looked at for bindings; the interface list has nine.
constexpr int kHighestComPort = 99;
constexpr int kListedComPorts = 9;

// Where a user without access to a hidraw node gets it from.
#ifndef _WIN32
constexpr char kAccessHint[] = ", which iapflash --udev-rule makes a rule for";
#else
constexpr char kAccessHint[] = "";
#endif

struct ConfiguredIds {
  bool known = false;
  std::uint32_t vendorId = 0, productId = 0;
};

// Whether two names lead to one device node: the same text, or two links to it
// (/dev/serial/by-id/... and /dev/ttyUSB0).
bool SameNode(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The ports this process would open for COMn although nothing lists them: the
// ones named by --port and, on POSIX, by IAP_COMn or the user's port map (a
// simulator's pty, an adapter that is unplugged), in the order the serial channel
// chooses among them.
void AddBoundPorts(std::vector<SerialPortInfo>& ports) {
#ifndef _WIN32
  const std::map<int, std::string> mapped = PortMapEntries(kHighestComPort);
#endif
  for (int n = 1; n <= kHighestComPort; ++n) {
    const std::string com = "COM" + std::to_string(n);
    std::string path, how;
    if (auto bound = BoundSerialDevice(n)) {
      path = *bound, how = com + " (--port)";
#ifndef _WIN32
    } else if (const char* env = std::getenv(("IAP_" + com).c_str()); env && *env) {
      path = env, how = com + " (IAP_" + com + ")";
    } else if (const auto map = mapped.find(n); map != mapped.end() && !map->second.empty()) {
      path = map->second, how = com + " (the port map)";
#endif
    } else {
      continue;
    }
    bool listed = false;
    for (SerialPortInfo& port : ports) {
      if (!SameNode(SerialPortDevice(port.path), path) && port.byId != path) continue;
      port.note += (port.note.empty() ? "" : ", ") + how;
      listed = true;
    }
    if (!listed) ports.push_back({path, "", "", std::nullopt, std::nullopt, how});
  }
}

// Why the device node at path is not there; empty when it is (or when that
// cannot be told: a node this user may not look at is still there).
std::string AbsenceOf(const std::string& path) {
#ifndef _WIN32
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    return std::strerror(errno);
  }
#else
  (void)path;
#endif
  return {};
}

std::string JsonOrNull(const std::string& text) {
  return text.empty() ? std::string("null") : JsonString(text);
}

std::string JsonId(const std::optional<std::uint16_t>& id) {
  return id ? JsonString(Hex4(*id)) : std::string("null");
}

std::string JsonNumber(const std::optional<std::uint16_t>& value) {
  return value ? std::to_string(*value) : std::string("null");
}

const char* JsonBool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}

std::string HidMismatch(const HidDeviceInfo& device) {
  std::vector<std::string> differs;
  // The rules are the link's own (CHidDevice), worded for the technician.
  if (!CHidDevice::RunsProgrammer(device.versionNumber)) {
    differs.push_back("its version number is " + Hex4(device.versionNumber) + ", the link needs " +
                      Hex4(CHidDevice::kLowestProgrammerVersion) + " or above");
  }
  auto length = [&](const char* which, std::uint16_t value, bool fits, int most) {
    if (fits) return;
    differs.push_back(std::string("its ") + which + " report length is " + std::to_string(value) +
                      " bytes, the link takes " + std::to_string(CHidDevice::kMinReport) + " to " +
                      std::to_string(most));
  };
  if (!device.inputReportLength || !device.outputReportLength) {
    differs.push_back("its report lengths cannot be read from its report descriptor");
  } else {
    length("input", *device.inputReportLength,
           CHidDevice::InputLengthFits(*device.inputReportLength), CHidDevice::kMaxInputReport);
    length("output", *device.outputReportLength,
           CHidDevice::OutputLengthFits(*device.outputReportLength), CHidDevice::kMaxOutputReport);
  }
  std::string text;
  for (const std::string& part : differs) text += (text.empty() ? "" : "; ") + part;
  return text;
}

std::vector<HidDeviceInfo> ListHidDevices(std::optional<UsbIds> wanted) {
  std::vector<HidDeviceInfo> devices;
  const std::unique_ptr<IHidBackend> backend = MakePlatformHidBackend();
  // The simulator's sockets, as the socket channel reads the variable.
  std::set<std::string> simulated;
  if (const char* sockets = std::getenv(hidsock::kEnvVar)) {
    for (std::string& socket : hidsock::SocketPaths(sockets)) simulated.insert(std::move(socket));
  }
  for (const std::string& path : backend->Enumerate()) {
    const std::unique_ptr<IHidProbe> probe = backend->OpenProbe(path);
    HidAttributes attributes;
    if (!probe || !probe->GetAttributes(attributes)) continue;
    HidDeviceInfo device;
    device.path = path;
    device.vendorId = attributes.vendorId;
    device.productId = attributes.productId;
    device.versionNumber = attributes.versionNumber;
    if (probe->GetReportLengths(attributes)) {
      device.inputReportLength = attributes.inputReportLength;
      device.outputReportLength = attributes.outputReportLength;
    }
    device.product = HidProductString(path);
    device.serial = attributes.serial;
    if (simulated.count(path) != 0) device.product = "device simulator (IAP_HID_SOCKET)";
    if (wanted && device.vendorId == wanted->vendorId && device.productId == wanted->productId) {
      device.mismatch = HidMismatch(device);
      // The last step of the link's search: both handles open at once.
      if (device.mismatch.empty() && (!probe->OpenWriteHandle() || !probe->OpenReadHandle())) {
        device.mismatch =
            "it does not open for reading and writing (another updater holds it, "
            "or this user has no access to " +
            path + kAccessHint + ")";
      }
    }
    devices.push_back(device);
  }
  return devices;
}

void PrintInventory(const std::string& configIni, bool json) {
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
  std::vector<std::string> absence;
  for (SerialPortInfo& port : ports) {
    absence.push_back(AbsenceOf(port.path));
    port.present = absence.back().empty();
  }
  const std::vector<HidDeviceInfo> devices = ListHidDevices(
      ids.known ? std::optional<UsbIds>(UsbIds{ids.vendorId, ids.productId}) : std::nullopt);
  auto portMatches = [&](const SerialPortInfo& port) {
    return port.vendorId && port.productId && matches(*port.vendorId, *port.productId);
  };
  auto hidMatches = [&](const HidDeviceInfo& device) {
    return matches(device.vendorId, device.productId) && device.mismatch.empty();
  };

  if (json) {
    for (const SerialPortInfo& port : ports) {
      std::printf(
          "{\"kind\":\"serial\",\"path\":%s,\"by_id\":%s,\"product\":%s,\"vid\":%s,"
          "\"pid\":%s,\"note\":%s,\"present\":%s,\"matches\":%s}\n",
          JsonString(port.path).c_str(), JsonOrNull(port.byId).c_str(),
          JsonOrNull(port.product).c_str(), JsonId(port.vendorId).c_str(),
          JsonId(port.productId).c_str(), JsonOrNull(port.note).c_str(), JsonBool(port.present),
          JsonBool(portMatches(port)));
    }
    for (const HidDeviceInfo& device : devices) {
      std::printf(
          "{\"kind\":\"hid\",\"path\":%s,\"vid\":\"%s\",\"pid\":\"%s\",\"version\":\"%s\","
          "\"input_report_length\":%s,\"output_report_length\":%s,\"product\":%s,"
          "\"serial\":%s,\"matches\":%s,\"mismatch\":%s}\n",
          JsonString(device.path).c_str(), Hex4(device.vendorId).c_str(),
          Hex4(device.productId).c_str(), Hex4(device.versionNumber).c_str(),
          JsonNumber(device.inputReportLength).c_str(),
          JsonNumber(device.outputReportLength).c_str(), JsonOrNull(device.product).c_str(),
          JsonOrNull(device.serial).c_str(), JsonBool(hidMatches(device)),
          JsonOrNull(device.mismatch).c_str());
    }
    const std::string vid = ids.known ? JsonString(Hex4(ids.vendorId)) : "null";
    const std::string pid = ids.known ? JsonString(Hex4(ids.productId)) : "null";
    std::printf("{\"kind\":\"configuration\",\"path\":%s,\"vid\":%s,\"pid\":%s}\n",
                JsonString(configIni).c_str(), vid.c_str(), pid.c_str());
    std::fflush(stdout);
    return;
  }

  std::printf("Serial ports:\n");
  if (ports.empty()) std::printf("  (none)\n");
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const SerialPortInfo& port = ports[i];
    std::string line = "  " + port.path;
    if (!port.note.empty()) line += "  " + port.note;
    if (!port.present) line += "  absent (" + absence[i] + ")";
    if (port.vendorId && port.productId) {
      line += "  USB " + Hex4(*port.vendorId) + ":" + Hex4(*port.productId);
    }
    if (!port.product.empty()) line += "  " + port.product;
    if (!port.byId.empty()) line += "  " + port.byId;
    if (portMatches(port)) line += mark;
    std::printf("%s\n", line.c_str());
  }

  std::printf("HID devices:\n");
  if (devices.empty()) std::printf("  (none)\n");
  for (const HidDeviceInfo& device : devices) {
    std::string line = "  " + Hex4(device.vendorId) + ":" + Hex4(device.productId) + " version " +
                       Hex4(device.versionNumber);
    if (!device.product.empty()) line += "  " + device.product;
    if (!device.serial.empty()) line += "  serial " + device.serial;
    line += "  " + device.path;
    if (hidMatches(device)) {
      line += mark;
    } else if (!device.mismatch.empty()) {
      line += "  <- the VID:PID of " + configIni +
              ", but the USB link passes it over: " + device.mismatch;
    }
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
  // whichever /dev/ttyUSBn it gets: the stable by-id name where there is one. A
  // port the map names already is left out, and the COM numbers it uses are
  // skipped, so that the block can be pasted onto the end of the map as it is. The
  // interface list names COM1..COM9 only.
  const std::string map = PortMapPath();
  const std::map<int, std::string> mapped = PortMapEntries(kHighestComPort);
  std::vector<std::string> mapProblems;
  for (int n = 1; n <= kListedComPorts; ++n) {
    const std::string problem = PortMapProblem(n);
    if (!problem.empty() && (mapProblems.empty() || mapProblems.back() != problem)) {
      mapProblems.push_back(problem);
    }
  }
  auto inMap = [&](const SerialPortInfo& port) {
    for (const auto& [n, device] : mapped) {
      if (!device.empty() && (device == port.byId || SameNode(device, port.path))) return true;
    }
    return false;
  };
  std::string block;
  bool mapHasSome = false;
  int n = 0;
  for (const SerialPortInfo& port : ports) {
    if (port.path.rfind("/dev/tty", 0) != 0 || !port.present) continue;
    if (inMap(port)) {
      mapHasSome = true;
      continue;
    }
    do ++n;
    while (mapped.count(n) != 0);
    if (n > kListedComPorts) break;
    block += "COM" + std::to_string(n) + "=" + (port.byId.empty() ? port.path : port.byId) + "\n";
  }
  const std::string mapName = map.empty() ? "ports.ini" : map;
  if (!block.empty()) {
    std::printf("\nFor the ports map (%s):\n[PORTS]\n%s", mapName.c_str(), block.c_str());
  } else if (mapHasSome) {
    std::printf("\nThe ports map (%s) names every serial port present.\n", mapName.c_str());
  }
  for (const std::string& problem : mapProblems) std::printf("Note: %s.\n", problem.c_str());
#endif
  std::fflush(stdout);
}
