// The process's own choice of device for a COM port (iapflash --port). It comes
// before anything the platform would pick, so a technician can name the adapter
// on the command line while every log line and box still says COMn.

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "link/os/SerialChannel.h"

namespace {

std::mutex g_bindingsMutex;
std::map<int, std::string> g_bindings;

}  // namespace

void BindSerialDevice(int portNumber, std::string path) {
  const std::lock_guard<std::mutex> lock(g_bindingsMutex);
  g_bindings[portNumber] = std::move(path);
}

std::optional<std::string> BoundSerialDevice(int portNumber) {
  const std::lock_guard<std::mutex> lock(g_bindingsMutex);
  const auto it = g_bindings.find(portNumber);
  if (it == g_bindings.end()) return std::nullopt;
  return it->second;
}
