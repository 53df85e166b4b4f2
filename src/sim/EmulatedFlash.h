#pragma once
// The device's flash as the programmer fills it: every byte that a data frame
// wrote, by address. Bytes never written read as erased (0xFF) and are left out
// of the image. A later write to the same address replaces the earlier one.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/SimConfig.h"

// One S-record line: type, count, address of addressBytes bytes, data, checksum
// (ones' complement of the sum of count, address and data bytes), upper-case hex.
std::string SRecordLine(char type, std::uint32_t address, int addressBytes,
                        const std::vector<std::uint8_t>& data);

class CEmulatedFlash {
 public:
  void Write(std::uint32_t address, const std::uint8_t* data, std::size_t size);
  bool IsWritten(std::uint32_t address) const { return m_bytes.count(address) != 0; }
  std::uint8_t Read(std::uint32_t address) const;
  std::size_t WrittenCount() const { return m_bytes.size(); }
  const std::map<std::uint32_t, std::uint8_t>& Bytes() const { return m_bytes; }

  // The written bytes as Motorola S-records: an S0 header, then S1 lines (16-bit
  // addresses) or S2 lines (24-bit), at most 16 data bytes each, never crossing a
  // 16-byte boundary, and the S9 or S8 end line.
  std::string ToSRecords(bool address24) const;
  bool WriteSRecordFile(const std::string& path, bool address24, std::string& error) const;

 private:
  std::map<std::uint32_t, std::uint8_t> m_bytes;
};
