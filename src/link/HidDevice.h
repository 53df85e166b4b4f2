#pragma once
// The link to a device that shows itself as a USB HID interface: found by vendor
// id, product id and a release number above 1; a block to send goes out as paced
// output reports (report id 0, zero padding); a reply is collected report by
// report up to and including its carriage return. It logs the byte count of each
// report read and the error code of a time-out, each as a bare number.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/Clock.h"
#include "link/os/HidChannel.h"

class CHidDevice {
 public:
  using LogFn = std::function<void(const std::string&)>;

  CHidDevice();  // the platform's HID backend (or the socket channel when IAP_HID_SOCKET is set)
  CHidDevice(std::unique_ptr<IHidBackend> backend, IClock& clock);
  virtual ~CHidDevice();
  CHidDevice(const CHidDevice&) = delete;
  CHidDevice& operator=(const CHidDevice&) = delete;

  bool Open(std::uint32_t vendorId, std::uint32_t productId);
  bool IsOpen() const { return m_openFlag; }
  bool WriteReports(const std::uint8_t* data, int length);
  // buffer: the caller's 65-byte reply area, cleared beforehand.
  bool ReadLine(std::uint8_t* buffer, std::uint32_t& lastReportCount);
  void Close();

  void SetLog(LogFn log) { m_log = std::move(log); }
  void SetAbort(const std::atomic<bool>* abort) { m_abort = abort; }
  void SetBackend(std::unique_ptr<IHidBackend> backend);
  void SetClock(IClock& clock) { m_clock = &clock; }

  static constexpr int kReplyArea = 65;

 private:
  std::unique_ptr<IHidBackend> m_backend;
  IClock* m_clock;
  LogFn m_log;
  const std::atomic<bool>* m_abort = nullptr;
  bool m_openFlag = false;
  // (the link helper owns the rest of the state: handles, report lengths, ...)
};
