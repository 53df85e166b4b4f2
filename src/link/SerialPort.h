#pragma once
// The link to a device on COM1..COM9: opened at a given baud rate, bytes sent one
// write each, and three ways of reading (what has arrived, an exact count within a
// time limit, up to an "H" within a time limit). It logs nothing: every outcome
// goes back to the caller.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "link/Clock.h"
#include "link/os/SerialChannel.h"

class CSerialPort {
 public:
  CSerialPort();  // the platform's serial channel and the system clock
  CSerialPort(std::unique_ptr<ISerialChannel> channel, IClock& clock);
  ~CSerialPort();
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // True when the port is open afterwards. On a port that is already open it
  // changes nothing, not even the baud rate.
  bool Open(int portNumber, int baudRate);
  void Close();
  bool IsOpen() const { return m_open; }
  // Why the last Open failed.
  SerialOpenError LastOpenError() const;
  // Sends length bytes, one write each. Returns length; 0 (nothing sent) on a closed
  // link or for length <= 0; -1 when a byte could not be written within its time,
  // in which case the bytes after it are not sent.
  int Write(const std::uint8_t* data, int length);
  // Copies up to maxLength of the bytes already received; the count, 0 for none.
  int ReadAvailable(std::uint8_t* buffer, int maxLength);
  // Collects count bytes within the given whole seconds.
  bool ReadExact(std::uint8_t* buffer, int count, int seconds);
  // Collects bytes up to and including an "H", at most maxCount of them, within the
  // given whole seconds. Bytes after the "H" stay queued.
  bool ReadUntilH(std::uint8_t* buffer, int maxCount, int seconds);

  // A timed read gives up early (false) once *abort is true: used when the window
  // closes during a transfer.
  void SetAbort(const std::atomic<bool>* abort) { m_abort = abort; }
  void SetChannel(std::unique_ptr<ISerialChannel> channel);
  // The device every later Open opens, whatever its COM number (a station's unit
  // on its own adapter); empty for the one the COM number stands for. Kept across
  // SetChannel.
  void SetDevice(std::string path);
  // The device Open opens for COM<portNumber>.
  std::string DeviceFor(int portNumber) const;
  void SetClock(IClock& clock) { m_clock = &clock; }

  static constexpr int kWriteWaitMs = 1000;  // how long one byte's write is waited for
  static constexpr int kPollSliceMs = 100;   // longest wait for input between two looks

 private:
  bool Aborted() const { return m_abort != nullptr && m_abort->load(); }

  std::unique_ptr<ISerialChannel> m_channel;
  std::string m_device;
  IClock* m_clock;
  // Why Open refused before asking the channel, if it did.
  std::optional<SerialOpenError> m_refusal;
  bool m_open = false;
  const std::atomic<bool>* m_abort = nullptr;
};
