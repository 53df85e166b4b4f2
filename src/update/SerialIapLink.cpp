#include "update/SerialIapLink.h"

#include <cstdint>

#include "update/RecordFrames.h"

namespace {

constexpr int kCommandWrites = 10;
constexpr int kReadyReplyMax = 30;  // bytes looked at for the 'H' of "#FH"
constexpr int kReadyReplySeconds = 2;
constexpr int kAckBytes = 2;  // "A" CR
constexpr int kAckSeconds = 8;

}  // namespace

LinkRules CSerialIapLink::Rules() const {
  LinkRules rules;
  // Over serial the row at IAPEND is the first row of the application again.
  rules.iapEndProtected = false;
  rules.wrongRepliesTolerated = 2;
  // The serial programmer takes no baud-rate command: the link itself moves to
  // the programming rate between the ready reply and the first frame.
  rules.takesBaudCommand = false;
  rules.closesAfterEndOfFile = true;
  return rules;
}

bool CSerialIapLink::SendCommand(const std::uint8_t* command, int n) {
  for (int write = 0; write < kCommandWrites; ++write) {
    if (m_port.Write(command, n) == n) break;
  }
  // Whether or not a write went whole, the reply decides.
  return true;
}

bool CSerialIapLink::ReadReady() {
  // Two bytes more than are looked at, so the text always ends in a zero.
  std::uint8_t reply[kReadyReplyMax + 2] = {};
  if (!m_port.ReadUntilH(reply, kReadyReplyMax, kReadyReplySeconds)) return false;
  return ReplyContains(reply, sizeof reply, kReadyReplySerial);
}

bool CSerialIapLink::WriteBlock(const std::uint8_t* data, int length) {
  // Nothing the device sends before a frame can answer it. Bytes still waiting now
  // are stale: the CR behind the ready reply "#FH" can reach the port after it was
  // reopened at the programming baud rate, and would shift every acknowledgement
  // to CR "A". Drop them so each reply is read from its first byte.
  std::uint8_t stale[64];
  while (m_port.ReadAvailable(stale, sizeof stale) > 0) {
  }
  return m_port.Write(data, length) == length;
}

bool CSerialIapLink::ReadReply(LinkReply& reply) {
  std::uint8_t bytes[32] = {};
  if (!m_port.ReadExact(bytes, kAckBytes, kAckSeconds)) return false;
  reply.text = ReplyText(bytes, sizeof bytes);
  reply.countLine.clear();
  reply.acknowledged = ReplyContains(bytes, sizeof bytes, kAckReply);
  return true;
}
