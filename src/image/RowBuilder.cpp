// Byte list -> row list.
//
// A row gathers the consecutive byte records that fall into one block of the
// record size (the addresses that agree under the mask 0x1000000 - s); a byte in
// another block closes the row and opens the next one. A closed row is completed
// to one record size with the fill byte "FF" (erased flash) by PadRow's rule.
//
// Every byte is placed at its own address inside the row, whatever order the
// file gives the bytes of a block in: a byte that goes back below the bytes
// gathered so far moves the row's start down, and a later byte for the same
// address replaces the earlier one. A row therefore never holds more than the
// block it covers, and its characters always line up with its addresses. A byte
// whose line ended inside it (fewer than two characters) leaves fill at its place.

#include <algorithm>
#include <cstring>
#include <new>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

namespace {

struct PadShape {
  std::int64_t address;  // the completed row's address
  std::int64_t before;   // fill bytes put in front
  std::int64_t after;    // fill bytes put behind
  bool wholeBlock;       // the row lay inside its block and becomes exactly that block
};

// PadRow's rule for a row at address holding count data bytes.
PadShape ShapeOf(std::int64_t address, std::int64_t count, int s) {
  if (s <= 0 || count % s == 0) return {address, 0, 0, false};
  const std::int64_t missing = s - count % s;
  const std::int64_t front = address & (s - 1);
  if ((address & 0xF) == 0) return {address, 0, missing, false};  // keeps its start, runs on
  if (front + count < s) return {address - front, front, s - front - count, true};
  return {address - missing, missing, 0, false};  // ends at its block's end
}

bool PowerOfTwo(int s) { return s > 0 && (s & (s - 1)) == 0; }

}  // namespace

RowRecord CImageBuilder::RowFromByte(const ByteRecord& b) const {
  RowRecord r;
  r.ClearRow();
  r.address = static_cast<std::int32_t>(b.address);
  r.count = b.count > 4 ? static_cast<std::int32_t>(b.count) - 4 : 0;
  r.hexData = b.HexData();
  return r;
}

void CImageBuilder::PadRow(RowRecord& r) const {
  const int s = ActiveProfile.recordSize;
  const PadShape shape = ShapeOf(r.address, r.count, s);
  if (shape.before == 0 && shape.after == 0 && !shape.wholeBlock) return;
  const auto before = static_cast<std::size_t>(shape.before);
  const auto after = static_cast<std::size_t>(shape.after);
  r.hexData.insert(0, 2 * before, 'F');
  r.hexData.append(2 * after, 'F');
  const std::int32_t grown = static_cast<std::int32_t>(shape.before + shape.after);
  if (shape.wholeBlock) {
    r.count = s;
    r.length = s + 4;
  } else {
    r.count += grown;
    r.length += grown;
  }
  r.address = static_cast<std::int32_t>(shape.address);
}

bool CImageBuilder::BuildRowList() {
  m_rowList.clear();
  if (m_byteList.empty()) {
    Box(kRowListErrorBox);
    return false;
  }
  try {
    const int s = ActiveProfile.recordSize;
    const std::uint32_t mask = (0x1000000u - static_cast<std::uint32_t>(s)) & 0xFFFFFFu;
    const ByteRecord* const bytes = m_byteList.data();
    const std::size_t total = m_byteList.size();
    // A file without holes makes one row per record size of bytes.
    if (s > 0) m_rowList.reserve(total / static_cast<std::size_t>(s) + 2);

    // The row for the bytes [from, to), all in one block, lowest address lo and
    // highest hi; inOrder when each byte follows the one before.
    auto emit = [&](std::size_t from, std::size_t to, std::uint32_t lo, std::uint32_t hi,
                    bool inOrder) {
      const std::int64_t count = std::int64_t{hi} - lo + 1;
      const PadShape shape = ShapeOf(lo, count, s);
      const auto before = static_cast<std::size_t>(shape.before);
      const auto rowBytes = static_cast<std::size_t>(shape.before + count + shape.after);
      RowRecord row;
      row.address = static_cast<std::int32_t>(shape.address);
      row.count = static_cast<std::int32_t>(rowBytes);
      row.length = row.count + 4;
      row.hexData.assign(2 * rowBytes, 'F');  // fill wherever no byte lands
      char* text = row.hexData.data() + 2 * before;
      if (inOrder) {
        for (std::size_t i = from; i < to; ++i)
          std::memcpy(text + 2 * (i - from), bytes[i].hexData, 2);
        // A short byte (its line ended inside it) left a 0 character: fill instead.
        const auto chars = static_cast<std::size_t>(2 * count);
        if (std::memchr(text, 0, chars) != nullptr) {
          for (std::size_t c = 0; c < chars; c += 2) {
            if (text[c] == 0 || text[c + 1] == 0) text[c] = text[c + 1] = 'F';
          }
        }
      } else {
        // Each byte goes to its own place, the last one for an address staying.
        for (std::size_t i = from; i < to; ++i) {
          char* at = text + 2 * std::size_t{bytes[i].address - lo};
          const bool whole = bytes[i].hexData[1] != 0;
          at[0] = whole ? bytes[i].hexData[0] : 'F';
          at[1] = whole ? bytes[i].hexData[1] : 'F';
        }
      }
      m_rowList.push_back(std::move(row));
    };

    // The first byte opens the first row once more: when it lies outside the
    // block at address 0, that row holds it alone and the next row starts with
    // it again. The page layout drops that first row as the header row.
    if ((bytes[0].address & mask) != 0) emit(0, 1, bytes[0].address, bytes[0].address, true);

    for (std::size_t from = 0; from < total;) {
      const std::uint32_t block = bytes[from].address & mask;
      std::uint32_t prev = bytes[from].address, lo = prev, hi = prev;
      bool inOrder = true;
      std::size_t i = from + 1;
      if (PowerOfTwo(s)) {
        // The usual case first: bytes one after another up to the block's end.
        const std::size_t limit = std::min<std::size_t>(total, from + (block + s - prev));
        while (i < limit && bytes[i].address == prev + 1) {
          ++prev;
          ++i;
        }
        hi = prev;
      }
      for (; i < total; ++i) {
        const std::uint32_t a = bytes[i].address;
        if ((a & mask) != block) break;
        inOrder = inOrder && a == prev + 1;
        prev = a;
        lo = std::min(lo, a);
        hi = std::max(hi, a);
      }
      emit(from, i, lo, hi, inOrder);
      from = i;
    }
  } catch (const std::bad_alloc&) {
    m_rowList.clear();
    m_rowList.shrink_to_fit();
    Box(kRowListErrorBox);
    return false;
  }
  return true;
}
