#pragma once
// The rows of the firmware image: one row of RowSize data bytes for each block of
// the device's address space that the file touches, 0xFF (erased flash) where the
// file gives nothing. Rows are what the device receives, one data frame each.
//
// A full 24-bit image has 16 Mi data bytes, so the rows are kept as planes, not
// as objects: every row's address, then all the data bytes (RowSize a row, in row
// order), and, only once the file has written a hex letter in lower case, one bit
// per hex character saying which were lower case. tmp.txt shows every byte with
// the case of the characters the file wrote it in, and fill as "FF".

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRowImage {
 public:
  // No rows; the rows to come carry rowSize data bytes each.
  void Reset(int rowSize) {
    m_rowSize = rowSize;
    m_address.clear();
    m_data.clear();
    m_lower.clear();
  }
  // Gives the memory back as well.
  void Release() {
    std::vector<std::uint32_t>().swap(m_address);
    std::vector<std::uint8_t>().swap(m_data);
    std::vector<std::uint8_t>().swap(m_lower);
  }

  int RowSize() const { return m_rowSize; }
  std::size_t Size() const { return m_address.size(); }
  bool Empty() const { return m_address.empty(); }
  std::uint32_t Address(std::size_t row) const { return m_address[row]; }
  const std::uint8_t* Data(std::size_t row) const { return m_data.data() + row * Stride(); }
  // The row's data as tmp.txt shows it: two hex characters a byte; returns the end.
  char* PutHex(std::size_t row, char* out) const;
  std::string Hex(std::size_t row) const {
    std::string text(2 * Stride(), '\0');
    PutHex(row, text.data());
    return text;
  }
  // Whether the row holds nothing but fill as the file would write it ("FF").
  bool IsFill(std::size_t row) const;

  // A new row of fill at address, at the end; its data bytes.
  std::uint8_t* AddRow(std::uint32_t address) {
    m_address.push_back(address);
    m_data.resize(m_data.size() + Stride(), 0xFF);
    if (!m_lower.empty()) m_lower.resize(m_lower.size() + LowerStride(), 0);
    return m_data.data() + (m_address.size() - 1) * Stride();
  }
  std::uint8_t* MutableData(std::size_t row) { return m_data.data() + row * Stride(); }
  // Puts n bytes at offset of row, taking the case of their characters from text
  // (2n hex characters; lowerSeen: whether any of them is a lower-case letter).
  void Put(std::size_t row, int offset, const std::uint8_t* bytes, int n, const char* text,
           bool lowerSeen);

  // The rows in a new order: row i of the result is row from[i] of these.
  void Permute(const std::vector<std::uint32_t>& from);
  // Rows of fill at the addresses `fills` first, then every row in its order but
  // the row `last` (kNone: none), which goes to the end.
  static constexpr std::size_t kNone = ~std::size_t{0};
  void Arrange(const std::vector<std::uint32_t>& fills, std::size_t last);
  // Rows of 64 become two rows of 32 each, the second 32 above the first; the
  // bytes stay where they are.
  void SplitIntoHalves();
  // Room for `rows` more rows without moving the planes (a guess: may throw).
  void Reserve(std::size_t rows);

 private:
  std::size_t Stride() const { return static_cast<std::size_t>(m_rowSize); }
  std::size_t LowerStride() const { return (2 * Stride() + 7) / 8; }
  bool LowerBit(std::size_t row, std::size_t character) const {
    return (m_lower[row * LowerStride() + character / 8] >> (character % 8)) & 1u;
  }

  int m_rowSize = 0;
  std::vector<std::uint32_t> m_address;
  std::vector<std::uint8_t> m_data;
  // Row by row, LowerStride bytes: bit c says the row's hex character c was a
  // lower-case letter. Empty while the file has written none.
  std::vector<std::uint8_t> m_lower;
};
