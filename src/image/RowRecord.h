#pragma once
#include <cstdint>
#include <string>

// One row of the firmware image: one record size of data bytes for one block of
// the device's address space, fill bytes "FF" where the file gives none. Rows are
// what the device receives, one data frame each.
class RowRecord {
 public:
  void ClearRow() {
    length = 4;
    address = 0;
    count = 0;
    hexData.clear();
  }
  std::int32_t length = 4;   // count + 4: the bytes that follow the length byte in tmp.bin
  std::int32_t address = 0;  // address of the first data byte (24 bits used)
  std::int32_t count = 0;    // data bytes = hexData.size() / 2
  std::string hexData;       // two hex characters per byte, address order
};
