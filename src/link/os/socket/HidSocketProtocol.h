#pragma once
// The HID-over-local-socket channel between the updater and the device simulator.
//
// The simulator listens on a Unix-domain stream socket (its path is given to the
// updater in IAP_HID_SOCKET). Each connection is one "device present on the bus".
// A production station has several simulated units at once: IAP_HID_SOCKET then
// names several sockets separated by ':' (like PATH), each one unit, in the order
// the updater finds them; empty names between the colons are skipped.
// Everything on the wire is a message:
//
//   byte 0..1  payload length, little-endian (not counting these 3 header bytes)
//   byte 2     message type
//   byte 3..   payload
//
// Types:
//   'H' hello, simulator -> updater, sent once right after accept; payload 10 bytes,
//       each a little-endian u16: vendor id, product id, version (release) number,
//       input report length, output report length (both counting the report id);
//       then, optionally, the rest of the payload is the device's USB serial number
//       string in UTF-8, at most 126 bytes (a string descriptor holds 126
//       characters), no terminator. A hello of exactly 10 bytes is a device without
//       a serial number; one of fewer than 10 bytes is no device.
//   'O' output report, updater -> simulator; payload = the whole report as the
//       updater writes it (output report length bytes, report id 0 first).
//   'I' input report, simulator -> updater; payload = the whole report (input report
//       length bytes, report id first), exactly as Windows' ReadFile returns it.
//
// A peer that receives an unknown type closes the connection.
//
// The device serves one updater at a time: while a connection is open, the
// simulator closes a new one at once, before any hello, and the updater takes a
// connection that ends without a hello for no device present.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hidsock {
constexpr std::uint8_t kHello = 'H';
constexpr std::uint8_t kOutputReport = 'O';
constexpr std::uint8_t kInputReport = 'I';
constexpr int kHeaderSize = 3;
constexpr int kHelloSize = 10;  // the fixed part, before the serial number
constexpr int kMaxSerialSize = 126;
constexpr const char* kEnvVar = "IAP_HID_SOCKET";

// The socket paths IAP_HID_SOCKET's value names, in order, empty ones left out.
inline std::vector<std::string> SocketPaths(std::string_view value) {
  std::vector<std::string> paths;
  while (true) {
    const std::size_t colon = value.find(':');
    const std::string_view path = value.substr(0, colon);
    if (!path.empty()) paths.emplace_back(path);
    if (colon == std::string_view::npos) return paths;
    value.remove_prefix(colon + 1);
  }
}
}  // namespace hidsock
