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

bool CIapDevice::Protected(std::uint32_t address, Link link) const {
  // Over USB the row at IAPEND is still the programmer's; over the serial line it
  // is the application's first row again and gets written. The reserved range
  // takes in the row at INTEND on both.
  const bool inIap = address >= m_config.iapStart &&
                     (link == Link::kUsb ? address <= m_config.iapEnd : address < m_config.iapEnd);
  const bool inInt = address >= m_config.intStart && address <= m_config.intEnd;
  return inIap || inInt;
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

  // A programmer must never be asked to overwrite its own code or the reserved
  // range beside it: the updater steps over both. The frame is taken as the
  // protocol demands, but the run is marked failed.
  if (Protected(address, link)) {
    m_errors.push_back("frame " + std::to_string(number) + " writes " + Hex(address) +
                       ", inside a protected range");
  }
  m_flash.Write(address, data, static_cast<std::size_t>(m_config.recordSize));
  ++m_accepted;
  return Answer(SimMessage::kDataFrame, "A\r");
}
