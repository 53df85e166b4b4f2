// Byte list -> row list.
//
// The device programs its flash one row at a time, each row one record size of
// bytes on a record-size boundary (a block: the addresses that agree under the
// mask 0x1000000 - s). So there is exactly one row for each block that the file
// touches, at the block's start, holding every byte the file gives for that
// block wherever in the file it stands, and the fill byte "FF" (erased flash)
// only where the file gives none. Rows come out in ascending address order.
// A row that started anywhere else would carry fill over bytes of the next
// block, and a second row for a block the file comes back to would carry fill
// over the first row's data: either way the device would end up holding 0xFF
// where the file has data.
//
// An address the file gives more than once holds the last value given. A byte
// whose line ended inside it (fewer than two characters) leaves fill at its place.

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

namespace {

std::int64_t BlockStart(std::int64_t address, int s) { return address - address % s; }

}  // namespace

long CImageBuilder::LineOfByte(std::size_t index) const {
  const auto after = std::upper_bound(
      m_recordLines.begin(), m_recordLines.end(), index,
      [](std::size_t i, const RecordLine& r) { return i < std::size_t{r.firstByte}; });
  return after == m_recordLines.begin() ? 0 : static_cast<long>(std::prev(after)->line);
}

bool CImageBuilder::BuildRowList() {
  m_rowList.clear();
  const int s = m_profile.recordSize;
  if (m_byteList.empty() || s <= 0) {
    Box(Reason::kRowList, kRowListErrorBox);
    return false;
  }
  try {
    const ByteRecord* const bytes = m_byteList.data();
    const std::size_t total = m_byteList.size();

    // Nearly every file gives its bytes in rising address order; any other
    // order is walked through a stably sorted index, so that of the bytes for
    // one address the one given last is written last.
    bool rising = true;
    for (std::size_t i = 1; rising && i < total; ++i)
      rising = bytes[i].address > bytes[i - 1].address;
    std::vector<std::uint32_t> order;
    if (!rising) {
      order.resize(total);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(), [bytes](std::uint32_t a, std::uint32_t b) {
        return bytes[a].address < bytes[b].address;
      });
    }
    auto rowOf = [&](std::int64_t block) {
      RowRecord row;
      row.address = static_cast<std::int32_t>(block);
      row.count = s;
      row.length = s + 4;
      row.hexData.assign(2 * static_cast<std::size_t>(s), 'F');
      return row;
    };
    // A byte whose line ended inside it left a 0 character: fill instead.
    auto mendShortBytes = [](RowRecord& row) {
      char* text = row.hexData.data();
      if (std::memchr(text, 0, row.hexData.size()) == nullptr) return;
      for (std::size_t c = 0; c < row.hexData.size(); c += 2) {
        if (text[c] == 0 || text[c + 1] == 0) text[c] = text[c + 1] = 'F';
      }
    };
    // The rows of the bytes as at(0), at(1), ... give them, in rising address order.
    auto build = [&](auto at) {
      // The page layout drops the first row as the header row when it lies at or
      // below ROMHEAD. The reader gives no bytes for the S0 header, so that row is
      // a stand-in: the lowest byte alone, in front of its block's real row, made
      // only where the layout takes it off again. No row with firmware is lost.
      const std::int64_t lowest = BlockStart(at(0).address, s);
      if (lowest <= std::int64_t{m_profile.ROMHEAD}) {
        RowRecord row = rowOf(lowest);
        std::memcpy(row.hexData.data() + 2 * (at(0).address - lowest), at(0).hexData, 2);
        mendShortBytes(row);
        m_rowList.push_back(std::move(row));
      }
      m_rowList.reserve(m_rowList.size() + total / static_cast<std::size_t>(s) + 1);
      for (std::size_t k = 0; k < total;) {
        RowRecord row = rowOf(BlockStart(at(k).address, s));
        const std::int64_t next = std::int64_t{row.address} + s;
        char* const text = row.hexData.data();
        for (; k < total && at(k).address < next; ++k) {
          const ByteRecord& b = at(k);
          std::memcpy(text + 2 * (std::int64_t{b.address} - row.address), b.hexData, 2);
        }
        mendShortBytes(row);
        m_rowList.push_back(std::move(row));
      }
    };
    if (rising) {
      build([bytes](std::size_t k) -> const ByteRecord& { return bytes[k]; });
    } else {
      build([bytes, &order](std::size_t k) -> const ByteRecord& { return bytes[order[k]]; });
    }
  } catch (const std::bad_alloc&) {
    m_rowList.clear();
    m_rowList.shrink_to_fit();
    Box(Reason::kRowList, kRowListErrorBox);
    return false;
  }
  return true;
}
