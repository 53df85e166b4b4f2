#pragma once
// Report lengths from a HID report descriptor, computed the way Windows fills in
// its capabilities record: for each direction, the longest report (over all report
// ids) in whole bytes plus one byte for the report id, which is counted even when
// the device numbers no reports. A direction without any report has length 0.

#include <cstddef>
#include <cstdint>

struct HidReportLayout {
  std::uint16_t inputReportLength = 0;   // report id included
  std::uint16_t outputReportLength = 0;  // report id included
  bool numberedReports = false;          // the descriptor declares report ids
};

// False when the descriptor is cut off in the middle of an item.
bool ParseHidReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                              HidReportLayout& layout);
