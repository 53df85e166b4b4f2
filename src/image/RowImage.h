#pragma once
// The rows of the firmware image: one row of RowSize data bytes for each block of
// the device's address space that the file touches, 0xFF (erased flash) where the
// file gives nothing. Rows are what the device receives, one data frame each.
//
// A full 24-bit image has 16 Mi data bytes, so the rows are kept as planes, not
// as objects: every row's address; the rows laid out exactly as tmp.bin holds
// them (the length byte, three address bytes, the count byte, then the data
// bytes), so that the finished rows are the image that goes to the device,
// without a copy; and, only once the file has written a hex letter in lower
// case, one bit per hex character saying which were lower case. tmp.txt shows
// every byte with the case of the characters the file wrote it in, and fill as
// "FF".

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CRowImage {
 public:
  // The bytes in front of a row's data: length (count + 4), address high to low, count.
  static constexpr std::size_t kHead = 5;

  // No rows; the rows to come carry rowSize data bytes each.
  void Reset(int rowSize);
  // No rows, and the memory given back.
  void Release();

  int RowSize() const { return m_rowSize; }
  std::size_t Size() const { return m_address.size(); }
  bool Empty() const { return m_address.empty(); }
  std::uint32_t Address(std::size_t row) const { return m_address[row]; }
  const std::uint8_t* Data(std::size_t row) const { return m_rows.data() + row * Stride() + kHead; }
  // The row's data as tmp.txt shows it: two hex characters a byte; returns the end.
  char* PutHex(std::size_t row, char* out) const;
  std::string Hex(std::size_t row) const {
    std::string text(2 * static_cast<std::size_t>(m_rowSize), '\0');
    PutHex(row, text.data());
    return text;
  }
  // Whether the row holds nothing but fill as the file would write it ("FF").
  bool IsFill(std::size_t row) const;

  // A new row of fill at address, at the end.
  void AddRow(std::uint32_t address);
  // Puts n bytes at offset of row, taking the case of their characters from text
  // (2n hex characters; lowerSeen: whether any of them is a lower-case letter).
  void Put(std::size_t row, int offset, const std::uint8_t* bytes, int n, const char* text,
           bool lowerSeen);

  // The rows in a new order: row i of the result is row from[i] of these.
  void Permute(const std::vector<std::uint32_t>& from);
  // Rows of fill at the addresses `fills` first, then every row in its order but
  // the row `last` (kNone: none), which goes to the end. Done in place.
  static constexpr std::size_t kNone = ~std::size_t{0};
  void Arrange(const std::vector<std::uint32_t>& fills, std::size_t last);
  // Rows of 64 become two rows of 32 each, the second 32 above the first.
  void SplitIntoHalves();
  // Room for `rows` more rows without moving the planes (a guess: may throw).
  void Reserve(std::size_t rows);

  // The rows exactly as tmp.bin holds them, each row's length, address and count
  // in front of its data (a length, address or count that does not fit its
  // field is cut to it: such rows are refused before they are written).
  const std::vector<std::uint8_t>& Bytes() const { return m_rows; }
  // Hands those bytes over and is left without rows.
  std::vector<std::uint8_t> TakeBytes();

 private:
  std::size_t Stride() const { return kHead + static_cast<std::size_t>(m_rowSize); }
  std::size_t LowerStride() const { return (2 * static_cast<std::size_t>(m_rowSize) + 7) / 8; }
  bool LowerBit(std::size_t row, std::size_t character) const {
    return (m_lower[row * LowerStride() + character / 8] >> (character % 8)) & 1u;
  }
  // Writes the head of the row that starts at p.
  void PutHead(std::uint8_t* p, std::uint32_t address) const;

  int m_rowSize = 0;
  std::vector<std::uint32_t> m_address;
  std::vector<std::uint8_t> m_rows;
  // Row by row, LowerStride bytes: bit c says the row's hex character c was a
  // lower-case letter. Empty while the file has written none.
  std::vector<std::uint8_t> m_lower;
};
