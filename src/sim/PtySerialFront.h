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
  // True when the port was let go since the last look: nobody had it open for a
  // moment, however quickly the updater opened it again.
  bool LineLetGoSinceLastLook();
  void Close();

  CIapDevice& m_device;
  FrontOptions m_options;
  int m_master = -1;
  int m_openWatch = -1;  // inotify on the slave: every open and close of the port
  int m_holders = 0;     // open descriptions of the port, as the watch counts them
  std::string m_path;
  TransferTiming m_timing;
  CLineSchedule m_schedule;  // with pacing: when each byte is through
  SimClock::time_point m_messageStart{};
  SimClock::time_point m_lastByte{};
};
