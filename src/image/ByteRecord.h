#pragma once
#include <cstdint>
#include <string_view>

// One data byte of the firmware file: where it goes and its two hex characters as
// written in the file (never converted to a number here).
//
// A firmware image makes one of these per data byte (16 Mi of them for a full
// 24-bit image), so the record is packed into 8 bytes: the texts are short
// character fields (unused characters are 0) and the address keeps the 24 bits
// that the device's address space has.
struct ByteRecord {
  char recordType[2] = {0, 0};     // "S0".."S7", the first two characters of its line
  char hexData[2] = {0, 0};        // the byte's two characters, case as written; fewer
                                   // when the line ends inside the byte
  std::uint32_t address : 24 = 0;  // 16- or 24-bit byte address
  std::uint32_t count : 8 = 0;     // always 1 in the records the reader makes

  std::string_view RecordType() const { return Field(recordType); }
  std::string_view HexData() const { return Field(hexData); }
  void SetRecordType(std::string_view text) { SetField(recordType, text); }
  void SetHexData(std::string_view text) { SetField(hexData, text); }
  void SetAddress(std::int64_t value) { address = static_cast<std::uint32_t>(value) & 0xFFFFFFu; }

 private:
  static std::string_view Field(const char (&f)[2]) {
    return std::string_view(f, f[0] == 0 ? 0 : (f[1] == 0 ? 1 : 2));
  }
  static void SetField(char (&f)[2], std::string_view text) {
    f[0] = text.size() > 0 ? text[0] : 0;
    f[1] = text.size() > 1 ? text[1] : 0;
  }
};
