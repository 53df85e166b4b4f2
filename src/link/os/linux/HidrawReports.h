#pragma once
// What the hidraw HID channel does to make Linux reports look as they do on
// Windows: report lengths from the descriptor the kernel exposes in sysfs, and
// input reports with their report-id byte in front and at their full length.

#include <cstdint>
#include <string>

#include "link/os/HidReportDescriptor.h"

// devicePath "/dev/hidraw3" -> <sysfsRoot>/class/hidraw/hidraw3/device/report_descriptor
bool ReadHidrawReportLayout(const std::string& devicePath, HidReportLayout& layout,
                            const std::string& sysfsRoot = "/sys");

// Copies one input report as hidraw delivered it (got bytes in raw) into buffer
// the way Windows' ReadFile hands it over: a device that numbers no reports gets
// its report id 0 put back in front, and the report fills the whole input report
// length (zero-padded). Returns that length, the byte count Windows reports.
int ToWindowsInputReport(const std::uint8_t* raw, int got, bool numberedReports,
                         std::uint8_t* buffer, int length);
