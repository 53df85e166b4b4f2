#pragma once
// Makers of S-record text, rows and device maps for the image tests.

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

// Every row as tmp.txt shows it, without the line ends.
inline std::string Show(const CRowImage& rows, std::size_t i) {
  char head[40];
  const auto count = static_cast<unsigned>(rows.RowSize());
  std::snprintf(head, sizeof head, "%02x-%06x-%02x-", count + 4, rows.Address(i), count);
  return head + rows.Hex(i);
}
inline std::vector<std::string> Show(const CRowImage& rows) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < rows.Size(); ++i) out.push_back(Show(rows, i));
  return out;
}

// Rows of size data bytes, as given: each its address and the text of its bytes
// (at most size of them, the rest fill), case kept.
inline void SetRows(CImageBuilder& b, int size,
                    const std::vector<std::pair<std::uint32_t, std::string>>& rows) {
  b.m_rows.Reset(size);
  for (const auto& [address, hex] : rows) {
    b.m_rows.AddRow(address);
    const std::string bytes = Bytes(hex);
    const bool lower = hex.find_first_of("abcdef") != std::string::npos;
    b.m_rows.Put(b.m_rows.Size() - 1, 0, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                 static_cast<int>(bytes.size()), hex.data(), lower);
  }
}

// A file of the header, one S1 record for each run of bytes (address, hex) in the
// order given, and the termination record.
inline std::string RunsFile(const std::vector<std::pair<unsigned, std::string>>& runs) {
  std::string file = std::string(kHeader) + "\n";
  for (const auto& [address, hex] : runs) file += S1(address, hex) + "\n";
  return file + "S9030000FC\n";
}

// Reads that file, ROMHEAD set to the first run's address.
inline bool ReadRuns(CImageBuilder& b, const std::vector<std::pair<unsigned, std::string>>& runs) {
  ActiveProfile.ROMHEAD = runs.front().first;
  const std::string file = RunsFile(runs);
  return b.ReadSRecordBytes(std::vector<std::uint8_t>(file.begin(), file.end()));
}

}  // namespace imagetest
