#pragma once
// Raw HID access, one implementation per platform (hidapi on Linux, SetupAPI and
// the HID class library on Windows) plus a local-socket channel to the device
// simulator. CHidDevice keeps the behaviour; this finds devices and moves whole
// reports. Report lengths count the report-id byte, as Windows reports them.

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
};

class IHidHandle {
 public:
  virtual ~IHidHandle() = default;
  // Writes one whole output report (report id first); waits at most timeoutMs.
  // Returns 1 written, 0 timed out, -1 failed.
  virtual int WriteReport(const std::uint8_t* report, int length, int timeoutMs) = 0;
  // Reads one whole input report (report id first) into buffer; waits at most
  // timeoutMs. Returns the byte count, 0 on time-out, -1 on failure.
  virtual int ReadReport(std::uint8_t* buffer, int length, int timeoutMs) = 0;
  // The platform's last error code, logged after a time-out.
  virtual long LastError() const = 0;
};

class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  // Paths of the HID interfaces present now.
  virtual std::vector<std::string> Enumerate() = 0;
  // Opens path and reads its attributes and report lengths; nullptr on failure.
  virtual std::unique_ptr<IHidHandle> Open(const std::string& path, HidAttributes& attributes) = 0;
};

// hidapi / Win32, or the socket channel when IAP_HID_SOCKET names a socket.
std::unique_ptr<IHidBackend> MakePlatformHidBackend();
