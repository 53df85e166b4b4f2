#pragma once
// Makers of S-record text, byte lists, rows and device maps for the image tests.

#include <cstdio>
#include <string>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

namespace imagetest {

inline std::string Hex2(int v) {
  char p[3];
  std::snprintf(p, sizeof p, "%02X", v & 0xFF);
  return p;
}
inline std::string F(int n) { return std::string(2 * static_cast<std::size_t>(n), 'F'); }
// n bytes counting up from first, upper case.
inline std::string Seq(int first, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += Hex2(first + i);
  return s;
}
// The bytes that a text of hex pairs stands for.
inline std::string Bytes(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// An S-record line with a correct count byte and checksum; data is kept as given.
inline std::string SLine(char type, int addressBytes, unsigned address, const std::string& data) {
  std::string head = Hex2(static_cast<int>(data.size() / 2) + addressBytes + 1);
  for (int i = addressBytes - 1; i >= 0; --i) head += Hex2(static_cast<int>(address >> (8 * i)));
  int sum = 0;
  for (char c : Bytes(head + data)) sum += static_cast<unsigned char>(c);
  return std::string("S") + type + head + data + Hex2(~sum);
}
inline std::string S1(unsigned a, const std::string& d) { return SLine('1', 2, a, d); }
inline std::string S2(unsigned a, const std::string& d) { return SLine('2', 3, a, d); }
inline constexpr char kHeader[] = "S00600004844521B";  // "HDR"

inline void SetMap(int recordSize, unsigned romHead, unsigned romTail, unsigned pageSize = 0x200,
                   unsigned iapMark = 0x8400) {
  ActiveProfile = DeviceMap{};
  ActiveProfile.recordSize = static_cast<std::uint8_t>(recordSize);
  ActiveProfile.ROMHEAD = romHead;
  ActiveProfile.ROMTAIL = romTail;
  ActiveProfile.PAGESIZE = pageSize;
  ActiveProfile.IAPMARK = iapMark;
}

// A row as tmp.txt shows it, without the line end.
inline std::string Show(const RowRecord& r) {
  char head[40];
  std::snprintf(head, sizeof head, "%02x-%06x-%02x-", static_cast<unsigned>(r.length),
                static_cast<unsigned>(r.address), static_cast<unsigned>(r.count));
  return head + r.hexData;
}
inline std::vector<std::string> Show(const RowList& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(Show(r));
  return out;
}

// Byte records for consecutive addresses from address.
inline void AddBytes(CImageBuilder& b, unsigned address, const std::string& hex) {
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    ByteRecord r;
    r.SetRecordType("S1");
    r.count = 1;
    r.SetAddress(address + i / 2);
    r.SetHexData(hex.substr(i, 2));
    b.m_byteList.push_back(r);
  }
}

inline RowRecord Row(std::int32_t address, const std::string& hex) {
  RowRecord r;
  r.address = address;
  r.hexData = hex;
  r.count = static_cast<std::int32_t>(hex.size() / 2);
  r.length = r.count + 4;
  return r;
}

}  // namespace imagetest
