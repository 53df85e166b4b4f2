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
  const CProfileIni map(path);
  if (!map.Refusal().empty()) return std::string();
  if (!map.Lookup(kSection, Key(portNumber))) return std::nullopt;
  char device[4096];  // PATH_MAX
  map.GetString(kSection, Key(portNumber), "", device, sizeof device);
  return std::string(device);
}

std::string PortMapProblem(int portNumber) {
  const std::string path = PortMapPath();
  if (path.empty()) return {};
  const CProfileIni map(path);
  if (!map.Refusal().empty()) return "the port map " + path + " is turned away: " + map.Refusal();
  const auto device = MappedSerialDevice(portNumber);
  if (device && device->empty()) {
    return "the port map " + path + " gives " + Key(portNumber) + " no device (an empty " +
           Key(portNumber) + "=)";
  }
  return {};
}
