#include "update/HidIapLink.h"

#include <string>

#include "update/RecordFrames.h"

LinkRules CHidIapLink::Rules() const {
  LinkRules rules;
  // Over HID the row at IAPEND belongs to the programmer.
  rules.iapEndProtected = true;
  rules.wrongRepliesTolerated = 0;
  rules.takesBaudCommand = true;
  rules.closesAfterEndOfFile = false;
  return rules;
}

bool CHidIapLink::SendCommand(const std::uint8_t* command, int n) {
  return m_device.WriteReports(command, n);
}

bool CHidIapLink::ReadReady() {
  // The reply area is not cleared between handshake replies: each ReadLine writes
  // its text from the start and terminates it.
  std::uint32_t count = 0;
  if (!m_device.ReadLine(m_reply.data(), count)) return false;
  return ReplyContains(m_reply.data(), m_reply.size(), kReadyReplyHid);
}

bool CHidIapLink::WriteBlock(const std::uint8_t* data, int length) {
  return m_device.WriteReports(data, length);
}

bool CHidIapLink::ReadReply(LinkReply& reply) {
  m_reply.fill(0);
  std::uint32_t count = 0;
  if (!m_device.ReadLine(m_reply.data(), count)) return false;
  reply.text = ReplyText(m_reply.data(), m_reply.size());
  reply.countLine = std::to_string(count);
  reply.acknowledged = ReplyContains(m_reply.data(), m_reply.size(), kAckReply);
  return true;
}
