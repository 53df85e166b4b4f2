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
// An address given more than once holds the last value given in every row.

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

namespace {

struct PadShape {
  std::int64_t address;  // the completed row's address
  std::int64_t before;   // fill bytes put in front
  std::int64_t after;    // fill bytes put behind
  bool wholeBlock;       // the row lay inside its block and becomes exactly that block
};

// PadRow's rule for a row at address holding count data bytes. A row that starts
// on a 16-byte boundary keeps its start and runs on with fill, but never past the
// last address of the device's width (top): a frame cannot name such an address,
// and the fill would land at the bottom of flash. Such a row is completed within
// its block instead.
PadShape ShapeOf(std::int64_t address, std::int64_t count, int s) {
  if (s <= 0 || count % s == 0) return {address, 0, 0, false};
  const std::int64_t missing = s - count % s;
  const std::int64_t front = address & (s - 1);
  const std::int64_t top = Uses24BitAddresses() ? 0xFFFFFF : 0xFFFF;
  if ((address & 0xF) == 0 && address + count + missing - 1 <= top) {
    return {address, 0, missing, false};  // keeps its start, runs on
  }
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

    // An address that the file gives more than once holds the last value given
    // in every row that covers it: the device programs the rows one after the
    // other, and flash that holds one value takes no other over it. Files whose
    // addresses only go up (nearly all) have no such address.
    std::vector<std::array<char, 2>> lastHex;  // per byte record, when addresses repeat
    bool rising = true;
    for (std::size_t i = 1; rising && i < total; ++i)
      rising = bytes[i].address > bytes[i - 1].address;
    if (!rising) {
      std::vector<std::uint32_t> order(total);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(), [bytes](std::uint32_t a, std::uint32_t b) {
        return bytes[a].address < bytes[b].address;
      });
      lastHex.resize(total);
      for (std::size_t g = 0; g < total;) {
        std::size_t end = g + 1;
        while (end < total && bytes[order[end]].address == bytes[order[g]].address) ++end;
        const ByteRecord& last = bytes[order[end - 1]];  // stable: the one given last
        for (std::size_t k = g; k < end; ++k)
          lastHex[order[k]] = {last.hexData[0], last.hexData[1]};
        g = end;
      }
    }
    auto hexOf = [&](std::size_t i) -> const char* {
      return lastHex.empty() ? bytes[i].hexData : lastHex[i].data();
    };

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
        for (std::size_t i = from; i < to; ++i) std::memcpy(text + 2 * (i - from), hexOf(i), 2);
        // A short byte (its line ended inside it) left a 0 character: fill instead.
        const auto chars = static_cast<std::size_t>(2 * count);
        if (std::memchr(text, 0, chars) != nullptr) {
          for (std::size_t c = 0; c < chars; c += 2) {
            if (text[c] == 0 || text[c + 1] == 0) text[c] = text[c + 1] = 'F';
          }
        }
      } else {
        // Each byte goes to its own place.
        for (std::size_t i = from; i < to; ++i) {
          char* at = text + 2 * std::size_t{bytes[i].address - lo};
          const char* hex = hexOf(i);
          const bool whole = hex[1] != 0;
          at[0] = whole ? hex[0] : 'F';
          at[1] = whole ? hex[1] : 'F';
        }
      }
      m_rowList.push_back(std::move(row));
    };

    // The first byte opens the first row once more: that row holds it alone and
    // the next row starts with it again. The page layout drops that first row as
    // the header row, so the first block's real row always stays, wherever it lies.
    emit(0, 1, bytes[0].address, bytes[0].address, true);

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
