#include "image/RowImage.h"

#include <algorithm>
#include <array>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

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

// Grows v by n elements, which the caller writes next.
template <class T>
void GrowBy(std::vector<T>& v, std::size_t n) {
  v.resize(v.size() + n);
}

// The planes of a large image are touched from end to end once, as the file is
// read: on Linux they are offered the kernel's 2 MiB pages, one page fault for
// every 512 of the small ones. Where the system says no, nothing changes.
template <class T>
void AskForLargePages(const std::vector<T>& plane) {
#ifdef __linux__
  constexpr std::uintptr_t kLarge = 2u << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(plane.data());
  const std::uintptr_t end = begin + plane.capacity() * sizeof(T);
  const std::uintptr_t from = (begin + kLarge - 1) & ~(kLarge - 1);
  const std::uintptr_t to = end & ~(kLarge - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)plane;
#endif
}

}  // namespace

void CRowImage::Reset(int rowSize) {
  m_rowSize = rowSize;
  m_address.clear();
  m_rows.clear();
  m_lower.clear();
}

void CRowImage::Release() {
  std::vector<std::uint32_t>().swap(m_address);
  std::vector<std::uint8_t>().swap(m_rows);
  std::vector<std::uint8_t>().swap(m_lower);
}

void CRowImage::PutHead(std::uint8_t* p, std::uint32_t address) const {
  p[0] = static_cast<std::uint8_t>(m_rowSize + 4);
  p[1] = static_cast<std::uint8_t>(address >> 16);
  p[2] = static_cast<std::uint8_t>(address >> 8);
  p[3] = static_cast<std::uint8_t>(address);
  p[4] = static_cast<std::uint8_t>(m_rowSize);
}

char* CRowImage::PutHex(std::size_t row, char* out) const {
  const std::uint8_t* data = Data(row);
  const auto n = static_cast<std::size_t>(m_rowSize);
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
  if (!std::all_of(data, data + m_rowSize, [](std::uint8_t b) { return b == 0xFF; })) return false;
  if (m_lower.empty()) return true;
  const std::uint8_t* bits = m_lower.data() + row * LowerStride();
  return std::all_of(bits, bits + LowerStride(), [](std::uint8_t b) { return b == 0; });
}

void CRowImage::AddRow(std::uint32_t address) {
  m_address.push_back(address);
  const std::size_t at = m_rows.size();
  m_rows.resize(at + Stride(), 0xFF);
  PutHead(m_rows.data() + at, address);
  if (!m_lower.empty()) m_lower.resize(m_lower.size() + LowerStride(), 0);
}

void CRowImage::Put(std::size_t row, int offset, const std::uint8_t* bytes, int n, const char* text,
                    bool lowerSeen) {
  std::memcpy(m_rows.data() + row * Stride() + kHead + offset, bytes, static_cast<std::size_t>(n));
  if (!lowerSeen && m_lower.empty()) return;
  if (m_lower.empty()) m_lower.assign(Size() * LowerStride(), 0);
  // The bytes' characters take the case they were written in now, whatever an
  // earlier record wrote at the same addresses.
  std::uint8_t* bits = m_lower.data() + row * LowerStride();
  const std::size_t first = 2 * static_cast<std::size_t>(offset);
  for (std::size_t k = 0; k < 2 * static_cast<std::size_t>(n); ++k) {
    const std::size_t c = first + k;
    const auto mask = static_cast<std::uint8_t>(1u << (c % 8));
    if (text[k] >= 'a') {
      bits[c / 8] |= mask;
    } else {
      bits[c / 8] &= static_cast<std::uint8_t>(~mask);
    }
  }
}

void CRowImage::Permute(const std::vector<std::uint32_t>& from) {
  std::vector<std::uint32_t> address;
  std::vector<std::uint8_t> rows, lower;
  address.reserve(from.size());
  rows.reserve(from.size() * Stride());
  lower.reserve(m_lower.empty() ? 0 : from.size() * LowerStride());
  for (std::uint32_t row : from) {
    address.push_back(m_address[row]);
    const std::uint8_t* p = m_rows.data() + row * Stride();
    rows.insert(rows.end(), p, p + Stride());
    if (!m_lower.empty()) {
      const std::uint8_t* q = m_lower.data() + row * LowerStride();
      lower.insert(lower.end(), q, q + LowerStride());
    }
  }
  m_address.swap(address);
  m_rows.swap(rows);
  m_lower.swap(lower);
}

namespace {

// The rows of a plane (stride bytes each) with row `last` moved to the end and
// `front` new rows in front, left for the caller to write: in place.
template <class T>
void MakeRoomInFront(std::vector<T>& plane, std::size_t stride, std::size_t last,
                     std::size_t front) {
  if (plane.empty()) return;
  const std::size_t rows = plane.size() / stride;
  if (last != CRowImage::kNone && last + 1 < rows) {
    std::vector<T> moved(plane.begin() + static_cast<std::ptrdiff_t>(last * stride),
                         plane.begin() + static_cast<std::ptrdiff_t>((last + 1) * stride));
    std::copy(plane.begin() + static_cast<std::ptrdiff_t>((last + 1) * stride), plane.end(),
              plane.begin() + static_cast<std::ptrdiff_t>(last * stride));
    std::copy(moved.begin(), moved.end(), plane.end() - static_cast<std::ptrdiff_t>(stride));
  }
  if (front == 0) return;
  const std::size_t old = plane.size();
  GrowBy(plane, front * stride);
  std::copy_backward(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(old), plane.end());
}

}  // namespace

void CRowImage::Arrange(const std::vector<std::uint32_t>& fills, std::size_t last) {
  MakeRoomInFront(m_address, 1, last, fills.size());
  MakeRoomInFront(m_rows, Stride(), last, fills.size());
  MakeRoomInFront(m_lower, LowerStride(), last, fills.size());
  for (std::size_t i = 0; i < fills.size(); ++i) {
    m_address[i] = fills[i];
    std::uint8_t* p = m_rows.data() + i * Stride();
    PutHead(p, fills[i]);
    std::memset(p + kHead, 0xFF, static_cast<std::size_t>(m_rowSize));
    if (!m_lower.empty()) std::memset(m_lower.data() + i * LowerStride(), 0, LowerStride());
  }
}

void CRowImage::SplitIntoHalves() {
  const std::size_t rows = Size();
  const std::size_t oldStride = Stride();
  m_rowSize = 32;
  const std::size_t stride = Stride();
  std::vector<std::uint32_t> address(2 * rows);
  for (std::size_t i = 0; i < rows; ++i) {
    address[2 * i] = m_address[i];
    address[2 * i + 1] = m_address[i] + 32;
  }
  m_address.swap(address);
  // Each half takes a head of its own, so the rows move up: from the last row
  // down, a row's halves never land on a row not yet moved.
  GrowBy(m_rows, 2 * rows * stride - rows * oldStride);
  std::uint8_t* base = m_rows.data();
  for (std::size_t i = rows; i-- > 0;) {
    std::uint8_t* from = base + i * oldStride + kHead;
    std::memmove(base + (2 * i + 1) * stride + kHead, from + 32, 32);
    std::memmove(base + 2 * i * stride + kHead, from, 32);
    PutHead(base + (2 * i + 1) * stride, m_address[2 * i + 1]);
    PutHead(base + 2 * i * stride, m_address[2 * i]);
  }
  // The case bits (128 bits, 16 whole bytes a row of 64) are already in the
  // halves' order.
}

void CRowImage::Reserve(std::size_t rows) {
  m_address.reserve(Size() + rows);
  m_rows.reserve(m_rows.size() + rows * Stride());
  AskForLargePages(m_address);
  AskForLargePages(m_rows);
}

std::vector<std::uint8_t> CRowImage::TakeBytes() {
  std::vector<std::uint8_t> bytes;
  bytes.swap(m_rows);
  Release();
  return bytes;
}
