#include "image/RowImage.h"

#include <array>
#include <cstring>

namespace {

// The two upper-case hex characters of every byte value.
constexpr std::array<char, 512> kUpperPairs = [] {
  constexpr char digits[] = "0123456789ABCDEF";
  std::array<char, 512> t{};
  for (int v = 0; v < 256; ++v) {
    t[2 * v] = digits[v >> 4];
    t[2 * v + 1] = digits[v & 15];
  }
  return t;
}();

}  // namespace

char* CRowImage::PutHex(std::size_t row, char* out) const {
  const std::uint8_t* data = Data(row);
  const std::size_t n = Stride();
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(out + 2 * i, &kUpperPairs[2 * std::size_t{data[i]}], 2);
  }
  if (!m_lower.empty()) {
    // Only the letters the file wrote in lower case have their bit set.
    for (std::size_t c = 0; c < 2 * n; ++c) {
      if (LowerBit(row, c)) out[c] = static_cast<char>(out[c] | 0x20);
    }
  }
  return out + 2 * n;
}

bool CRowImage::IsFill(std::size_t row) const {
  const std::uint8_t* data = Data(row);
  for (std::size_t i = 0; i < Stride(); ++i) {
    if (data[i] != 0xFF) return false;
  }
  if (m_lower.empty()) return true;
  const std::uint8_t* bits = m_lower.data() + row * LowerStride();
  return std::all_of(bits, bits + LowerStride(), [](std::uint8_t b) { return b == 0; });
}

void CRowImage::Put(std::size_t row, int offset, const std::uint8_t* bytes, int n, const char* text,
                    bool lowerSeen) {
  std::memcpy(MutableData(row) + offset, bytes, static_cast<std::size_t>(n));
  if (!lowerSeen && m_lower.empty()) return;
  if (m_lower.empty()) m_lower.assign(Size() * LowerStride(), 0);
  // The bytes' characters take the case they were written in now, whatever an
  // earlier record wrote at the same addresses.
  std::uint8_t* bits = m_lower.data() + row * LowerStride();
  for (std::size_t c = 2 * static_cast<std::size_t>(offset), k = 0; k < 2 * std::size_t(n);
       ++c, ++k) {
    const auto mask = static_cast<std::uint8_t>(1u << (c % 8));
    if (text[k] >= 'a') {
      bits[c / 8] |= mask;
    } else {
      bits[c / 8] &= static_cast<std::uint8_t>(~mask);
    }
  }
}

namespace {

// New planes for the rows that source(i, put) puts one by one: put(from) for
// row from of the old planes, put(kNone, address) for a row of fill.
template <class Source>
void Rebuild(std::size_t rows, std::size_t stride, std::size_t lowerStride,
             std::vector<std::uint32_t>& address, std::vector<std::uint8_t>& data,
             std::vector<std::uint8_t>& lower, Source source) {
  std::vector<std::uint32_t> newAddress;
  std::vector<std::uint8_t> newData, newLower;
  newAddress.reserve(rows);
  newData.resize(rows * stride);
  if (!lower.empty()) newLower.resize(rows * lowerStride);
  std::size_t i = 0;
  source([&](std::size_t from, std::uint32_t fillAddress) {
    std::uint8_t* to = newData.data() + i * stride;
    if (from == CRowImage::kNone) {
      newAddress.push_back(fillAddress);
      std::memset(to, 0xFF, stride);
    } else {
      newAddress.push_back(address[from]);
      std::memcpy(to, data.data() + from * stride, stride);
      if (!newLower.empty()) {
        std::memcpy(newLower.data() + i * lowerStride, lower.data() + from * lowerStride,
                    lowerStride);
      }
    }
    ++i;
  });
  // The old planes go at once, before anything else is asked for.
  address.swap(newAddress);
  data.swap(newData);
  lower.swap(newLower);
}

}  // namespace

void CRowImage::Permute(const std::vector<std::uint32_t>& from) {
  Rebuild(from.size(), Stride(), LowerStride(), m_address, m_data, m_lower, [&](auto put) {
    for (std::uint32_t row : from) put(row, 0);
  });
}

void CRowImage::Arrange(const std::vector<std::uint32_t>& fills, std::size_t last) {
  Rebuild(fills.size() + Size(), Stride(), LowerStride(), m_address, m_data, m_lower,
          [&](auto put) {
            for (std::uint32_t a : fills) put(kNone, a);
            for (std::size_t row = 0; row < Size(); ++row) {
              if (row != last) put(row, 0);
            }
            if (last != kNone) put(last, 0);
          });
}

void CRowImage::SplitIntoHalves() {
  std::vector<std::uint32_t> address;
  address.reserve(2 * m_address.size());
  for (std::uint32_t a : m_address) {
    address.push_back(a);
    address.push_back(a + 32);
  }
  m_address.swap(address);
  // The data bytes and the case bits (128 bits, 16 whole bytes a row of 64) are
  // already in the halves' order.
  m_rowSize = 32;
}

void CRowImage::Reserve(std::size_t rows) {
  m_address.reserve(Size() + rows);
  m_data.reserve(m_data.size() + rows * Stride());
}
