#pragma once
// The update over USB HID: blocks go out as paced output reports, every reply is
// a line up to its CR collected report by report.

#include <array>
#include <cstdint>

#include "link/HidDevice.h"
#include "update/IapLink.h"

class CHidIapLink final : public IIapLink {
 public:
  // replyArea: the dialog's 65-byte reply area, which keeps the last reply.
  CHidIapLink(CHidDevice& device, std::array<std::uint8_t, CHidDevice::kReplyArea>& replyArea)
      : m_device(device), m_reply(replyArea) {}

  LinkRules Rules() const override;
  bool SendCommand(const std::uint8_t* command, int n) override;
  bool ReadReady() override;
  bool WriteBlock(const std::uint8_t* data, int length) override;
  bool ReadReply(LinkReply& reply) override;
  void Close() override { m_device.Close(); }

 private:
  CHidDevice& m_device;
  std::array<std::uint8_t, CHidDevice::kReplyArea>& m_reply;
};
