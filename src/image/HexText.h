#pragma once
// Hex digit helpers shared by the reader and the writers. Internal to the image
// builder.

#include <array>
#include <cstdint>
#include <vector>

namespace hextext {

// Value of one hex digit (either case), -1 for anything else.
inline constexpr std::array<std::int8_t, 256> kNibble = [] {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return t;
}();

// The byte that two characters (the first in the high 8 bits of the index)
// stand for, -1 when either is not a hex digit: one look-up a pair where the
// file is read.
inline const std::int16_t* PairTable() {
  static const std::vector<std::int16_t> table = [] {
    std::vector<std::int16_t> t(1u << 16);
    for (unsigned i = 0; i < t.size(); ++i) {
      const int h = kNibble[i >> 8], l = kNibble[i & 0xFF];
      t[i] = static_cast<std::int16_t>(h < 0 || l < 0 ? -1 : h * 16 + l);
    }
    return t;
  }();
  return table.data();
}

// The byte that two characters stand for; 0 when either is not a hex digit.
inline int PairValue(char hi, char lo) {
  const int h = kNibble[static_cast<unsigned char>(hi)];
  const int l = kNibble[static_cast<unsigned char>(lo)];
  return (h < 0 || l < 0) ? 0 : h * 16 + l;
}

inline constexpr char kLowerDigits[] = "0123456789abcdef";

// Writes value in lower-case hex with at least minDigits digits (as "%0Nx" does
// for an unsigned value) at out; returns the end. out needs room for 8 digits.
inline char* PutHex(char* out, std::uint32_t value, int minDigits) {
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  if (digits < minDigits) digits = minDigits;
  for (int i = digits - 1; i >= 0; --i) {
    *out++ = kLowerDigits[(value >> (4 * i)) & 0xF];
  }
  return out;
}

}  // namespace hextext
