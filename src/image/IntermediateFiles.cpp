// Row list -> tmp.txt (one readable line per row) and tmp.bin (the rows as the
// transfer sends them).
//
// tmp.txt: "%02x-%06x-%02x-%s" of length, address, count and hexData, each line
// ended by CR LF on every platform, so the listing is the same wherever it was
// made.
// tmp.bin: per row the length byte, three address bytes (high first), the count
// byte and the data bytes, one per pair of hexData characters (a pair that is
// not hex gives 0, an odd last character one more byte 0). The device's row
// buffer takes 512 bytes, so a row may carry at most 1014 characters of hexData;
// length and count must fit one byte and the address three.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "config/DeviceProfile.h"
#include "image/HexText.h"
#include "image/ImageBuilder.h"

namespace {

constexpr std::size_t kRowBufferBytes = 512;
constexpr std::size_t kMaxHexChars = 2 * kRowBufferBytes - 10;  // after the 10 field characters

// A file written from its start through a large buffer. Whatever the file held
// before is gone when it is closed, as if it had been truncated on opening; but
// an existing file is overwritten in place and cut to its new length at the
// end, because a file truncated to nothing makes some file systems (ext4) push
// the new data to the disk on close, which costs milliseconds per build.
class COutputFile {
 public:
  explicit COutputFile(const std::string& path)
      : m_path(path), m_buf(std::make_unique_for_overwrite<char[]>(m_size)) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
      m_oldSize = std::filesystem::file_size(path, ec);
      if (!ec) m_file = std::fopen(path.c_str(), "r+b");
    }
    if (!m_file) {
      m_oldSize = 0;
      m_file = std::fopen(path.c_str(), "wb");
    }
    m_ok = m_file != nullptr;
  }
  ~COutputFile() { Close(); }
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  bool IsOpen() const { return m_file != nullptr; }

  // Room for n more bytes at the returned pointer (n may exceed the buffer);
  // nullptr once writing has failed.
  char* Reserve(std::size_t n) {
    if (m_used + n > m_size) {
      if (!Flush()) return nullptr;
      if (n > m_size) {  // one row longer than the whole buffer
        m_buf = std::make_unique_for_overwrite<char[]>(n);
        m_size = n;
      }
    }
    return m_buf.get() + m_used;
  }
  void Commit(char* end) { m_used = static_cast<std::size_t>(end - m_buf.get()); }

  // Writes what is left, closes the file and cuts off the old content behind
  // the new; true when all of it worked.
  bool Close() {
    if (!m_file) return false;
    Flush();
    if (std::fclose(m_file) != 0) m_ok = false;
    m_file = nullptr;
    if (m_oldSize > m_written) {
      std::error_code ec;
      std::filesystem::resize_file(m_path, m_written, ec);
      if (ec) m_ok = false;
    }
    return m_ok;
  }

 private:
  bool Flush() {
    if (m_ok && m_used != 0) {
      if (std::fwrite(m_buf.get(), 1, m_used, m_file) == m_used) {
        m_written += m_used;
      } else {
        m_ok = false;
      }
    }
    m_used = 0;
    return m_ok;
  }

  std::string m_path;
  std::size_t m_size = 64 * 1024;
  std::unique_ptr<char[]> m_buf;  // not cleared: only what is written is touched
  std::FILE* m_file = nullptr;
  std::uintmax_t m_oldSize = 0;
  std::uintmax_t m_written = 0;
  std::size_t m_used = 0;
  bool m_ok = false;
};

bool FitsRowBuffer(const RowRecord& r) {
  return r.length >= 0 && r.length <= 0xFF && r.count >= 0 && r.count <= 0xFF && r.address >= 0 &&
         r.address <= 0xFFFFFF && r.hexData.size() <= kMaxHexChars;
}

}  // namespace

bool CImageBuilder::WriteRowsText() {
  bool ok = false;
  try {
    // Binary mode: the CR LF line ends are written as they are meant on every platform.
    COutputFile out("tmp.txt");
    if (out.IsOpen()) {
      for (const RowRecord& r : m_rowList) {
        char* p = out.Reserve(3 * 8 + 3 + r.hexData.size() + 2);
        if (!p) break;
        p = hextext::PutHex(p, static_cast<std::uint32_t>(r.length), 2);
        *p++ = '-';
        p = hextext::PutHex(p, static_cast<std::uint32_t>(r.address), 6);
        *p++ = '-';
        p = hextext::PutHex(p, static_cast<std::uint32_t>(r.count), 2);
        *p++ = '-';
        p = std::copy(r.hexData.begin(), r.hexData.end(), p);
        *p++ = '\r';
        *p++ = '\n';
        out.Commit(p);
      }
      ok = out.Close();
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) Box(kTxtWriteErrorBox);
  return ok;
}

bool CImageBuilder::WriteRowsBinary(const std::string& path) {
  m_binImage.clear();
  m_binRecordSize = 0;
  for (const RowRecord& r : m_rowList) {
    if (!FitsRowBuffer(r)) {  // checked first, so the file on disk stays as it was
      Box(kBinWriteErrorBox);
      return false;
    }
  }
  bool ok = false;
  try {
    // The image is made in memory first and kept: it is what the transfer sends.
    std::size_t total = 0;
    for (const RowRecord& r : m_rowList) total += 5 + (r.hexData.size() + 1) / 2;
    std::vector<std::uint8_t> image(total);
    std::uint8_t* p = image.data();
    for (const RowRecord& r : m_rowList) {
      const auto address = static_cast<std::uint32_t>(r.address);
      *p++ = static_cast<std::uint8_t>(r.length);
      *p++ = static_cast<std::uint8_t>(address >> 16);
      *p++ = static_cast<std::uint8_t>(address >> 8);
      *p++ = static_cast<std::uint8_t>(address);
      *p++ = static_cast<std::uint8_t>(r.count);
      const char* text = r.hexData.data();
      const std::size_t chars = r.hexData.size();
      std::size_t i = 0;
      for (; i + 1 < chars; i += 2) {
        *p++ = static_cast<std::uint8_t>(hextext::PairValue(text[i], text[i + 1]));
      }
      if (i < chars) *p++ = 0;  // an odd last character
    }

    COutputFile out(path);
    if (out.IsOpen()) {
      constexpr std::size_t kPiece = 64 * 1024;
      for (std::size_t at = 0; at < total; at += kPiece) {
        const std::size_t n = std::min(kPiece, total - at);
        char* to = out.Reserve(n);
        if (!to) break;
        out.Commit(std::copy_n(reinterpret_cast<const char*>(image.data() + at), n, to));
      }
      ok = out.Close();
    }
    if (ok) {
      m_binImage = std::move(image);
      m_binRecordSize = SentRecordSize(ActiveProfile.recordSize);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) Box(kBinWriteErrorBox);
  return ok;
}
