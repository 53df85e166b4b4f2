#pragma once
// Raw serial I/O, one implementation per platform (termios on POSIX, overlapped
// Win32 calls on Windows). CSerialPort keeps the behaviour; this only moves bytes.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

// Why a port did not open, as far as the operating system said.
enum class SerialOpenFault { kNone, kNotFound, kBusy, kPermission, kNotSerial, kOther };

struct SerialOpenError {
  SerialOpenFault fault = SerialOpenFault::kNone;
  std::string message;  // the system's own words (on Windows with the error code)
};

// The device COM<portNumber> stands for: the device bound to it in this process
// when there is one; else on POSIX the path in IAP_COM<n> when that is set, else the
// one the user's port map names (link/os/posix/PortMap.h), else /dev/ttyS<n-1>; on
// Windows "\\.\COM<n>".
std::string SerialDevicePath(int portNumber);

class ISerialChannel {
 public:
  virtual ~ISerialChannel() = default;
  // Opens COM<portNumber> exclusively, raw 8 data bits at baud, both queues empty:
  // the device SerialDevicePath names for it, or the one given to SetDevice.
  virtual bool Open(int portNumber, int baud) = 0;
  // Makes every later Open of this channel open path, whatever the COM number
  // (one unit of a station, each on its own adapter); empty: SerialDevicePath's.
  void SetDevice(std::string path) { m_device = std::move(path); }
  // The device Open opens for COM<portNumber>.
  std::string DeviceFor(int portNumber) const {
    return m_device.empty() ? SerialDevicePath(portNumber) : m_device;
  }
  // Why the last Open failed.
  virtual SerialOpenError LastOpenError() const { return {SerialOpenFault::kOther, {}}; }
  virtual void Close() = 0;
  // Writes one byte, waiting at most timeoutMs for it to complete. False when the
  // write failed or did not complete in time. A write that did not complete is
  // left to finish on its own; it is never disturbed by the next one.
  virtual bool WriteByte(std::uint8_t byte, int timeoutMs) = 0;
  // Bytes waiting in the input queue; -1 on error.
  virtual int BytesWaiting() = 0;
  // Reads up to n of the waiting bytes without blocking; the count, or -1 on error.
  virtual int Read(std::uint8_t* buffer, int n) = 0;
  // Waits at most timeoutMs for input to arrive (or for the line to fail), so the
  // timed reads need not spin. It may return early; the caller looks again.
  virtual void WaitForInput(int timeoutMs) = 0;

 private:
  std::string m_device;
};

std::unique_ptr<ISerialChannel> MakePlatformSerialChannel();

// Makes COM<portNumber> stand for path in this process, before any other choice
// (iapflash --port). The path is used as given: a device path on POSIX, a name
// such as "\\.\COM12" on Windows.
void BindSerialDevice(int portNumber, std::string path);
std::optional<std::string> BoundSerialDevice(int portNumber);
