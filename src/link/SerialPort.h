#pragma once
// The link to a device on COM1..COM9: opened at a given baud rate, bytes sent one
// write each, and three ways of reading (what has arrived, an exact count within a
// time limit, up to an "H" within a time limit). It logs nothing: every outcome
// goes back to the caller.

#include <atomic>
#include <cstdint>
#include <memory>

#include "link/Clock.h"
#include "link/os/SerialChannel.h"

class CSerialPort {
 public:
  CSerialPort();  // the platform's serial channel and the system clock
  CSerialPort(std::unique_ptr<ISerialChannel> channel, IClock& clock);
  ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  bool Open(int portNumber, int baudRate);
  void Close();
  bool IsOpen() const { return m_open; }
  int Write(const std::uint8_t* data, int length);
  int ReadAvailable(std::uint8_t* buffer, int maxLength);
  bool ReadExact(std::uint8_t* buffer, int count, int seconds);
  bool ReadUntilH(std::uint8_t* buffer, int maxCount, int seconds);

  // A timed read gives up early (false) once *abort is true: used when the window
  // closes during a transfer.
  void SetAbort(const std::atomic<bool>* abort) { m_abort = abort; }
  void SetChannel(std::unique_ptr<ISerialChannel> channel);
  void SetClock(IClock& clock) { m_clock = &clock; }

 private:
  std::unique_ptr<ISerialChannel> m_channel;
  IClock* m_clock;
  bool m_open = false;
  const std::atomic<bool>* m_abort = nullptr;
};
