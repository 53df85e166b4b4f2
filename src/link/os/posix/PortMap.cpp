#include "link/os/posix/PortMap.h"

#include <cstdlib>

#include "config/ProfileIni.h"

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
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
  const CProfileIni map(path);
  char device[4096];  // PATH_MAX
  if (map.GetString("PORTS", "COM" + std::to_string(portNumber), "", device, sizeof device) == 0) {
    return std::nullopt;
  }
  return std::string(device);
}
