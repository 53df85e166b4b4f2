#include "update/RecordFrames.h"

#include <cstring>
#include <string_view>

Bytes ProgrammingModeCommand(const std::string& flashCmd) {
  if (flashCmd.empty() || flashCmd.back() != '#') return {};
  Bytes command(flashCmd.begin(), flashCmd.end());
  command.back() = 0x0D;
  return command;
}

Bytes BaudRateCommand() { return {0x03, 0x42, 0x01}; }

int RowStride(int recordSize) {
  switch (recordSize) {
    case 16:
    case 32:
    case 64:
      return recordSize + 5;
    default:
      return 0;
  }
}

std::uint32_t RowAddress(const std::uint8_t* row) {
  return (std::uint32_t{row[1]} << 16) | (std::uint32_t{row[2]} << 8) | std::uint32_t{row[3]};
}

std::uint8_t CheckByte(const std::uint8_t* data, std::size_t size) {
  std::uint8_t check = 0;
  for (std::size_t i = 0; i < size; ++i) check = static_cast<std::uint8_t>(check ^ data[i]);
  return check;
}

Bytes BuildDataFrame(const std::uint8_t* row, int recordSize, bool address24) {
  if (recordSize != 16 && recordSize != 32) return {};
  const auto size = static_cast<std::uint8_t>(recordSize);
  Bytes frame;
  frame.reserve(static_cast<std::size_t>(recordSize) + 6);
  if (address24) {
    // Length, address bits 23..0, count.
    frame = {static_cast<std::uint8_t>(size + 6), row[1], row[2], row[3], size};
  } else {
    // Length, count, address bits 15..0: the top address byte is not sent.
    frame = {static_cast<std::uint8_t>(size + 5), size, row[2], row[3]};
  }
  frame.insert(frame.end(), row + 5, row + 5 + recordSize);
  frame.push_back(CheckByte(frame.data(), frame.size()));
  return frame;
}

Bytes EndOfFileFrame(bool address24) {
  if (address24) return {0x08, 0x00, 0x00, 0x00, 0x04, 'E', 'O', 'F', 'G'};
  return {0x08, 0x03, 0x00, 0x00, 'E', 'O', 'F', 'G'};
}

bool ReplyContains(const std::uint8_t* reply, std::size_t size, const char* expected) {
  std::size_t textLength = 0;
  while (textLength < size && reply[textLength] != 0) ++textLength;
  const std::string_view text(reinterpret_cast<const char*>(reply), textLength);
  return text.find(expected) != std::string_view::npos;
}

std::string ReplyText(const std::uint8_t* reply, std::size_t size) {
  std::size_t length = 0;
  while (length < size && reply[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(reply), length);
}
