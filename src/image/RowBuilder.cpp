// Data records -> rows.
//
// The device programs its flash one row at a time, each row one record size of
// bytes on a record-size boundary (a block: the addresses that agree under the
// mask 0x1000000 - s). So there is exactly one row for each block that the file
// touches, at the block's start, holding every byte the file gives for that
// block wherever in the file it stands, and the fill byte 0xFF (erased flash)
// only where the file gives none. Rows come out in ascending address order.
// A row that started anywhere else would carry fill over bytes of the next
// block, and a second row for a block the file comes back to would carry fill
// over the first row's data: either way the device would end up holding 0xFF
// where the file has data.
//
// Each data record is put into its rows as it is read, so an address the file
// gives more than once holds the last value given, in the case it was last
// written in.

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

std::size_t CImageBuilder::RowOfBlock(std::uint32_t block) {
  const auto size = static_cast<std::uint32_t>(m_rows.RowSize());
  if (!m_blocks.indexed) {
    // While the file's blocks rise, the rows are in address order: a new block
    // above the last row gets the next row, and one below is looked up among them.
    if (m_rows.Empty() || block > m_rows.Address(m_rows.Size() - 1) / size) {
      m_rows.AddRow(block * size);
      return m_rows.Size() - 1;
    }
    std::size_t low = 0, high = m_rows.Size();
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (m_rows.Address(mid) / size < block) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (m_rows.Address(low) / size == block) return low;
    // A block below the last row that has no row yet: from here on the rows are
    // not in address order, and every block is found through the index.
    m_blocks.indexed = true;
    for (std::size_t row = 0; row < m_rows.Size(); ++row) {
      IndexSlot(m_rows.Address(row) / size) = static_cast<std::uint32_t>(row + 1);
    }
  }
  std::uint32_t& slot = IndexSlot(block);
  if (slot == 0) {
    m_rows.AddRow(block * size);
    slot = static_cast<std::uint32_t>(m_rows.Size());
  }
  return slot - 1;
}

std::uint32_t& CImageBuilder::IndexSlot(std::uint32_t block) {
  const std::size_t leaf = block >> BlockIndex::kLeafBits;
  if (leaf >= m_blocks.leaves.size()) m_blocks.leaves.resize(leaf + 1);
  auto& rows = m_blocks.leaves[leaf];
  if (!rows) rows = std::make_unique<std::uint32_t[]>(std::size_t{1} << BlockIndex::kLeafBits);
  return rows[block & ((1u << BlockIndex::kLeafBits) - 1)];
}

void CImageBuilder::PlaceBytes(std::uint32_t address, const std::uint8_t* bytes, int n,
                               const char* text, bool lowerSeen) {
  const int s = m_rows.RowSize();
  if (s <= 0) return;  // no rows to put them in: BuildRowList refuses the record size
  const auto size = static_cast<std::uint32_t>(s);
  while (n > 0) {
    const std::uint32_t block = address / size;
    const int offset = static_cast<int>(address % size);
    const int take = std::min(n, s - offset);
    // Nearly every record goes on in the row of the one before.
    if (block != m_blocks.lastBlock) {
      m_blocks.lastRow = RowOfBlock(block);
      m_blocks.lastBlock = block;
    }
    m_rows.Put(m_blocks.lastRow, offset, bytes, take, text, lowerSeen);
    address += static_cast<std::uint32_t>(take);
    bytes += take;
    text += 2 * take;
    n -= take;
  }
}

bool CImageBuilder::BuildRowList() {
  const int s = m_profile.recordSize;
  // Until the file went back below its last row to a new block the rows are in
  // address order; from then on the index found them. It is only needed while
  // the file is read.
  const bool rising = !m_blocks.indexed;
  m_blocks = BlockIndex{};
  if (m_rows.Empty() || s <= 0 || s != m_rows.RowSize()) {
    m_rows.Release();
    Box(Reason::kRowList, kRowListErrorBox);
    return false;
  }
  try {
    // Nearly every file gives its blocks in rising address order; the rows of
    // any other are sorted by address (each block has one row, so no two tie).
    if (!rising) {
      std::vector<std::uint32_t> order(m_rows.Size());
      std::iota(order.begin(), order.end(), 0u);
      std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
        return m_rows.Address(a) < m_rows.Address(b);
      });
      m_rows.Permute(order);
    }
  } catch (const std::bad_alloc&) {
    m_rows.Release();
    Box(Reason::kRowList, kRowListErrorBox);
    return false;
  }
  return true;
}
