#pragma once
// Helpers for the simulator tests: a real scratch directory, frames built by hand
// (from the layouts, not from the updater's frame builder), a device fed a whole
// message at a time, and replies read from a line within a time limit.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/IapDevice.h"

class CScratchDir {
 public:
  CScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "iapsim-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~CScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
  }

 private:
  std::string m_path;
};

inline SimConfig TestConfig(int recordSize, bool address24) {
  SimConfig c;
  c.flashCmd = "IAPMODE#";
  c.vendorId = 0x1209;
  c.productId = 0x0001;
  c.handshakeBaud = 2400;
  c.programBaud = 9600;
  c.recordSize = recordSize;
  c.address24 = address24;
  c.romHead = 0x8000;
  c.romTail = address24 ? 0x1FFFF : 0xFFFF;
  c.iapStart = 0xF000;
  c.iapEnd = 0xF800;
  c.intStart = 0xFFE0;
  c.intEnd = 0xFFF0;
  return c;
}

// A data frame laid out by hand; check is XOR of everything before it unless
// breakCheck flips one bit of it.
inline Bytes HandFrame(bool address24, std::uint32_t address, const Bytes& data,
                       bool breakCheck = false) {
  const auto n = static_cast<std::uint8_t>(data.size());
  Bytes f;
  if (address24) {
    f = {static_cast<std::uint8_t>(n + 6), static_cast<std::uint8_t>(address >> 16),
         static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), n};
  } else {
    f = {static_cast<std::uint8_t>(n + 5), n, static_cast<std::uint8_t>(address >> 8),
         static_cast<std::uint8_t>(address)};
  }
  f.insert(f.end(), data.begin(), data.end());
  std::uint8_t x = 0;
  for (std::uint8_t b : f) x ^= b;
  f.push_back(breakCheck ? static_cast<std::uint8_t>(x ^ 0x01) : x);
  return f;
}

inline Bytes Counting(int n, int from = 0) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(from + i));
  return b;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

// Feeds bytes one at a time, as the serial line delivers them; returns the last
// output, and checks that nothing answered before the message was complete.
inline DeviceOutput Feed(CIapDevice& device, const Bytes& bytes, bool* earlyAnswer = nullptr) {
  DeviceOutput last;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    last = device.ReceiveByte(bytes[i]);
    if (earlyAnswer != nullptr && i + 1 < bytes.size() && last.message != SimMessage::kNone) {
      *earlyAnswer = true;
    }
  }
  return last;
}

inline const Bytes kEof16 = {0x08, 0x03, 0x00, 0x00, 0x45, 0x4F, 0x46, 0x47};
inline const Bytes kEof24 = {0x08, 0x00, 0x00, 0x00, 0x04, 0x45, 0x4F, 0x46, 0x47};

// Reads up to n bytes within the time limit.
inline Bytes ReadFor(int fd, std::size_t n, std::chrono::milliseconds limit) {
  Bytes out;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 10) == 1 && (pfd.revents & POLLIN)) {
      std::uint8_t b[256];
      const ssize_t got = ::read(fd, b, std::min(sizeof b, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), b, b + got);
    } else if (pfd.revents & (POLLHUP | POLLERR)) {
      break;
    }
  }
  return out;
}
