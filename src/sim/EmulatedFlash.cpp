#include "sim/EmulatedFlash.h"

#include <cstdio>
#include <fstream>
#include <vector>

std::string SRecordLine(char type, std::uint32_t address, int addressBytes,
                        const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> body;
  body.push_back(static_cast<std::uint8_t>(addressBytes + data.size() + 1));
  for (int i = addressBytes - 1; i >= 0; --i) {
    body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  }
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t b : body) sum += b;
  body.push_back(static_cast<std::uint8_t>(~sum));
  std::string line = {'S', type};
  char hex[3];
  for (std::uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line + "\n";
}

void CEmulatedFlash::Write(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    m_bytes[(address + static_cast<std::uint32_t>(i)) & 0xffffff] = data[i];
  }
}

std::uint8_t CEmulatedFlash::Read(std::uint32_t address) const {
  const auto it = m_bytes.find(address);
  return it == m_bytes.end() ? 0xff : it->second;
}

std::string CEmulatedFlash::ToSRecords(bool address24) const {
  const int addressBytes = address24 ? 3 : 2;
  const char dataType = address24 ? '2' : '1';
  std::string text = SRecordLine('0', 0, 2, {'i', 'a', 'p', 's', 'i', 'm'});
  std::vector<std::uint8_t> line;
  std::uint32_t lineStart = 0;
  std::uint32_t next = 0;
  for (const auto& [address, value] : m_bytes) {
    // A new line at every gap and at every 16-byte boundary.
    if (!line.empty() && (address != next || address % 16 == 0)) {
      text += SRecordLine(dataType, lineStart, addressBytes, line);
      line.clear();
    }
    if (line.empty()) lineStart = address;
    line.push_back(value);
    next = address + 1;
  }
  if (!line.empty()) text += SRecordLine(dataType, lineStart, addressBytes, line);
  text += address24 ? SRecordLine('8', 0, 3, {}) : SRecordLine('9', 0, 2, {});
  return text;
}

bool CEmulatedFlash::WriteSRecordFile(const std::string& path, bool address24,
                                      std::string& error) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << ToSRecords(address24);
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}
