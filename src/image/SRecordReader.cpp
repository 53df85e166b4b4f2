// S-record file -> byte list.
//
// Lines are decoded in the address width that the device map asks for (ROMTAIL
// below 0x10000: two address bytes, else three), whatever the line's own type
// says. Every line contributes at most one record size of data bytes. The file
// is taken to belong to the configured device when its second accepted line
// starts at ROMHEAD (the first is normally the S0 header).

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/HexText.h"
#include "image/ImageBuilder.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct ReadFault {};

// Hands out the lines of a file one by one, without their line ends. A line ends
// at LF, at CR LF, or at a CR that no LF follows (files from old Macintosh
// tools). A last line without a line end is still a line. The file is read in
// large chunks; a line that spans two chunks is gathered in m_carry.
class CLineReader {
 public:
  explicit CLineReader(std::FILE* file)
      : m_file(file), m_buf(std::make_unique_for_overwrite<char[]>(kChunk)) {}

  // False at the end of the file; throws ReadFault when reading fails.
  bool Next(std::string_view& line) {
    bool carried = false;
    m_carry.clear();
    for (;;) {
      if (m_pos == m_end && !Fill()) {
        if (!carried) return false;
        line = m_carry;
        return true;
      }
      if (m_skipLf) {
        m_skipLf = false;
        if (m_buf[m_pos] == '\n') {
          ++m_pos;
          continue;
        }
      }
      const char* begin = m_buf.get() + m_pos;
      const char* end = m_buf.get() + m_end;
      const char* p = FindLineEnd(begin, end);
      if (p == end) {
        m_carry.append(begin, p);
        carried = true;
        m_pos = m_end;
        continue;
      }
      m_pos = static_cast<std::size_t>(p - m_buf.get()) + 1;
      if (*p == '\r') {
        if (m_pos < m_end) {
          if (m_buf[m_pos] == '\n') ++m_pos;
        } else {
          m_skipLf = true;  // the LF of a CR LF may open the next chunk
        }
      }
      if (carried) {
        m_carry.append(begin, p);
        line = m_carry;
      } else {
        line = std::string_view(begin, static_cast<std::size_t>(p - begin));
      }
      return true;
    }
  }

 private:
  static constexpr std::size_t kChunk = 64 * 1024;

  // The first CR or LF in [begin, end), or end. The next LF of the chunk is
  // remembered, so files with CR-only line ends are not scanned over and over.
  const char* FindLineEnd(const char* begin, const char* end) {
    if (m_nextLf == nullptr || m_nextLf < begin) {
      const void* lf = std::memchr(begin, '\n', static_cast<std::size_t>(end - begin));
      m_nextLf = lf ? static_cast<const char*>(lf) : end;
    }
    const void* cr = std::memchr(begin, '\r', static_cast<std::size_t>(m_nextLf - begin));
    return cr ? static_cast<const char*>(cr) : m_nextLf;
  }

  bool Fill() {
    if (m_eof) return false;
    const std::size_t n = std::fread(m_buf.get(), 1, kChunk, m_file);
    if (n < kChunk) {
      if (std::ferror(m_file)) throw ReadFault{};
      m_eof = true;
    }
    m_pos = 0;
    m_end = n;
    m_nextLf = nullptr;
    return n > 0;
  }

  std::FILE* m_file;
  std::unique_ptr<char[]> m_buf;  // not cleared: only what is read is touched
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  bool m_eof = false;
  bool m_skipLf = false;
  const char* m_nextLf = nullptr;  // the next LF at or after m_pos in the chunk, or its end
  std::string m_carry;
};

// ParseHexPair of the two characters at pos (0 when the line ends before them).
inline int PairAt(std::string_view line, std::size_t pos) {
  return pos + 1 < line.size() ? hextext::PairValue(line[pos], line[pos + 1]) : 0;
}

}  // namespace

bool CImageBuilder::ReadSRecordFile(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    Box(kReadFileErrorBox);
    return false;
  }
  try {
    m_byteList.clear();
    // Every data byte takes two characters of the file, so half the file's size
    // bounds the byte count. Reserving it saves the copies of a growing list;
    // pages that are never filled cost no memory.
    std::error_code ec;
    const auto fileSize = std::filesystem::file_size(path, ec);
    if (!ec) {
      try {
        m_byteList.reserve(static_cast<std::size_t>(fileSize / 2));
      } catch (const std::exception&) {
        // Too large to reserve at once: the list grows as it goes.
      }
    }

    const bool wide = Uses24BitAddresses();
    const std::size_t first = wide ? 10 : 8;  // where the first data byte stands
    const int overhead = wide ? 4 : 3;        // count-byte share of address and checksum
    const int recordSize = ActiveProfile.recordSize;
    const auto romHead = static_cast<std::int64_t>(ActiveProfile.ROMHEAD);

    CLineReader lines(file.get());
    ByteRecord work;
    work.count = 1;
    int lineCounter = 0;
    std::string_view line;
    while (lines.Next(line)) {
      if (wide && m_pump) m_pump();
      if (!CheckRecordType(work, line)) break;

      std::int64_t lineAddress =
          (static_cast<std::int64_t>(PairAt(line, 4)) << 8) | PairAt(line, 6);
      if (wide) lineAddress = (lineAddress << 8) | PairAt(line, 8);
      const int n = PairAt(line, 2) - overhead;

      ++lineCounter;
      if (lineCounter == 2 && lineAddress != romHead) {
        file.reset();
        Box(kFileMismatchBox);
        return false;
      }
      if (n <= 0) continue;

      const int m = std::min(n, recordSize);
      for (int k = 0; k < m; ++k) {
        const std::size_t pos = first + 2 * static_cast<std::size_t>(k);
        work.SetAddress(lineAddress + k);
        if (pos + 1 < line.size()) {
          work.hexData[0] = line[pos];
          work.hexData[1] = line[pos + 1];
        } else {  // the line ends inside this byte, or before it
          work.SetHexData(pos < line.size() ? line.substr(pos, 1) : std::string_view());
        }
        m_byteList.push_back(work);
      }
    }
  } catch (const ReadFault&) {
    file.reset();
    Box(kReadFileErrorBox);
    return false;
  } catch (const std::bad_alloc&) {
    file.reset();
    Box(kReadMemoryBox);
    return false;
  }
  if (file && std::fclose(file.release()) != 0) {
    Box(kReadFileErrorBox);
    return false;
  }
  return true;
}
