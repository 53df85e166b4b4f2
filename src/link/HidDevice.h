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
  ~CHidDevice();
  CHidDevice(const CHidDevice&) = delete;
  CHidDevice& operator=(const CHidDevice&) = delete;

  // Searches anew (releasing what an earlier Open held) for a device with these
  // ids, a version number above 1 and report lengths the link can carry, and opens
  // its write and read handles. True when all of that succeeded.
  // With a selection set, only the device it names is considered.
  bool Open(std::uint32_t vendorId, std::uint32_t productId);
  // Which one of the devices with the configured ids Open takes: the one at path
  // (as the backend enumerates it), and when serial is given only if its USB
  // serial number is that (a unit unplugged and another plugged in at the same
  // path is not taken for it). Both empty: the first that fits, as always.
  struct Selection {
    std::string path;
    std::string serial;
  };
  void Select(Selection selection) { m_selection = std::move(selection); }
  const Selection& Selected() const { return m_selection; }
  bool IsOpen() const { return m_openFlag; }
  // The path and attributes of the device the last successful Open took (its
  // product and serial number strings among them); empty before any.
  const std::string& OpenedPath() const { return m_openedPath; }
  const HidAttributes& OpenedAttributes() const { return m_caps; }
  // Sends length bytes as consecutive output reports. False for length <= 0 or
  // when a report was not written in time (the write handle is then closed).
  bool WriteReports(const std::uint8_t* data, int length);
  // buffer: the caller's 65-byte reply area, cleared beforehand. Collects report
  // payloads up to and including a CR and a terminating zero. False when a report
  // did not come in time (the read handle is then closed) or when the line would
  // not fit the reply area.
  bool ReadLine(std::uint8_t* buffer, std::uint32_t& lastReportCount);
  // Closes the handles that are open; IsOpen keeps reporting the last Open.
  void Close();

  // The pauses between reports: the device's programmer takes reports faster when
  // it programs at 9600 baud. Off until set.
  void SetPacedFor9600(bool paced) { m_paced9600 = paced; }
  void SetLog(LogFn log) { m_log = std::move(log); }
  void SetAbort(const std::atomic<bool>* abort) { m_abort = abort; }
  void SetBackend(std::unique_ptr<IHidBackend> backend);
  void SetClock(IClock& clock) { m_clock = &clock; }

  static constexpr int kReplyArea = 65;
  static constexpr int kMaxOutputReport = 128;
  static constexpr int kMaxInputReport = 65;
  // What Open asks of a device with the configured ids, one rule each, so that
  // whoever explains why a device was passed over applies the same ones.
  // Version numbers 0 and 1 belong to devices that do not run the programmer.
  static constexpr std::uint16_t kLowestProgrammerVersion = 2;
  static bool RunsProgrammer(std::uint16_t versionNumber) {
    return versionNumber >= kLowestProgrammerVersion;
  }
  // One output report is assembled in a 128-byte buffer and must carry at least
  // one payload byte; one input report lands in a 65-byte buffer and must carry
  // at least one byte of the reply.
  static constexpr int kMinReport = 2;
  static bool InputLengthFits(int length) {
    return length >= kMinReport && length <= kMaxInputReport;
  }
  static bool OutputLengthFits(int length) {
    return length >= kMinReport && length <= kMaxOutputReport;
  }
  static constexpr int kWriteTimeoutMs = 2000;
  static constexpr int kReadTimeoutMs = 3000;

 private:
  void LogNumber(long value);
  // Waits until deadline in slices of at most kHidAbortSliceMs, watching the abort
  // flag between them. False when the wait ended for an abort.
  bool WaitUntilUnlessAborted(IClock::Time deadline);

  std::unique_ptr<IHidBackend> m_backend;
  IClock* m_clock;
  LogFn m_log;
  const std::atomic<bool>* m_abort = nullptr;
  bool m_openFlag = false;
  bool m_paced9600 = false;
  Selection m_selection;

  std::unique_ptr<IHidProbe> m_probe;
  std::unique_ptr<IHidWriteHandle> m_writeHandle;
  std::unique_ptr<IHidReadHandle> m_readHandle;
  HidAttributes m_caps;
  std::string m_openedPath;
  // The error code of the read time-out that closed the read handle: a read on
  // the closed handle waits out its time and reports it again.
  long m_readClosedError = 0;
  std::uint8_t m_receive[kMaxInputReport] = {};
  std::uint32_t m_lastReadCount = 0;
};
