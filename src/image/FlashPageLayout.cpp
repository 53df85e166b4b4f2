// Row list -> the order in which the device's flash pages are written.
//
// The device erases a flash page when it receives a row for the page's first
// address, so every page that the image enters somewhere inside gets a fill row
// for its start, sent ahead of the image. The S0 header gives no bytes, so no row
// stands for it. The row at IAPMARK carries
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
  // The records are in file order: of two that give the same lowest byte, the
  // later one gave its value last.
  constexpr std::size_t kNone = ~std::size_t{0};
  auto lowestIn = [&](std::int64_t from, std::int64_t to) {
    std::size_t best = kNone;
    std::int64_t bestAddress = 0;
    for (std::size_t i = 0; i < m_records.size(); ++i) {
      const RecordSpan& r = m_records[i];
      const std::int64_t first = std::max<std::int64_t>(r.address, from);
      if (first >= std::min<std::int64_t>(std::int64_t{r.address} + r.count, to)) continue;
      if (best == kNone || first <= bestAddress) {
        best = i;
        bestAddress = first;
      }
    }
    return best;
  };
  std::size_t best = lowestIn(address, pageEnd);
  if (best == kNone) best = lowestIn(pageStart, pageEnd);
  if (best == kNone && !m_records.empty()) best = 0;
  return best == kNone ? 0 : LineOfRecord(best);
}

long CImageBuilder::LineOfRecord(std::size_t i) const {
  const auto after = std::upper_bound(
      m_lineJumps.begin(), m_lineJumps.end(), i,
      [](std::size_t index, const LineJump& jump) { return index < std::size_t{jump.record}; });
  if (after == m_lineJumps.begin()) return 0;
  const LineJump& jump = *std::prev(after);
  return static_cast<long>(jump.line) + static_cast<long>(i - jump.record);
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
    CRowImage& rows = m_rows;

    // 1. The marker row goes to the end.
    std::size_t marker = CRowImage::kNone;
    for (std::size_t i = 0; i < rows.Size(); ++i) {
      if (rows.Address(i) >= mark) {
        marker = i;
        break;
      }
    }
    // The rows' addresses in the order they are sent, before any fill row.
    auto sentAddress = [&](std::size_t i) -> std::int64_t {
      if (marker == CRowImage::kNone || i < marker) return rows.Address(i);
      return i + 1 < rows.Size() ? rows.Address(i + 1) : rows.Address(marker);
    };

    // 2. Page walk: a fill row for each page that a row enters after its start.
    //    They go in front of the image, the last one found first.
    std::vector<std::int64_t> pageFills;
    std::int64_t k = 0;
    std::int64_t boundary = head;
    for (std::size_t i = 0; i < rows.Size(); ++i) {
      const std::int64_t m = sentAddress(i);
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

    // 3. The page that holds IAPMARK - 1, when it is not the first page. A mark
    //    configured beyond ROMTAIL names no page of this flash: a fill row there
    //    would run past the top of the address width, and its frame would put the
    //    fill at the bottom of flash instead.
    std::optional<std::int64_t> markerPageFill;
    if (mark > head) {
      const std::int64_t i = (mark - head + page - 1) / page;  // smallest i: head + i*page >= mark
      const std::int64_t fill = head + (i - 1) * page;
      if (i >= 2 && fill + s - 1 <= tail) markerPageFill = fill;
    }

    const bool markerLast = marker == CRowImage::kNone || marker + 1 == rows.Size();
    if (markerPageFill || !pageFills.empty() || !markerLast) {
      std::vector<std::uint32_t> fills;
      fills.reserve(pageFills.size() + 1);
      if (markerPageFill) fills.push_back(static_cast<std::uint32_t>(*markerPageFill));
      for (auto it = pageFills.rbegin(); it != pageFills.rend(); ++it) {
        fills.push_back(static_cast<std::uint32_t>(*it));
      }
      rows.Arrange(fills, markerLast ? CRowImage::kNone : marker);
    }

    // 4. Frames carry 16 or 32 data bytes: rows of 64 are sent as two rows of 32
    //    (SentRecordSize). The configured record size stays in force, so every
    //    build reads and lays out the same file the same way.
    if (rows.RowSize() == 64) rows.SplitIntoHalves();

    // 5. No frame may put a byte into the programmer or the reserved range. The
    //    transfer steps over rows by their address; a row that it would send but
    //    that reaches into a range (a range bound off the row grid) cannot be
    //    sent whole, and sending part of it would leave the device with another
    //    image than the file's: the file is refused, naming its line.
    //    The rows are judged as the serial link sends them, which is every row the
    //    USB link sends and the row at IAPEND too: the link can still be changed
    //    between File and Update Firmware.
    const auto count = static_cast<std::uint32_t>(rows.RowSize());
    for (std::size_t i = 0; i < rows.Size(); ++i) {
      const std::uint32_t address = rows.Address(i);
      if (RowSteppedOver(m_profile, address, false) ||
          !ReachesProtectedRange(m_profile, address, count))
        continue;
      BoxAtLine(Reason::kAddress, kAddressErrorBox, FirstLineFrom(address));
      return false;  // the rows stay as laid out, for whoever wants to see why
    }
  } catch (const std::bad_alloc&) {
    m_rows.Release();
    Box(Reason::kOutOfMemory, kLayoutMemoryBox);
    return false;
  }
  if (m_rows.Empty()) {
    Box(Reason::kNoImageData, kNoImageDataBox);
    return false;
  }
  return true;
}
