#include "SRecordModel.h"

namespace srecmodel {

namespace {

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the hex part behind "Sx"; false for a line that is no record text.
bool Decode(std::string_view line, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (line.size() < 4 || line.size() % 2 != 0 || line[0] != 'S') return false;
  for (std::size_t i = 2; i < line.size(); i += 2) {
    const int hi = Nibble(line[i]), lo = Nibble(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

// Address bytes of a record type, 0 for no record type.
int AddressBytes(char type) {
  switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
      return 2;
    case '2':
    case '6':
    case '8':
      return 3;
    case '3':
    case '7':
      return 4;
    default:
      return 0;
  }
}

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::uint32_t AddressField(std::string_view line) {
  std::vector<std::uint8_t> bytes;
  const int n = line.size() >= 2 ? AddressBytes(line[1]) : 0;
  if (n == 0 || !Decode(line, bytes) || bytes.size() < static_cast<std::size_t>(n) + 1) return 0;
  std::uint32_t address = 0;
  for (int i = 1; i <= n; ++i) address = (address << 8) | bytes[static_cast<std::size_t>(i)];
  return address;
}

Reading Read(std::string_view text, std::uint32_t romHead, std::uint32_t topAddress,
             bool checkDevice) {
  Reading r;
  auto fault = [&r](std::size_t line, const char* what) {
    if (r.fault.empty()) r.fault = "line " + std::to_string(line) + ": " + what;
  };
  auto refuse = [&](std::size_t line, const char* what) {
    fault(line, what);
    return r;
  };
  bool complete = false;
  bool fitsDevice = true;
  std::size_t blankLine = 0, lineNumber = 0, lastRecord = 0, records = 0, dataRecords = 0;
  std::vector<std::uint8_t> bytes;
  bool ended = false, ctrlZ = false;
  for (std::string_view line : SplitLines(text)) {
    ++lineNumber;
    // 'S', type, count byte and at most 255 more bytes.
    if (line.size() > 4 + 2 * 255) return refuse(lineNumber, "longer than any record");
    if (IsBlank(line)) {
      if (blankLine == 0) blankLine = lineNumber;
      continue;
    }
    if (ctrlZ) return refuse(lineNumber, "a line after Ctrl-Z");
    if (line == "\x1A") {
      ctrlZ = true;
      continue;
    }
    if (ended) return refuse(lineNumber, "a record after the termination record");
    lastRecord = lineNumber;
    if (blankLine != 0) return refuse(blankLine, "blank line between records");
    const int addressBytes = line.size() >= 2 ? AddressBytes(line[1]) : 0;
    if (addressBytes == 0 || !Decode(line, bytes)) return refuse(lineNumber, "not a record");
    const std::size_t count = bytes[0];
    if (count != bytes.size() - 1 || count < static_cast<std::size_t>(addressBytes) + 1)
      return refuse(lineNumber, "count byte");
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    if ((sum & 0xFF) != 0xFF) return refuse(lineNumber, "checksum");
    std::uint64_t address = 0;
    for (int i = 1; i <= addressBytes; ++i)
      address = (address << 8) | bytes[static_cast<std::size_t>(i)];

    const char type = line[1];
    if (type == '7' || type == '8' || type == '9') {  // only blank lines and Ctrl-Z after it
      complete = ended = true;
      continue;
    }
    complete = type == '5' || type == '6';
    if (complete && address != dataRecords) return refuse(lineNumber, "count record");
    if (++records == 2 && address != romHead) {
      fitsDevice = false;
      fault(lineNumber, "second record not at ROMHEAD");
    }
    if (type != '1' && type != '2' && type != '3') continue;
    ++dataRecords;
    const std::size_t n = count - static_cast<std::size_t>(addressBytes) - 1;
    for (std::size_t k = 0; k < n; ++k) {
      if (address + k > topAddress) {
        fitsDevice = false;
        fault(lineNumber, "address beyond the device");
      }
      r.bytes[address + k] = bytes[static_cast<std::size_t>(addressBytes) + 1 + k];
    }
  }
  if (!complete) return refuse(lastRecord + 1, "cut off");
  r.wellFormed = true;
  r.acceptable = fitsDevice || !checkDevice;
  if (r.acceptable) r.fault.clear();
  return r;
}

void RepairRecords(std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::vector<std::uint8_t> bytes;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (Decode(line, bytes) && bytes.size() >= 2 && bytes.size() <= 256) {
      bytes[0] = static_cast<std::uint8_t>(bytes.size() - 1);
      unsigned sum = 0;
      for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
      bytes.back() = static_cast<std::uint8_t>(~sum);
      char* p = text.data() + start;
      for (std::size_t i : {std::size_t{0}, bytes.size() - 1}) {
        p[2 + 2 * i] = kDigits[bytes[i] >> 4];
        p[3 + 2 * i] = kDigits[bytes[i] & 0xF];
      }
    }
    start = end + 1;
  }
}

}  // namespace srecmodel
