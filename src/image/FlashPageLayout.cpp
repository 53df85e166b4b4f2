// Row list -> the order in which the device's flash pages are written.
//
// The device erases a flash page when it receives a row for the page's first
// address, so every page that the image enters somewhere inside gets a fill row
// for its start, sent ahead of the image. The header row (the S0 line's block, or
// the lone first byte of the row builder) is dropped. The row at IAPMARK carries
// the mark by which the programmer knows that a complete application is in place;
// it goes last, so an update broken off leaves no mark. The page that holds the
// address just below IAPMARK is erased first of all.
//
// Page arithmetic is done in 64 bits: ROMHEAD + k * PAGESIZE cannot overflow for
// any page size that the configuration can hold.

#include <algorithm>
#include <new>
#include <optional>

#include "config/DeviceProfile.h"
#include "image/ImageBuilder.h"

namespace {

// A 64-byte row goes out as two rows of 32 (at its address and 32 above), the
// largest frame the device takes.
void SplitRows(RowList& rows) {
  RowList halves;
  halves.reserve(2 * rows.size());
  for (RowRecord& row : rows) {
    constexpr std::size_t kHalfChars = 64;
    RowRecord low;
    low.address = row.address;
    low.hexData.assign(row.hexData, 0, kHalfChars);
    low.count = static_cast<std::int32_t>(low.hexData.size() / 2);
    low.length = low.count + 4;
    halves.push_back(std::move(low));
    if (row.hexData.size() > kHalfChars) {
      RowRecord high;
      high.address = row.address + 32;
      high.hexData.assign(row.hexData, kHalfChars);
      high.count = static_cast<std::int32_t>(high.hexData.size() / 2);
      high.length = high.count + 4;
      halves.push_back(std::move(high));
    }
    row.hexData = std::string();  // give the memory back as we go
  }
  rows.swap(halves);
}

}  // namespace

long CImageBuilder::FirstLineFrom(std::uint32_t address) const {
  // The file's byte with the lowest address at or above the row's start within its
  // flash page (the one given last, when an address is given twice): the row's
  // first byte. A fill row (a page start's, or the empty half of a row of 64)
  // has none there; then the first byte of the page it is there for.
  const std::int64_t head = m_profile.ROMHEAD;
  const std::int64_t page =
      std::max<std::int64_t>(1, static_cast<std::int32_t>(m_profile.PAGESIZE));
  const std::int64_t off = std::int64_t{address} - head;
  const std::int64_t pageStart =
      head + (off >= 0 ? off / page : -((-off + page - 1) / page)) * page;
  const std::int64_t pageEnd = pageStart + page;
  const std::size_t none = m_byteList.size();
  auto lowestIn = [&](std::int64_t from, std::int64_t to) {
    std::size_t best = none;
    for (std::size_t i = 0; i < m_byteList.size(); ++i) {
      const std::int64_t a = m_byteList[i].address;
      if (a >= from && a < to && (best == none || a <= m_byteList[best].address)) best = i;
    }
    return best;
  };
  std::size_t best = lowestIn(address, pageEnd);
  if (best == none) best = lowestIn(pageStart, pageEnd);
  return LineOfByte(best == none ? 0 : best);
}

bool CImageBuilder::LayoutFlashPages() {
  // PAGESIZE is held as configured; a negative number in the file arrives here
  // as 0x80000000 or more, for which page starts mean nothing.
  const auto pageSize = static_cast<std::int32_t>(m_profile.PAGESIZE);
  if (pageSize <= 0) {
    Box(Reason::kPageSize, kPageSizeErrorBox);
    return false;
  }
  try {
    const std::int64_t page = pageSize;
    const std::int64_t head = m_profile.ROMHEAD;
    const std::int64_t tail = m_profile.ROMTAIL;
    const std::int64_t mark = m_profile.IAPMARK;
    const int s = m_profile.recordSize;
    const std::string fillText(2 * static_cast<std::size_t>(s), 'F');
    auto fillRow = [&](std::int64_t address) {
      RowRecord r;
      r.length = s + 4;
      r.address = static_cast<std::int32_t>(address);
      r.count = s;
      r.hexData = fillText;
      return r;
    };
    RowList& rows = m_rowList;

    // 1. The header row.
    if (!rows.empty() && rows.front().address <= head) rows.erase(rows.begin());

    // 2. The marker row goes to the end.
    const auto marker = std::find_if(rows.begin(), rows.end(),
                                     [&](const RowRecord& r) { return r.address >= mark; });
    if (marker != rows.end()) std::rotate(marker, marker + 1, rows.end());

    // 3. Page walk: a fill row for each page that a row enters after its start.
    //    They go in front of the image, the last one found first.
    std::vector<std::int64_t> pageFills;
    std::int64_t k = 0;
    std::int64_t boundary = head;
    for (const RowRecord& row : rows) {
      const std::int64_t m = row.address;
      const std::int64_t off = m - head;
      const std::int64_t q = off / page;
      const std::int64_t r = off % page;
      if (r == 0) {  // the row begins a page
        k = q;
        boundary = head + (k + 1) * page;
      } else if (m >= head + (k + 1) * page) {  // the row lies beyond page k
        k = q;
        boundary = head + k * page;
      }
      const std::int64_t u = head + k * page;
      if (boundary < m && m != u) {
        pageFills.push_back(u);
        ++k;
        boundary = u + page;
      }
      if (m > tail) break;
    }

    // 4. The page that holds IAPMARK - 1, when it is not the first page. A mark
    //    configured beyond ROMTAIL names no page of this flash: a fill row there
    //    would run past the top of the address width, and its frame would put the
    //    fill at the bottom of flash instead.
    std::optional<std::int64_t> markerPageFill;
    if (mark > head) {
      const std::int64_t i = (mark - head + page - 1) / page;  // smallest i: head + i*page >= mark
      const std::int64_t fill = head + (i - 1) * page;
      if (i >= 2 && fill + s - 1 <= tail) markerPageFill = fill;
    }

    if (markerPageFill || !pageFills.empty()) {
      RowList laidOut;
      laidOut.reserve(rows.size() + pageFills.size() + 1);
      if (markerPageFill) laidOut.push_back(fillRow(*markerPageFill));
      for (auto it = pageFills.rbegin(); it != pageFills.rend(); ++it) {
        laidOut.push_back(fillRow(*it));
      }
      for (RowRecord& row : rows) laidOut.push_back(std::move(row));
      rows.swap(laidOut);
    }

    // 5. Frames carry 16 or 32 data bytes: rows of 64 are sent as two rows of 32
    //    (SentRecordSize). The configured record size stays in force, so every
    //    build reads and lays out the same file the same way.
    if (s == 64) SplitRows(rows);

    // 6. No frame may put a byte into the programmer or the reserved range. The
    //    transfer steps over rows by their address; a row that it would send but
    //    that reaches into a range (a range bound off the row grid) cannot be
    //    sent whole, and sending part of it would leave the device with another
    //    image than the file's: the file is refused, naming its line.
    //    The rows are judged as the serial link sends them, which is every row the
    //    USB link sends and the row at IAPEND too: the link can still be changed
    //    between File and Update Firmware.
    for (const RowRecord& row : rows) {
      const auto address = static_cast<std::uint32_t>(row.address);
      if (RowSteppedOver(m_profile, address, false) ||
          !ReachesProtectedRange(m_profile, address, static_cast<std::uint32_t>(row.count)))
        continue;
      BoxAtLine(Reason::kAddress, kAddressErrorBox, FirstLineFrom(address));
      return false;  // the rows stay as laid out, for whoever wants to see why
    }
  } catch (const std::bad_alloc&) {
    m_rowList.clear();
    m_rowList.shrink_to_fit();
    Box(Reason::kOutOfMemory, kLayoutMemoryBox);
    return false;
  }
  if (m_rowList.empty()) {
    Box(Reason::kNoImageData, kNoImageDataBox);
    return false;
  }
  return true;
}
