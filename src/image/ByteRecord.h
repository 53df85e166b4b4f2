#pragma once
#include <cstdint>
#include <string>

// One data byte of the firmware file: where it goes and its two hex characters as
// written in the file (never converted to a number here).
class ByteRecord {
 public:
  virtual ~ByteRecord() = default;
  std::string recordType;   // "S0".."S7", the first two characters of its line
  std::int32_t count = 0;   // always 1 in the records the reader makes
  std::int32_t address = 0; // 16- or 24-bit byte address
  std::string hexData;      // the two characters of the byte, case as written
};
