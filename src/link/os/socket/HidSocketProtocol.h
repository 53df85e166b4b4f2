#pragma once
// The HID-over-local-socket channel between the updater and the device simulator.
//
// The simulator listens on a Unix-domain stream socket (its path is given to the
// updater in IAP_HID_SOCKET). Each connection is one "device present on the bus".
// Everything on the wire is a message:
//
//   byte 0..1  payload length, little-endian (not counting these 3 header bytes)
//   byte 2     message type
//   byte 3..   payload
//
// Types:
//   'H' hello, simulator -> updater, sent once right after accept; payload 10 bytes,
//       each a little-endian u16: vendor id, product id, version (release) number,
//       input report length, output report length (both counting the report id).
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

namespace hidsock {
constexpr std::uint8_t kHello = 'H';
constexpr std::uint8_t kOutputReport = 'O';
constexpr std::uint8_t kInputReport = 'I';
constexpr int kHeaderSize = 3;
constexpr int kHelloSize = 10;
constexpr const char* kEnvVar = "IAP_HID_SOCKET";
}  // namespace hidsock
