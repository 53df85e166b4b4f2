#include "link/os/HidReportDescriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

// Item types and tags of the short items that decide report sizes.
constexpr int kTypeMain = 0;
constexpr int kTypeGlobal = 1;
constexpr int kTagInput = 0x8;
constexpr int kTagOutput = 0x9;
constexpr int kTagReportSize = 0x7;
constexpr int kTagReportId = 0x8;
constexpr int kTagReportCount = 0x9;
constexpr int kTagPush = 0xA;
constexpr int kTagPop = 0xB;
constexpr std::uint8_t kLongItem = 0xFE;

struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

std::uint16_t ByteLength(const std::array<std::uint64_t, 256>& bits) {
  const std::uint64_t longest = *std::max_element(bits.begin(), bits.end());
  if (longest == 0) return 0;
  const std::uint64_t bytes = (longest + 7) / 8 + 1;
  return static_cast<std::uint16_t>(std::min<std::uint64_t>(bytes, 0xFFFF));
}

}  // namespace

bool ParseHidReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                              HidReportLayout& layout) {
  layout = HidReportLayout{};
  std::array<std::uint64_t, 256> inputBits{};
  std::array<std::uint64_t, 256> outputBits{};
  GlobalState global;
  std::vector<GlobalState> stack;
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t prefix = descriptor[i];
    if (prefix == kLongItem) {
      if (i + 1 >= size) return false;
      const std::size_t length = descriptor[i + 1];
      if (i + 3 + length > size) return false;
      i += 3 + length;
      continue;
    }
    const std::size_t dataSize = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + dataSize > size) return false;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < dataSize; ++k)
      value |= std::uint32_t{descriptor[i + 1 + k]} << (8 * k);
    const int type = (prefix >> 2) & 3;
    const int tag = prefix >> 4;
    i += 1 + dataSize;

    if (type == kTypeGlobal) {
      switch (tag) {
        case kTagReportSize:
          global.reportSize = value;
          break;
        case kTagReportCount:
          global.reportCount = value;
          break;
        case kTagReportId:
          global.reportId = value & 0xFF;
          layout.numberedReports = true;
          break;
        case kTagPush:
          stack.push_back(global);
          break;
        case kTagPop:
          if (!stack.empty()) {
            global = stack.back();
            stack.pop_back();
          }
          break;
        default:
          break;
      }
    } else if (type == kTypeMain && (tag == kTagInput || tag == kTagOutput)) {
      auto& bits = tag == kTagInput ? inputBits : outputBits;
      bits[global.reportId] += std::uint64_t{global.reportSize} * global.reportCount;
    }
  }
  layout.inputReportLength = ByteLength(inputBits);
  layout.outputReportLength = ByteLength(outputBits);
  return true;
}
