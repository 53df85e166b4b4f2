#include "sim/IapDevice.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t kCr = 0x0D;
// Longer than any programming-mode command (FLASHCMD holds at most 15 characters);
// a text that runs on without a CR is line noise and only its tail is kept.
constexpr std::size_t kMaxTextLength = 64;

const Bytes kBaudCommand = {0x03, 0x42, 0x01};
const Bytes kEndOfFile16 = {0x08, 0x03, 0x00, 0x00, 0x45, 0x4F, 0x46, 0x47};
const Bytes kEndOfFile24 = {0x08, 0x00, 0x00, 0x00, 0x04, 0x45, 0x4F, 0x46, 0x47};

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(value));
  return text;
}

std::string HexByte(std::uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
  return text;
}

std::string Span(std::uint32_t first, std::uint32_t last) {
  return first == last ? "byte " + Hex(first) : "bytes " + Hex(first) + ".." + Hex(last);
}

// The bytes a frame's data go to, in order: the flash takes 24 address bits, so a
// 16-bit frame near the top of its map runs on above 0xFFFF.
std::uint32_t ByteAddress(std::uint32_t frameAddress, std::size_t i) {
  return (frameAddress + static_cast<std::uint32_t>(i)) & 0xffffff;
}

// A range of flash that no frame may touch, as bytes: first..last, both inside.
struct ProtectedRange {
  const char* name;
  bool empty;
  std::uint32_t first;
  std::uint32_t last;
};

}  // namespace

CIapDevice::CIapDevice(const SimConfig& config, const FaultPlan& faults)
    : m_config(config), m_faults(faults), m_command(ExpectedProgrammingCommand(config)) {}

std::uint32_t CIapDevice::CurrentBaud() const {
  return m_programming ? m_config.programBaud : m_config.handshakeBaud;
}

void CIapDevice::DropPartialMessage() {
  m_state = State::kIdle;
  m_partial.clear();
  m_expected = 0;
}

bool CIapDevice::IsFrameStart(std::uint8_t byte) const {
  if (!m_programming) return false;
  // In programming mode every binary message starts with its own length; only the
  // first character of the programming-mode command (the updater may start over)
  // begins a text instead, unless it is the length of this device's data frames.
  const int dataLength = m_config.recordSize + (m_config.address24 ? 6 : 5);
  return byte == dataLength || byte != m_command.front();
}

bool CIapDevice::Assemble(std::uint8_t byte) {
  switch (m_state) {
    case State::kIdle:
      if (byte == 0x00) return false;  // report padding or an idle line
      m_partial.assign(1, byte);
      if (IsFrameStart(byte)) {
        m_state = State::kFrame;
        m_expected = byte;
        return m_partial.size() >= m_expected;
      }
      m_state = State::kText;
      return byte == kCr;
    case State::kText:
      m_partial.push_back(byte);
      if (byte == kCr) return true;
      if (m_partial.size() >= std::max(kMaxTextLength, 2 * m_command.size())) {
        // Keep only a tail that could still end in the command.
        m_partial.erase(m_partial.begin(),
                        m_partial.end() - static_cast<std::ptrdiff_t>(m_command.size()));
      }
      return false;
    case State::kFrame:
      m_partial.push_back(byte);
      // Both end-of-file frames begin with 8; the 24-bit one is nine bytes long and
      // shows itself by its second byte (address 00 where the other has count 03).
      if (m_partial.size() == 2 && m_partial[0] == 0x08 && byte == 0x00) m_expected = 9;
      return m_partial.size() >= m_expected;
  }
  return false;
}

DeviceOutput CIapDevice::Complete(Link link) {
  const Bytes message = std::move(m_partial);
  const bool text = m_state == State::kText;
  DropPartialMessage();
  return text ? OnText(message) : OnFrame(message, link);
}

DeviceOutput CIapDevice::ReceiveByte(std::uint8_t byte) {
  if (m_hungUp || m_finished) return {};
  if (!Assemble(byte)) return {};
  return Complete(Link::kSerial);
}

DeviceOutput CIapDevice::ReceiveReport(const std::uint8_t* payload, std::size_t size) {
  if (m_hungUp || m_finished) return {};
  for (std::size_t i = 0; i < size; ++i) {
    if (Assemble(payload[i])) return Complete(Link::kUsb);
  }
  // Output reports shorter than the message: it goes on in the next report.
  return {};
}

DeviceOutput CIapDevice::Answer(SimMessage message, const char* text) const {
  DeviceOutput out;
  out.message = message;
  out.reply.assign(text, text + std::char_traits<char>::length(text));
  out.replyBaud = CurrentBaud();
  return out;
}

DeviceOutput CIapDevice::OnText(const Bytes& text) {
  // Whatever came before the command on the line (noise, the tail of something
  // else) does not keep the device from recognising it.
  const bool isCommand = text.size() >= m_command.size() &&
                         std::equal(m_command.begin(), m_command.end(),
                                    text.end() - static_cast<std::ptrdiff_t>(m_command.size()));
  if (!isCommand) return {SimMessage::kIgnored, {}, 0, false};
  if (m_silent) return {SimMessage::kProgrammingCommand, {}, 0, false};
  if (m_faults.noReady) {
    m_faultShown = true;
    return {SimMessage::kProgrammingCommand, {}, 0, false};
  }
  // The ready reply still goes out at the handshake speed; the programmer then
  // switches to its programming speed.
  DeviceOutput out = Answer(SimMessage::kProgrammingCommand, "#FH\r");
  m_programming = true;
  return out;
}

DeviceOutput CIapDevice::OnFrame(const Bytes& frame, Link link) {
  if (frame == kBaudCommand) {
    if (m_silent) return {SimMessage::kBaudCommand, {}, 0, false};
    if (m_faults.noBaudAck) {
      m_faultShown = true;
      return {SimMessage::kBaudCommand, {}, 0, false};
    }
    return Answer(SimMessage::kBaudCommand, "A\r");
  }
  if (frame == kEndOfFile16 || frame == kEndOfFile24) {
    m_frames.push_back(frame);
    m_finished = true;
    const bool frame24 = frame == kEndOfFile24;
    if (frame24 != m_config.address24) {
      m_errors.push_back(std::string("end-of-file frame of the ") + (frame24 ? "24" : "16") +
                         "-bit layout, but the device uses " + (m_config.address24 ? "24" : "16") +
                         "-bit addresses");
    }
    return {SimMessage::kEndOfFile, {}, 0, false};
  }
  m_frames.push_back(frame);
  return OnDataFrame(frame, ++m_dataFrames, link);
}

bool CIapDevice::CheckDataFrame(const Bytes& frame, std::uint32_t& address,
                                const std::uint8_t*& data) const {
  const std::size_t size = static_cast<std::size_t>(m_config.recordSize);
  std::uint8_t check = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i)
    check = static_cast<std::uint8_t>(check ^ frame[i]);
  if (frame.empty() || check != frame.back()) return false;
  if (m_config.address24) {
    if (frame.size() != size + 6 || frame[4] != size) return false;
    address = (std::uint32_t{frame[1]} << 16) | (std::uint32_t{frame[2]} << 8) | frame[3];
    data = frame.data() + 5;
  } else {
    if (frame.size() != size + 5 || frame[1] != size) return false;
    address = (std::uint32_t{frame[2]} << 8) | frame[3];
    data = frame.data() + 4;
  }
  return true;
}

std::string CIapDevice::Refusal(int number, std::uint32_t address, const std::uint8_t* data) const {
  const std::size_t size = static_cast<std::size_t>(m_config.recordSize);
  const std::string frame = "frame " + std::to_string(number) + " (" +
                            Hex(ByteAddress(address, 0)) + ".." +
                            Hex(ByteAddress(address, size - 1)) + ") refused: ";

  // The programmer's own code runs from IAPSTART up to IAPEND, the byte at IAPEND
  // being the application's again; the reserved range holds both its bounds. The
  // bounds are the configured values on 16-byte boundaries, as the updater reads
  // them. A row that merely reaches into a range is as bad as one inside it.
  const SimConfig& c = m_config;
  const ProtectedRange ranges[] = {
      {"the programmer's range IAPSTART..IAPEND", c.iapEnd <= c.iapStart, c.iapStart, c.iapEnd - 1},
      {"the reserved range INTSTART..INTEND", c.intEnd < c.intStart, c.intStart, c.intEnd},
  };
  std::string reasons;
  for (const ProtectedRange& range : ranges) {
    if (range.empty) continue;
    std::size_t hits = 0;
    std::uint32_t first = 0, last = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint32_t a = ByteAddress(address, i);
      if (a < range.first || a > range.last) continue;
      if (hits++ == 0) first = a;
      last = a;
    }
    if (hits == 0) continue;
    if (!reasons.empty()) reasons += "; ";
    reasons += Span(first, last) + (hits == 1 ? " lies in " : " lie in ") + range.name + " (" +
               Hex(range.first) + ".." + Hex(range.last) + ")";
  }
  if (!reasons.empty()) return frame + reasons;

  // Erased bytes (never written, or holding 0xFF) take any value; a programmed
  // byte takes only its own value again.
  std::size_t changed = 0;
  std::string first;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t a = ByteAddress(address, i);
    const std::uint8_t old = m_flash.Read(a);
    if (old == 0xff || old == data[i]) continue;
    if (changed++ == 0) {
      first = Hex(a) + " holds " + HexByte(old) + ", the frame would write " + HexByte(data[i]);
    }
  }
  if (changed == 0) return {};
  return frame + first + " (" + std::to_string(changed) + " programmed byte" +
         (changed == 1 ? "" : "s") + " would change)";
}

DeviceOutput CIapDevice::OnDataFrame(const Bytes& frame, int number, Link link) {
  if (m_faults.hangupAfter && number > *m_faults.hangupAfter) {
    m_faultShown = true;
    m_hungUp = true;
    DeviceOutput out;
    out.message = SimMessage::kDataFrame;
    out.hangUp = true;
    return out;
  }
  if (m_silent || (m_faults.silentAfter && number > *m_faults.silentAfter)) {
    m_faultShown = true;
    m_silent = true;
    return {SimMessage::kDataFrame, {}, 0, false};
  }
  if (m_faults.nak.count(number) != 0) {
    m_faultShown = true;
    return Answer(SimMessage::kDataFrame, "N\r");
  }
  if (m_faults.garbage.count(number) != 0) {
    m_faultShown = true;
    DeviceOutput out = Answer(SimMessage::kDataFrame, "");
    out.reply.assign(std::begin(kGarbageReply), std::end(kGarbageReply));
    return out;
  }
  std::uint32_t address = 0;
  const std::uint8_t* data = nullptr;
  if (!CheckDataFrame(frame, address, data)) return Answer(SimMessage::kDataFrame, "N\r");

  // A programmer must never be asked to overwrite its own code, the reserved
  // range beside it, or what it has already programmed: the frame is refused
  // whole and the run is marked failed.
  const std::string refusal = Refusal(number, address, data);
  if (!refusal.empty()) {
    m_errors.push_back(refusal);
    return Answer(SimMessage::kDataFrame, "N\r");
  }
  // Over USB the row at IAPEND is still the programmer's and the updater steps
  // over it; over the serial line it is the application's first row again. Its
  // bytes lie outside the range above, so it is written, but seeing it over USB
  // is a fault of the updater all the same.
  if (link == Link::kUsb && address == m_config.iapEnd && m_config.iapEnd >= m_config.iapStart) {
    m_errors.push_back("frame " + std::to_string(number) + " writes " + Hex(address) +
                       ", the row at IAPEND, which the USB programmer keeps for itself");
  }
  m_flash.Write(address, data, static_cast<std::size_t>(m_config.recordSize));
  ++m_accepted;
  return Answer(SimMessage::kDataFrame, "A\r");
}
