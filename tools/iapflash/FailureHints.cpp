#include "FailureHints.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Inventory.h"
#include "app/UpdaterDlg.h"
#include "config/ProfileIni.h"
#include "image/ImageBuilder.h"
#include "image/IntermediateFiles.h"
#include "link/os/SerialChannel.h"

#ifndef _WIN32
#include "link/os/posix/PortMap.h"
#endif

namespace {

// Why path cannot be read, as the C library says it; empty when it can.
std::string ReadProblem(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_fifo(path, ec)) return "it is a FIFO, not a file";
  if (std::filesystem::is_socket(path, ec)) return "it is a socket, not a file";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return {};
}

std::string ConfigLead(const FailureContext& c) {
  return "the configuration file for " + c.variantName + " is " + c.configPath;
}

std::string MissingConfig(const FailureContext& c) {
  const std::string lead = ConfigLead(c);
  if (c.configPath.size() > 259) return lead + ": the path is longer than 259 characters";
  if (const std::string problem = ReadProblem(c.configPath); !problem.empty()) {
    return lead + ": " + problem;
  }
  return lead + ": it has no DEVICECOUNT in section [DEVICELIST]";
}

// A faulty configuration file says nothing more unless the file was turned away
// as a whole; the other faults are in the log's own words.
std::vector<std::string> FaultyConfig(const FailureContext& c) {
  const CProfileIni ini(c.configPath);
  if (ini.Refusal().empty()) return {};
  return {ConfigLead(c) + ": " + ini.Refusal()};
}

std::string UnreadableFirmware(const FailureContext& c) {
  if (const std::string name = IntermediateFileNamedBy(c.firmwarePath); !name.empty()) {
    return "the firmware file " + c.firmwarePath + " is the working directory's " + name +
           ", which File writes; keep the firmware under another name";
  }
  const std::string problem = ReadProblem(c.firmwarePath);
  return "cannot read the firmware file " + c.firmwarePath + ": " +
         (problem.empty() ? "reading it failed" : problem);
}

// Where COMn's device came from, for the person who has to fix it.
std::string PortOrigin(int port) {
  const std::string com = "COM" + std::to_string(port);
  if (BoundSerialDevice(port)) return "--port";
#ifndef _WIN32
  if (const char* env = std::getenv(("IAP_" + com).c_str()); env && *env) return "IAP_" + com;
  if (MappedSerialDevice(port)) return "the port map " + PortMapPath();
  return "no IAP_" + com + " set";
#else
  return "";
#endif
}

std::string UnopenedPort(int port) {
  const std::string path = SerialDevicePath(port);
#ifndef _WIN32
  // No path at all: the port map is at fault for this port.
  if (const std::string problem = path.empty() ? PortMapProblem(port) : ""; !problem.empty()) {
    return "COM" + std::to_string(port) + " opens no device: " + problem;
  }
#endif
  const std::string origin = PortOrigin(port);
  std::string problem = SerialOpenProblem(path);
  if (problem.empty()) problem = path + ": it opens now, but not as a serial port at this speed";
  return "COM" + std::to_string(port) + " is " + path +
         (origin.empty() ? "" : " (" + origin + ")") + "; " + problem;
}

std::string MissingHid(const CUpdaterDlg& dlg) {
  std::string text = "no USB HID device with VID:PID " + Hex4(dlg.Profiles()[0].VID) + ":" +
                     Hex4(dlg.Profiles()[0].PID);
  if (const char* socket = std::getenv("IAP_HID_SOCKET"); socket && *socket) {
    text += std::string(" on the socket ") + socket + " (IAP_HID_SOCKET)";
  }
  std::string present;
  for (const HidDeviceInfo& device : ListHidDevices()) {
    present += (present.empty() ? "" : ", ") + Hex4(device.vendorId) + ":" + Hex4(device.productId);
  }
  return text + "; present: " + (present.empty() ? "none" : present) + " (iapflash --list)";
}

}  // namespace

std::vector<std::string> ExplainBox(const BoxEvent& box, const FailureContext& context,
                                    const CUpdaterDlg& dlg) {
  switch (box.reason) {
    case Reason::kConfigMissing:
      return {MissingConfig(context)};
    case Reason::kConfigUnreadable:
    case Reason::kConfigTooManyDevices:
    case Reason::kConfigBadValue:
    case Reason::kConfigBadBaudRate:
      return FaultyConfig(context);
    case Reason::kReadError:
    case Reason::kWorkFile:
      return {UnreadableFirmware(context)};
    case Reason::kPortNotFound:
    case Reason::kPortBusy:
    case Reason::kPermission:
    case Reason::kNotSerialPort:
    case Reason::kPortOpenFailed:
      if (const int port = dlg.ComPort(); port > 0) return {UnopenedPort(port)};
      return {};
    case Reason::kNoDevice:
      return {MissingHid(dlg)};
    default:
      return {};
  }
}
