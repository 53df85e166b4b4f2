#pragma once
// Raw HID access, one implementation per platform (hidapi on Linux, SetupAPI and
// the HID class library on Windows) plus a local-socket channel to the device
// simulator. CHidDevice keeps the behaviour; this finds devices and moves whole
// reports. Report lengths count the report-id byte, as Windows reports them, and
// every input report starts with its report id, as Windows' ReadFile returns it.
//
// Opening a device takes three steps, as on Windows: a probe handle on each
// candidate to read its attributes (and, for the one that matches, its report
// lengths), then a write handle and a read handle on the matching one. The write
// and read handles are closed independently: a write time-out ends writing, a
// read time-out ends reading, until the device is opened again.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
  std::uint16_t inputReportLength = 0;   // report id included
  std::uint16_t outputReportLength = 0;  // report id included
  // The USB product and serial number strings (UTF-8), where the system gives them:
  // what the service journal records of the unit.
  std::string product;
  std::string serial;
};

// Results of the waits below besides a count.
constexpr int kHidTimedOut = 0;
constexpr int kHidFailed = -1;
constexpr int kHidAborted = -2;  // *abort became true while waiting

// Waits in the channels are cut into slices of at most this many milliseconds, so
// that an abort (the window closing) is seen soon.
constexpr int kHidAbortSliceMs = 100;

inline bool HidAbortRequested(const std::atomic<bool>* abort) {
  return abort != nullptr && abort->load();
}

class IHidWriteHandle {
 public:
  virtual ~IHidWriteHandle() = default;
  // Writes one whole output report (report id first) and waits at most timeoutMs
  // for it to complete. Returns 1 written, kHidTimedOut, kHidFailed or kHidAborted.
  // A write that did not complete is cancelled before this returns.
  virtual int WriteReport(const std::uint8_t* report, int length, int timeoutMs,
                          const std::atomic<bool>* abort) = 0;
  // The platform's last error code, logged after a time-out.
  virtual long LastError() const = 0;
};

class IHidReadHandle {
 public:
  virtual ~IHidReadHandle() = default;
  // Reads one whole input report (report id first) into buffer (length bytes of
  // room, the input report length), waiting at most timeoutMs. Returns the byte
  // count, kHidTimedOut, kHidFailed or kHidAborted.
  virtual int ReadReport(std::uint8_t* buffer, int length, int timeoutMs,
                         const std::atomic<bool>* abort) = 0;
  // The platform's last error code, logged after a time-out.
  virtual long LastError() const = 0;
};

// The identity part of a device's attributes: vendor id, product id, version.
inline void CopyIdentity(const HidAttributes& from, HidAttributes& to) {
  to.vendorId = from.vendorId;
  to.productId = from.productId;
  to.versionNumber = from.versionNumber;
  to.product = from.product;
  to.serial = from.serial;
}

class IHidProbe {
 public:
  virtual ~IHidProbe() = default;
  // Vendor id, product id and version number.
  virtual bool GetAttributes(HidAttributes& attributes) = 0;
  // Input and output report lengths (report id included).
  virtual bool GetReportLengths(HidAttributes& attributes) = 0;
  // nullptr when the handle could not be opened.
  virtual std::unique_ptr<IHidWriteHandle> OpenWriteHandle() = 0;
  virtual std::unique_ptr<IHidReadHandle> OpenReadHandle() = 0;
};

class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  // Paths of the HID interfaces present now.
  virtual std::vector<std::string> Enumerate() = 0;
  // Opens the probe handle on path; nullptr when it cannot be opened.
  virtual std::unique_ptr<IHidProbe> OpenProbe(const std::string& path) = 0;
};

// hidapi / Win32, or the socket channel when IAP_HID_SOCKET names a socket.
std::unique_ptr<IHidBackend> MakePlatformHidBackend();
