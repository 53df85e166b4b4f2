#pragma once
// The device on a serial line: the master side of a pseudo-terminal whose slave
// the updater opens as its COM port. The updater opens the port at the handshake
// speed, closes it after the ready reply and opens it again at the programming
// speed; the front keeps the pty across those reopenings and sees only the bytes.

#include <string>

#include "sim/IapDevice.h"
#include "sim/SimFront.h"

class CPtySerialFront {
 public:
  CPtySerialFront(CIapDevice& device, const FrontOptions& options);
  ~CPtySerialFront();
  CPtySerialFront(const CPtySerialFront&) = delete;
  CPtySerialFront& operator=(const CPtySerialFront&) = delete;

  // Creates the pty, raw, 8 data bits. False with a reason when that fails.
  bool Open(std::string& error);
  // The tty the updater opens.
  const std::string& Path() const { return m_path; }
  // Serves the line until the update ends one way or another.
  FrontEnd Run();
  const TransferTiming& Timing() const { return m_timing; }

 private:
  // Takes one byte that arrived at `now`; false when the line is to be dropped.
  bool TakeByte(std::uint8_t byte, SimClock::time_point now);
  void SendReply(const Bytes& reply, std::uint32_t baud);
  // True when the updater closed the port since the last look.
  bool PortClosedSinceLastLook();
  void Close();

  CIapDevice& m_device;
  FrontOptions m_options;
  int m_master = -1;
  int m_closeWatch = -1;  // inotify on the slave: sees every close of the port
  std::string m_path;
  TransferTiming m_timing;
  CLineSchedule m_schedule;  // with pacing: when each byte is through
  SimClock::time_point m_messageStart{};
  SimClock::time_point m_lastByte{};
};
