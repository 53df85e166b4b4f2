// Serial ports and HID devices on Linux, from sysfs: every tty with a device
// behind it, with the USB adapter's ids and product and its stable by-id name.

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Inventory.h"

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::optional<std::uint16_t> HexId(const fs::path& file) {
  const std::string text = FirstLine(file);
  if (text.empty()) return std::nullopt;
  return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
}

std::string Canonical(const fs::path& p) {
  std::error_code ec;
  const fs::path c = fs::canonical(p, ec);
  return ec ? p.string() : c.string();
}

// The USB device a tty belongs to: the nearest parent that has USB ids.
void AddUsbDetails(const fs::path& ttyDevice, SerialPortInfo& port) {
  std::error_code ec;
  for (fs::path at = fs::canonical(ttyDevice, ec); !ec && at.has_relative_path();
       at = at.parent_path()) {
    if (fs::exists(at / "idVendor", ec)) {
      port.vendorId = HexId(at / "idVendor");
      port.productId = HexId(at / "idProduct");
      const std::string maker = FirstLine(at / "manufacturer");
      const std::string product = FirstLine(at / "product");
      port.product = maker.empty() ? product : maker + " " + product;
      return;
    }
  }
}

// The processes that hold path open, as " (held by 1234 python3)".
std::string Holders(const std::string& path) {
  const std::string target = Canonical(path);
  std::string found;
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    if (pid == std::to_string(::getpid())) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError).string() != target) continue;
      found += (found.empty() ? "" : ", ") + pid + " " + FirstLine(proc.path() / "comm");
      break;
    }
  }
  return found.empty() ? std::string() : " (held by " + found + ")";
}

// Whether this process belongs to group gid, as its primary or a supplementary group.
bool InGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.end(), gid) != groups.begin() + got;
}

// What to do about a device this user may not open for reading and writing:
// which of the device's permission classes applies to the user decides it. Only
// a user outside the device's group is helped by joining it; one already in it
// (or its owner) is stopped by the device's mode, which a udev rule sets.
std::string AccessAdvice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const group* g = ::getgrgid(st.st_gid);
  const std::string name = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
  const auto forbids = [&](const std::string& whom) {
    return std::string("; its mode ") + mode + " forbids reading and writing it to " + whom +
           ": the device's mode is at fault, not your groups (a udev rule sets it)";
  };
  if (::geteuid() == st.st_uid) {
    if ((st.st_mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) return forbids("its owner, you");
    return {};
  }
  if (InGroup(st.st_gid)) {
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
      return forbids("group '" + name + "', which you are in");
    }
    return {};
  }
  if (g == nullptr || st.st_gid == 0) return {};
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    return forbids("everyone but its owner");
  }
  return "; members of group '" + name + "' may open it: add your user (sudo usermod -aG " + name +
         " $USER) and log in again";
}

}  // namespace

std::vector<SerialPortInfo> ListPlatformSerialPorts() {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const fs::path device = entry.path() / "device";
    if (!fs::exists(device, ec)) continue;  // a virtual terminal, not a port
    const std::string name = entry.path().filename().string();
    // The on-board UART driver makes a ttyS for every port it could have; only
    // the ones with a chip behind them are there.
    if (name.rfind("ttyS", 0) == 0 && FirstLine(entry.path() / "type") == "0") continue;
    SerialPortInfo port;
    port.path = "/dev/" + name;
    AddUsbDetails(device, port);
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.path < b.path; });
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const std::string target = Canonical(link.path());
    for (SerialPortInfo& port : ports) {
      if (port.path == target) port.byId = link.path().string();
    }
  }
  return ports;
}

std::string HidProductString(const std::string& path) {
  // hidapi names a device by its hidraw node; its uevent holds the name the
  // device gives itself.
  const fs::path uevent =
      fs::path("/sys/class/hidraw") / fs::path(path).filename() / "device" / "uevent";
  std::ifstream in(uevent);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("HID_NAME=", 0) == 0) return line.substr(9);
  }
  return {};
}

std::string SerialOpenProblem(const std::string& path) {
  // The same open the serial channel makes, then the same lock.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    std::string text = path + ": " + std::strerror(error);
    if (error == EACCES) text += AccessAdvice(path);
    if (error == EBUSY) text += "; another program holds it" + Holders(path);
    return text;
  }
  std::string problem;
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
    problem = path + ": busy; another program holds it" + Holders(path);
  } else if (!::isatty(fd)) {
    problem = path + ": not a serial port";
  }
  ::close(fd);
  return problem;
}

std::string SerialPortDevice(const std::string& port) {
  std::error_code ec;
  const fs::path full = fs::absolute(port, ec);
  return ec ? port : full.lexically_normal().string();
}
