#pragma once
// A log line as the log's list shows it. Lines that quote the device's reply keep
// the bytes it sent, down to the carriage return that ends each answer ("...\r"),
// and the log keeps them so. A list box would draw that CR, or the LF of a reply
// that ends a line, as a box glyph after the text: the control characters that end
// a line are drawn as nothing. Everything before them is shown as it was logged.

#include <string>
#include <string_view>

inline std::string LogLineShown(std::string_view logged) {
  std::size_t end = logged.size();
  while (end > 0) {
    const auto c = static_cast<unsigned char>(logged[end - 1]);
    if (c >= 0x20 && c != 0x7F) break;
    --end;
  }
  return std::string(logged.substr(0, end));
}
