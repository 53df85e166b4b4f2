#include "link/os/linux/HidrawReports.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

bool ReadHidrawReportLayout(const std::string& devicePath, HidReportLayout& layout,
                            const std::string& sysfsRoot) {
  const std::size_t slash = devicePath.rfind('/');
  const std::string node = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
  if (node.empty()) return false;
  std::ifstream in(sysfsRoot + "/class/hidraw/" + node + "/device/report_descriptor",
                   std::ios::binary);
  if (!in) return false;
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  if (bytes.empty()) return false;
  return ParseHidReportDescriptor(bytes.data(), bytes.size(), layout);
}

int ToWindowsInputReport(const std::uint8_t* raw, int got, bool numberedReports,
                         std::uint8_t* buffer, int length) {
  if (length <= 0) return 0;
  const int skip = numberedReports ? 0 : 1;
  std::memset(buffer, 0, static_cast<std::size_t>(length));
  const int take = std::max(0, std::min(got, length - skip));
  std::memcpy(buffer + skip, raw, static_cast<std::size_t>(take));
  return length;
}
