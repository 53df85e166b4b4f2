// S-record file -> rows.
//
// Each record is decoded by its own type: S1, S2 and S3 data records carry two,
// three and four address bytes, and every data byte of every data record goes to
// its own address, however long the line (the record size shapes rows and frames
// later, never what is read). The S0 header is text for people, not firmware: it
// gives no bytes. S5 and S6 count records give none either; their count must
// match the data records before them. S7, S8 and S9 end the file.
//
// One wrong byte in flash can leave a power device dead in the field, so a file
// is taken whole and exact or not at all: every record's hex digits, its length
// against its count byte and its checksum are verified, a byte whose address does
// not fit the device's address width refuses the file, and so does a line that is
// not a record (blank lines at the very end excepted) or a file that stops before
// its termination record or its matching count record (a copy cut off short).
//
// The file is taken to belong to the configured device when its second accepted
// record starts at ROMHEAD (the first is normally the S0 header).

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "config/DeviceProfile.h"
#include "image/HexText.h"
#include "image/ImageBuilder.h"
#include "trust/FileDigest.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct ReadFault {};

// The digest of a large file is taken on a second thread while the first one
// reads its records: the two cost about the same, and a 16 Mi image's file is
// 40 MB. Chunks are handed over in order; the reader reuses a chunk's buffer
// only once the digest has taken it (WaitFor).
class CChunkDigest {
 public:
  explicit CChunkDigest(CSha256& digest) : m_digest(digest), m_thread([this] { Run(); }) {}
  ~CChunkDigest() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
  CChunkDigest(const CChunkDigest&) = delete;
  CChunkDigest& operator=(const CChunkDigest&) = delete;

  // Hands n bytes at data over; their number in the order of hand-overs.
  std::uint64_t Add(const char* data, std::size_t n) {
    std::lock_guard lock(m_mutex);
    m_queue.push_back({data, n});
    m_wake.notify_all();
    return ++m_handed;
  }
  // Returns once the hand-over `number` has been taken into the digest.
  void WaitFor(std::uint64_t number) {
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [&] { return m_taken >= number; });
  }

 private:
  void Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
      if (m_queue.empty()) return;  // stopped, and nothing left
      const auto [data, n] = m_queue.front();
      lock.unlock();
      m_digest.Add(data, n);
      lock.lock();
      m_queue.pop_front();
      ++m_taken;
      m_done.notify_all();
    }
  }

  CSha256& m_digest;
  std::mutex m_mutex;
  std::condition_variable m_wake, m_done;
  std::deque<std::pair<const char*, std::size_t>> m_queue;
  std::uint64_t m_handed = 0, m_taken = 0;
  bool m_stop = false;
  std::thread m_thread;  // last: it starts once the rest is set up
};

// Hands out the lines of a file one by one, without their line ends. A line ends
// at LF, at CR LF, or at a CR that no LF follows (files from old Macintosh
// tools). A last line without a line end is still a line. The file is read in
// large chunks; a line that spans two chunks is gathered in m_carry. No record
// is longer than kMaxLine characters: a longer line (a binary file, /dev/zero, a
// huge file without a line end) is handed out cut to kMaxLine + 1 characters, so
// the caller can refuse it, and the rest of the file is never gathered.
class CLineReader {
 public:
  // Reads file in chunks; every chunk read is added to digest. A file of more
  // than kThreadedDigest bytes (fileSize) is read into two buffers by turns,
  // its digest taken on a thread of its own.
  CLineReader(std::FILE* file, CSha256& digest, std::uintmax_t fileSize)
      : m_file(file), m_digest(&digest), m_own{std::make_unique_for_overwrite<char[]>(kChunk)} {
    if (fileSize > kThreadedDigest) {
      m_own[1] = std::make_unique_for_overwrite<char[]>(kChunk);
      try {
        m_threaded.emplace(digest);
      } catch (const std::system_error&) {
        // No thread to be had: the digest is taken between the reads, as for a small file.
      }
    }
    m_buf = m_own[0].get();
  }
  ~CLineReader() {
    // The digest's thread may still be reading a buffer: it stops before they go.
    m_threaded.reset();
  }
  // Reads bytes that are in memory already, as one chunk.
  CLineReader(const std::uint8_t* data, std::size_t size)
      : m_buf(reinterpret_cast<const char*>(data)), m_memorySize(size) {}
  CLineReader(const CLineReader&) = delete;
  CLineReader& operator=(const CLineReader&) = delete;

  // The bytes of the file read so far.
  std::uintmax_t BytesRead() const { return m_file ? m_read : m_memorySize; }

  // "S", the type, the count byte and 255 more bytes (address, data, checksum).
  static constexpr std::size_t kMaxLine = 4 + 2 * 255;

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
      const char* begin = m_buf + m_pos;
      const char* end = m_buf + m_end;
      const char* p = FindLineEnd(begin, end);
      if (p == end) {
        Gather(begin, p);
        carried = true;
        m_pos = m_end;
        if (m_carry.size() > kMaxLine) {
          line = m_carry;
          return true;
        }
        continue;
      }
      m_pos = static_cast<std::size_t>(p - m_buf) + 1;
      if (*p == '\r') {
        if (m_pos < m_end) {
          if (m_buf[m_pos] == '\n') ++m_pos;
        } else {
          m_skipLf = true;  // the LF of a CR LF may open the next chunk
        }
      }
      if (carried) {
        Gather(begin, p);
        line = m_carry;
      } else {
        line = std::string_view(begin, static_cast<std::size_t>(p - begin));
      }
      return true;
    }
  }

 private:
  static constexpr std::size_t kChunk = 64 * 1024;
  static constexpr std::uintmax_t kThreadedDigest = 4u << 20;

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

  // Adds [begin, end) to the carried line, never beyond kMaxLine + 1 characters.
  void Gather(const char* begin, const char* end) {
    const auto room = kMaxLine + 1 - m_carry.size();
    m_carry.append(begin, std::min(static_cast<std::size_t>(end - begin), room));
  }

  bool Fill() {
    if (m_eof) return false;
    if (m_file == nullptr) {
      m_eof = true;
      m_pos = 0;
      m_end = m_memorySize;
      m_nextLf = nullptr;
      return m_end > 0;
    }
    char* buffer = m_own[0].get();
    if (m_threaded) {
      // The other buffer, once the digest has taken what it held.
      m_turn ^= 1;
      m_threaded->WaitFor(m_handedOver[m_turn]);
      buffer = m_own[m_turn].get();
    }
    const std::size_t n = std::fread(buffer, 1, kChunk, m_file);
    if (n < kChunk) {
      if (std::ferror(m_file)) throw ReadFault{};
      m_eof = true;
    }
    if (m_threaded) {
      m_handedOver[m_turn] = m_threaded->Add(buffer, n);
    } else {
      m_digest->Add(buffer, n);
    }
    m_buf = buffer;
    m_read += n;
    m_pos = 0;
    m_end = n;
    m_nextLf = nullptr;
    return n > 0;
  }

  std::FILE* m_file = nullptr;  // nullptr: the bytes are in memory
  CSha256* m_digest = nullptr;
  // The chunk buffers (the second one only with the threaded digest); not
  // cleared: only what is read is touched.
  std::unique_ptr<char[]> m_own[2];
  const char* m_buf = nullptr;
  std::optional<CChunkDigest> m_threaded;
  int m_turn = 0;
  std::uint64_t m_handedOver[2] = {0, 0};
  std::size_t m_memorySize = 0;
  std::uintmax_t m_read = 0;
  std::size_t m_pos = 0;
  std::size_t m_end = 0;
  bool m_eof = false;
  bool m_skipLf = false;
  const char* m_nextLf = nullptr;  // the next LF at or after m_pos in the chunk, or its end
  std::string m_carry;
};

// How a record type is laid out and what it means to the image.
enum class RecordRole { kHeader, kData, kCount, kEnd, kNone };
struct RecordKind {
  RecordRole role;
  int addressBytes;
};

RecordKind KindOf(std::string_view line) {
  if (line.size() < 2 || line[0] != 'S') return {RecordRole::kNone, 0};
  switch (line[1]) {
    case '0':
      return {RecordRole::kHeader, 2};
    case '1':
      return {RecordRole::kData, 2};
    case '2':
      return {RecordRole::kData, 3};
    case '3':
      return {RecordRole::kData, 4};
    case '5':
      return {RecordRole::kCount, 2};
    case '6':
      return {RecordRole::kCount, 3};
    case '7':
      return {RecordRole::kEnd, 4};
    case '8':
      return {RecordRole::kEnd, 3};
    case '9':
      return {RecordRole::kEnd, 2};
    default:
      return {RecordRole::kNone, 0};  // S4 is reserved: no tool writes it
  }
}

enum class LineFault { kNone, kFormat, kChecksum };

// Checks the record's digits, its length against its count byte and its checksum
// (the low byte of the sum of every byte from the count byte on is 0xFF); on
// success field holds the address field's value and bytes every byte of the
// record from the count byte on, decoded (the line is decoded once).
LineFault CheckRecord(std::string_view line, int addressBytes, std::uint32_t& field,
                      std::uint8_t (&bytes)[256]) {
  if (line.size() < 4 || (line.size() & 1) != 0) return LineFault::kFormat;
  const auto* p = reinterpret_cast<const unsigned char*>(line.data()) + 2;
  const std::size_t pairs = (line.size() - 2) / 2;  // count byte, then count bytes
  if (pairs > 256) return LineFault::kFormat;       // more than the count byte can say
  int bad = 0;
  unsigned sum = 0;
  const std::int16_t* pairValue = hextext::PairTable();
  for (std::size_t i = 0; i < pairs; ++i, p += 2) {
    const int byte = pairValue[(unsigned{p[0]} << 8) | p[1]];
    bad |= byte;  // a pair that is not hex is negative
    sum += static_cast<unsigned>(byte);
    bytes[i] = static_cast<std::uint8_t>(byte);
  }
  if (bad < 0) return LineFault::kFormat;
  std::uint32_t value = 0;
  for (int i = 1; i <= addressBytes && static_cast<std::size_t>(i) < pairs; ++i)
    value = (value << 8) | bytes[i];
  const std::size_t count = bytes[0];
  if (count != pairs - 1 || count < static_cast<std::size_t>(addressBytes) + 1) {
    return LineFault::kFormat;
  }
  if ((sum & 0xFFu) != 0xFFu) return LineFault::kChecksum;
  field = value;
  return LineFault::kNone;
}

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

bool CImageBuilder::ReadSRecordFile(const std::string& path) {
  m_problem = {};
  m_fileSha256.clear();
  m_fileSize = 0;
  // A FIFO would block the window until someone writes into it.
  std::error_code typeError;
  if (std::filesystem::is_fifo(path, typeError) || std::filesystem::is_socket(path, typeError)) {
    Box(Reason::kReadError, kReadFileErrorBox);
    return false;
  }
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    Box(Reason::kReadError, kReadFileErrorBox);
    return false;
  }
  std::error_code ec;
  const auto fileSize = std::filesystem::file_size(path, ec);
  // What is recorded of the file is what was read of it, chunk by chunk, not
  // what a second look at the path would find.
  CSha256 digest;
  std::optional<CLineReader> lines;
  try {
    lines.emplace(file.get(), digest, ec ? 0 : fileSize);
  } catch (const std::bad_alloc&) {
    Box(Reason::kOutOfMemory, kReadMemoryBox);
    return false;
  }
  if (!ReadRecords(*lines, ec ? 0 : fileSize)) return false;
  const auto bytesRead = static_cast<std::uint64_t>(lines->BytesRead());
  lines.reset();  // the digest has taken every chunk
  if (std::fclose(file.release()) != 0) {
    Box(Reason::kReadError, kReadFileErrorBox);
    return false;
  }
  m_fileSha256 = digest.Hex();
  m_fileSize = bytesRead;
  return true;
}

bool CImageBuilder::ReadSRecordBytes(const std::vector<std::uint8_t>& bytes) {
  m_problem = {};
  m_fileSha256.clear();
  m_fileSize = 0;
  CLineReader lines(bytes.data(), bytes.size());
  if (!ReadRecords(lines, bytes.size())) return false;
  m_fileSha256 = Sha256Hex(bytes.data(), bytes.size());
  m_fileSize = bytes.size();
  return true;
}

template <class LineSource>
bool CImageBuilder::ReadRecords(LineSource& lines, std::uintmax_t fileSize) {
  if (ReadRecordsInto(lines, fileSize)) return true;
  // Nothing of a file refused is kept.
  m_rows.Release();
  std::vector<RecordSpan>().swap(m_records);
  std::vector<LineJump>().swap(m_lineJumps);
  m_blocks = BlockIndex{};
  return false;
}

template <class LineSource>
bool CImageBuilder::ReadRecordsInto(LineSource& lines, std::uintmax_t fileSize) {
  try {
    m_records.clear();
    m_lineJumps.clear();
    m_blocks = BlockIndex{};
    m_dataBytes = 0;
    m_rows.Release();
    m_rows.Reset(m_profile.recordSize);
    // Every data byte takes two characters of the file, so half the file's size
    // bounds the data bytes, and a data record takes at least 13 characters
    // (S1, count, address, one byte, checksum, line end). Room for that many
    // saves the copies of growing planes; room never used costs no memory.
    if (fileSize > 0 && m_profile.recordSize > 0) {
      try {
        // No device has more than 16 Mi addresses: nothing beyond is reserved.
        constexpr std::uintmax_t kMost = 1u << 24;
        // With a margin for the fill rows the page layout puts in front.
        const auto rows = static_cast<std::size_t>(std::min(fileSize / 2, kMost) /
                                                   static_cast<unsigned>(m_profile.recordSize));
        m_rows.Reserve(rows + rows / 16 + 64);
        m_records.reserve(static_cast<std::size_t>(std::min(fileSize / 13, kMost)));
      } catch (const std::exception&) {
        // Too large to reserve at once: the planes grow as they go.
      }
    }

    // Every byte must fit the device's address width: a byte past the top would
    // land at the bottom of flash in the frames.
    const std::uint32_t topAddress = Uses24BitAddresses(m_profile) ? 0xFFFFFFu : 0xFFFFu;
    const bool pump = Uses24BitAddresses(m_profile) && m_pump;
    const auto romHead = static_cast<std::uint32_t>(m_profile.ROMHEAD);

    std::uint8_t decoded[256];
    int acceptedLines = 0;
    long lineNumber = 0;
    long lastRecordLine = 0;  // the last line that was not blank
    long firstBlankLine = 0;  // a blank line since then, if any
    std::uint64_t dataRecords = 0;
    bool complete = false;  // ended by a termination or a matching count record
    std::string_view line;
    // Refuses the file with a box naming the line; always false.
    auto refuse = [&](Reason reason, const char* text, long at) {
      BoxAtLine(reason, text, at);
      return false;
    };
    // After the termination record only blank lines may follow, and one Ctrl-Z
    // (the end-of-file mark of old DOS tools) as the last line but blank ones. Anything
    // else there (two files joined with cat, a stray S9 in the middle) would be
    // firmware the device never gets: the file is refused at that line.
    bool ended = false;
    long ctrlZLine = 0;
    while (lines.Next(line)) {
      ++lineNumber;
      if (pump) m_pump();
      if (line.size() > CLineReader::kMaxLine)
        return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
      if (IsBlank(line)) {
        if (firstBlankLine == 0) firstBlankLine = lineNumber;
        continue;
      }
      if (ctrlZLine != 0) return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
      if (line == "\x1A") {
        ctrlZLine = lineNumber;
        continue;
      }
      if (ended) return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
      // Blank lines are let pass only at the very end of the file.
      if (firstBlankLine != 0) return refuse(Reason::kFormat, kFormatErrorBox, firstBlankLine);
      lastRecordLine = lineNumber;

      const RecordKind kind = KindOf(line);
      if (kind.role == RecordRole::kNone)
        return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
      std::uint32_t field = 0;
      switch (CheckRecord(line, kind.addressBytes, field, decoded)) {
        case LineFault::kFormat:
          return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
        case LineFault::kChecksum:
          return refuse(Reason::kChecksum, kChecksumErrorBox, lineNumber);
        case LineFault::kNone:
          break;
      }
      if (kind.role == RecordRole::kEnd) {
        complete = true;
        ended = true;
        continue;
      }
      complete = false;
      if (kind.role == RecordRole::kCount) {
        if (field != dataRecords) return refuse(Reason::kFormat, kFormatErrorBox, lineNumber);
        complete = true;
      }
      ++acceptedLines;
      if (acceptedLines == 2 && field != romHead) {
        // The box's text stays as it is; where the file begins instead is kept
        // beside it, for whoever has to find out which of the two, file or
        // configuration, is the wrong one.
        m_problem = {Reason::kRomheadMismatch,
                     lineNumber,
                     kFileMismatchBox,
                     {},
                     static_cast<std::int64_t>(field)};
        if (m_messageBox) m_messageBox(m_problem.text);
        return false;
      }
      if (kind.role != RecordRole::kData) continue;
      ++dataRecords;

      const std::size_t first = 4 + 2 * static_cast<std::size_t>(kind.addressBytes);
      const std::size_t n = (line.size() - first) / 2 - 1;  // the checksum byte is last
      if (n == 0) continue;
      if (std::uint64_t{field} + n - 1 > topAddress)
        return refuse(Reason::kAddress, kAddressErrorBox, lineNumber);
      // field + n - 1 fits 24 bits (just checked) and n is at most 252.
      const auto line32 = static_cast<std::uint32_t>(lineNumber);
      const auto index = static_cast<std::uint32_t>(m_records.size());
      if (m_lineJumps.empty() ||
          line32 - m_lineJumps.back().line != index - m_lineJumps.back().record) {
        m_lineJumps.push_back({index, line32});
      }
      m_records.push_back({field & 0xFFFFFFu, static_cast<std::uint32_t>(n) & 0xFFu});
      m_dataBytes += n;
      const char* text = line.data() + first;
      // Digits and upper-case letters all lie below 'a'.
      const bool lowerSeen = std::any_of(
          text, text + 2 * n, [](char c) { return static_cast<unsigned char>(c) >= 'a'; });
      PlaceBytes(field, decoded + 1 + kind.addressBytes, static_cast<int>(n), text, lowerSeen);
    }
    if (!complete) return refuse(Reason::kIncomplete, kIncompleteBox, lastRecordLine + 1);
  } catch (const ReadFault&) {
    Box(Reason::kReadError, kReadFileErrorBox);
    return false;
  } catch (const std::bad_alloc&) {
    Box(Reason::kOutOfMemory, kReadMemoryBox);
    return false;
  }
  return true;
}
