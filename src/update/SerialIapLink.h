#pragma once
// The update over COM1..COM9: every byte its own write, replies read by count.

#include "link/SerialPort.h"
#include "update/IapLink.h"

class CSerialIapLink final : public IIapLink {
 public:
  explicit CSerialIapLink(CSerialPort& port) : m_port(port) {}

  LinkRules Rules() const override;
  bool SendCommand(const std::uint8_t* command, int n) override;
  bool ReadReady() override;
  bool WriteBlock(const std::uint8_t* data, int length) override;
  bool ReadReply(LinkReply& reply) override;
  void Close() override { m_port.Close(); }

 private:
  CSerialPort& m_port;
};
