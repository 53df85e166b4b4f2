#include "link/os/posix/PortMap.h"

#include <cstdlib>

#include "config/ProfileIni.h"

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

constexpr char kSection[] = "PORTS";

std::string Key(int portNumber) { return "COM" + std::to_string(portNumber); }

CProfileIni ReadMap(const std::string& path) {
  return CProfileIni(path, CProfileIni::RepeatedSections::kMerged);
}

std::optional<std::string> DeviceIn(const CProfileIni& map, int portNumber) {
  if (!map.Refusal().empty()) return std::string();
  if (!map.Lookup(kSection, Key(portNumber))) return std::nullopt;
  char device[4096];  // PATH_MAX
  map.GetString(kSection, Key(portNumber), "", device, sizeof device);
  return std::string(device);
}
}  // namespace

std::string PortMapPath() {
  std::string base = Env("XDG_CONFIG_HOME");
  if (base.empty()) {
    const std::string home = Env("HOME");
    if (home.empty()) return {};
    base = home + "/.config";
  }
  return base + "/iap-updater/ports.ini";
}

std::optional<std::string> MappedSerialDevice(int portNumber) {
  const std::string path = PortMapPath();
  if (path.empty()) return std::nullopt;
  return DeviceIn(ReadMap(path), portNumber);
}

std::map<int, std::string> PortMapEntries(int highestPort) {
  std::map<int, std::string> entries;
  const std::string path = PortMapPath();
  if (path.empty()) return entries;
  const CProfileIni map = ReadMap(path);
  if (!map.FileExists() || !map.Refusal().empty()) return entries;
  for (int n = 1; n <= highestPort; ++n) {
    if (auto device = DeviceIn(map, n)) entries.emplace(n, *device);
  }
  return entries;
}

std::string PortMapProblem(int portNumber) {
  const std::string path = PortMapPath();
  if (path.empty()) return {};
  const CProfileIni map = ReadMap(path);
  if (!map.Refusal().empty()) return "the port map " + path + " is turned away: " + map.Refusal();
  const auto device = DeviceIn(map, portNumber);
  if (device && device->empty()) {
    return "the port map " + path + " gives " + Key(portNumber) + " no device (an empty " +
           Key(portNumber) + "=)";
  }
  return {};
}
