// Fuzz target: the simulated device's side of the protocol, fed what an updater
// (or line noise) might send: the programming-mode command, the baud-rate
// command, data frames and end-of-file frames, in any order and any shape.
//
// Input: two shape bytes, then the bytes on the wire.
//   byte 0  bit 0     data frames of 16 or 32 bytes
//           bit 1     the 24-bit frame layout
//           bits 2-3  FLASHCMD: "IAPMODE#", "FWUPDATE#", "#" or "A" (no '#')
//           bits 4-6  a fault plan from the table below
//           bit 7     protected ranges (programmer, reserved) inside the flash map
//   byte 1  bits 0-1  how the bytes arrive:
//                     0  the serial line, byte by byte
//                     1  the serial line with a pause every P+1 bytes, after which
//                        the device drops a half-received message (as the pty
//                        front does after its resynchronisation time)
//                     2  HID output reports with P+1 payload bytes each
//                     3  the HID socket front: the bytes are the raw socket stream
//                        of one updater connection (length, type, report), with
//                        the input report length chosen by bits 2-4 and the
//                        pieces it arrives in by bits 5-7
//           bits 2-7  P
//
// Properties, beyond running clean under the sanitizers: the flash dump the
// simulator writes (ToSRecords) is a well-formed S-record file that reads back
// to exactly the emulated flash; the socket front greets with a hello of the
// device's ids and report lengths and answers only with whole input reports of
// the configured length, report id 0.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "SRecordModel.h"
#include "link/os/socket/HidSocketProtocol.h"
#include "sim/HidSocketFront.h"
#include "sim/IapDevice.h"

namespace {

std::string g_socketPath;
// Socket mode: how much of the stream is sent before the front reads it.
constexpr std::size_t kPieces[8] = {512, 3, 17, 68, 69, 130, 256, 400};

FaultPlan FaultsOf(int choice) {
  FaultPlan plan;
  switch (choice) {
    case 1:
      plan.nak = {2, 3};
      break;
    case 2:
      plan.garbage = {1};
      break;
    case 3:
      plan.silentAfter = 2;
      break;
    case 4:
      plan.hangupAfter = 3;
      break;
    case 5:
      plan.noReady = true;
      break;
    case 6:
      plan.noBaudAck = true;
      break;
    case 7:
      plan.nak = {1};
      plan.garbage = {2};
      plan.silentAfter = 5;
      break;
    default:
      break;
  }
  return plan;
}

SimConfig ConfigOf(std::uint8_t shape, std::uint8_t modeByte) {
  static const char* const kCommands[4] = {"IAPMODE#", "FWUPDATE#", "#", "A"};
  static const std::uint16_t kInputLengths[8] = {65, 2, 9, 33, 1, 0, 64, 200};
  SimConfig c;
  c.recordSize = (shape & 1) ? 32 : 16;
  c.address24 = (shape & 2) != 0;
  c.flashCmd = kCommands[(shape >> 2) & 3];
  c.vendorId = 0x1209;
  c.productId = 0x0001;
  c.handshakeBaud = 2400;
  c.programBaud = 9600;
  c.inputReportLength = kInputLengths[(modeByte >> 2) & 7];
  c.romHead = c.address24 ? 0xF000 : 0x8000;
  c.romTail = c.address24 ? 0x2FFFF : 0xFFFF;
  if (shape & 128) {
    c.iapStart = c.romHead + 0x800;
    c.iapEnd = c.romHead + 0xC00;
    c.intStart = c.romHead + 0x1200;
    c.intEnd = c.romHead + 0x1240;
  }
  return c;
}

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Takes what the front has sent so far; false once the front has closed the
// connection.
bool Drain(int client, std::vector<std::uint8_t>& in) {
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      in.insert(in.end(), buffer, buffer + n);
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
}

// Runs the socket front over one connection that sends stream, piece by piece,
// and then lets go.
void ThroughSocketFront(CIapDevice& device, std::size_t piece, const std::uint8_t* stream,
                        std::size_t size) {
  FrontOptions options;
  // An idle time-out below zero ends Run after one pass of its loop, so the
  // harness steps the front itself and never sits in its 20 ms poll: the first
  // pass accepts the connection, each later one serves the piece just sent.
  options.idleTimeoutSeconds = -1.0;
  auto front = std::make_unique<CHidSocketFront>(device, options, g_socketPath);
  std::string error;
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0 || !front->Open(error)) {
    std::fprintf(stderr, "fuzz_sim_frames: %s\n", client < 0 ? "no socket" : error.c_str());
    std::abort();
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, g_socketPath.c_str(), g_socketPath.size() + 1);
  if (::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::perror("fuzz_sim_frames: connect");
    std::abort();
  }
  front->Run();
  // The front answers as it reads and blocks when its answers do not fit the
  // socket: a piece of at most 512 bytes holds too few messages for that, and
  // the answers are taken after each piece.
  std::vector<std::uint8_t> in;
  bool open = Drain(client, in);
  for (std::size_t at = 0; open && at < size; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    if (::send(client, stream + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
    front->Run();
    open = Drain(client, in);
  }
  ::shutdown(client, SHUT_WR);
  if (open) front->Run();  // the end of the stream
  front.reset();           // closes whatever connection is left
  Drain(client, in);
  ::close(client);

  const SimConfig& c = device.Config();
  const std::size_t reportLength = std::max<std::size_t>(c.inputReportLength, 2);
  std::size_t at = 0;
  for (int message = 0; at + hidsock::kHeaderSize <= in.size(); ++message) {
    const std::size_t length = U16(&in[at]);
    const std::uint8_t type = in[at + 2];
    const std::uint8_t* payload = in.data() + at + hidsock::kHeaderSize;
    if (at + hidsock::kHeaderSize + length > in.size())
      fuzz::Violation("the front's message %d is cut off", message);
    if (message == 0) {
      if (type != hidsock::kHello || length != hidsock::kHelloSize || U16(payload) != c.vendorId ||
          U16(payload + 2) != c.productId || U16(payload + 6) != c.inputReportLength ||
          U16(payload + 8) != c.outputReportLength)
        fuzz::Violation("the front's first message is not the device's hello");
    } else if (type != hidsock::kInputReport || length != reportLength || payload[0] != 0) {
      fuzz::Violation(
          "the front's message %d (type %02x, %zu bytes) is not an input report of %zu bytes",
          message, type, length, reportLength);
    }
    at += hidsock::kHeaderSize + length;
  }
  if (at != in.size())
    fuzz::Violation("the front sent %zu bytes that are no whole message", in.size() - at);
}

void CheckFlashDump(const CIapDevice& device) {
  const auto& written = device.Flash().Bytes();
  // A 16-bit dump names addresses in two bytes; a frame near the top of a 16-bit
  // map writes on past 0xFFFF, and those bytes have no name in it.
  if (!device.Config().address24 && !written.empty() && written.rbegin()->first > 0xFFFF) return;
  const std::string dump = device.Flash().ToSRecords(device.Config().address24);
  const srecmodel::Reading back = srecmodel::Read(dump, 0, 0xFFFFFF, false);
  if (!back.wellFormed)
    fuzz::Violation("the flash dump is no well-formed S-record file: %s", back.fault.c_str());
  if (back.bytes.size() != written.size() ||
      !std::equal(
          written.begin(), written.end(), back.bytes.begin(),
          [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; }))
    fuzz::Violation("the flash dump reads back to %zu bytes, the flash holds %zu (or other values)",
                    back.bytes.size(), written.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  g_socketPath = fuzz::MakePrivateDirectory("fuzz_sim_frames", argc, argv) + "/sim.sock";
  if (g_socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
    std::fprintf(stderr, "fuzz_sim_frames: working directory path too long for a socket\n");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int mode = data[1] & 3;
  const std::size_t p = static_cast<std::size_t>(data[1] >> 2) + 1;
  CIapDevice device(ConfigOf(data[0], data[1]), FaultsOf((data[0] >> 4) & 7));
  const std::uint8_t* wire = data + 2;
  const std::size_t length = std::min<std::size_t>(size - 2, 64 * 1024);

  switch (mode) {
    case 0:
    case 1:
      for (std::size_t i = 0; i < length; ++i) {
        if (device.ReceiveByte(wire[i]).hangUp) break;
        if (mode == 1 && (i + 1) % p == 0 && device.HasPartialMessage())
          device.DropPartialMessage();
      }
      break;
    case 2:
      for (std::size_t at = 0; at < length; at += p) {
        if (device.ReceiveReport(wire + at, std::min(p, length - at)).hangUp) break;
      }
      break;
    default:
      ThroughSocketFront(device, kPieces[data[1] >> 5], wire, length);
      break;
  }
  CheckFlashDump(device);
  return 0;
}
