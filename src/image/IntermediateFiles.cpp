// Row list -> tmp.txt (one readable line per row) and tmp.bin (the rows as the
// transfer sends them).
//
// tmp.txt: "%02x-%06x-%02x-%s" of length (count + 4), address, count and the
// data bytes in hex (the case the file wrote them in, fill as "FF"), each line
// ended by CR LF on every platform, so the listing is the same wherever it was
// made.
// tmp.bin: per row the length byte, three address bytes (high first), the count
// byte and the data bytes. The device's row buffer takes 512 bytes, so a row may
// carry at most 507 data bytes; length and count must fit one byte and the
// address three.

#include "image/IntermediateFiles.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "config/DeviceProfile.h"
#include "image/HexText.h"
#include "image/ImageBuilder.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

constexpr std::size_t kRowBufferBytes = 512;
constexpr std::size_t kMaxHexChars = 2 * kRowBufferBytes - 10;  // after the 10 field characters

// Whether the directory entry path may be replaced: nothing there yet, a file,
// or a symlink (the link goes, whatever it points to stays as it is). A
// directory, a pipe or a device of that name belongs to somebody else.
bool Replaceable(const std::string& path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
#endif
}

// A new, empty file in path's directory that nobody else has opened, for
// writing; its name goes to name. nullptr when none can be made.
std::FILE* OpenTemporaryBeside(const std::string& path, std::string& name) {
  const std::filesystem::path target(path);
  const std::string directory =
      target.has_parent_path() ? target.parent_path().string() : std::string(".");
#ifdef _WIN32
  char made[MAX_PATH];
  if (GetTempFileNameA(directory.c_str(), "iap", 0, made) == 0) return nullptr;
  name = made;
  std::FILE* file = std::fopen(made, "wb");
  if (!file) DeleteFileA(made);
  return file;
#else
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Hidden, and named after the file it becomes and the process that writes it.
    name = directory + "/." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
           std::to_string(serial++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) {
      ::close(fd);
      ::unlink(name.c_str());
    }
    return file;
  }
  return nullptr;
#endif
}

// Puts from in the place of to in one step: a reader sees the old file or the new one.
bool RenameOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

#ifdef _WIN32
bool FileId(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  // No access asked for: only the file's identity is read, whoever has it open.
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return ok;
}
#endif

bool SameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return FileId(a, x) && FileId(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
#else
  struct stat x {
  }, y{};
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
#endif
}

// A file written from its start through a large buffer, into a temporary file
// beside path that Close renames over path once all of it is written. Until
// then the old file stays whole; it is never opened, so a symlink named path is
// replaced and whatever it points to is left alone. A write that fails leaves
// the old file and no temporary behind.
class CReplacingFile {
 public:
  explicit CReplacingFile(const std::string& path)
      : m_path(path), m_buf(std::make_unique_for_overwrite<char[]>(m_size)) {
    if (!Replaceable(path)) {
      m_error = "it is not a regular file";
    } else {
      m_file = OpenTemporaryBeside(path, m_temporary);
      if (!m_file) Fail();
    }
    m_ok = m_file != nullptr;
  }
  ~CReplacingFile() {
    if (!m_file) return;
    std::fclose(m_file);
    std::remove(m_temporary.c_str());
  }
  CReplacingFile(const CReplacingFile&) = delete;
  CReplacingFile& operator=(const CReplacingFile&) = delete;

  bool IsOpen() const { return m_file != nullptr; }
  // Why writing failed, as the system said it at the call that failed.
  const std::string& Error() const { return m_error; }

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
  // Writes n bytes from data straight to the file (after what is buffered).
  void Write(const void* data, std::size_t n) {
    if (Flush() && n != 0 && std::fwrite(data, 1, n, m_file) != n) Fail();
  }

  // Writes what is left, closes the temporary and puts it in path's place;
  // true when all of it worked.
  bool Close() {
    if (!m_file) return false;
    Flush();
    if (std::fclose(m_file) != 0 && m_ok) Fail();
    m_file = nullptr;
    if (m_ok && !RenameOver(m_temporary, m_path)) Fail();
    if (!m_ok) std::remove(m_temporary.c_str());
    return m_ok;
  }

 private:
  bool Flush() {
    if (m_ok && m_used != 0 && std::fwrite(m_buf.get(), 1, m_used, m_file) != m_used) Fail();
    m_used = 0;
    return m_ok;
  }

  std::string m_path;
  std::string m_temporary;
  std::size_t m_size = 64 * 1024;
  std::unique_ptr<char[]> m_buf;  // not cleared: only what is written is touched
  // Keeps the system's word on the call that just failed (the first failure wins).
  void Fail() {
    m_ok = false;
    if (!m_error.empty()) return;
#ifdef _WIN32
    m_error = std::system_category().message(static_cast<int>(GetLastError()));
#else
    m_error = std::generic_category().message(errno);
#endif
  }

  std::FILE* m_file = nullptr;
  std::size_t m_used = 0;
  bool m_ok = false;
  std::string m_error;
};

bool FitsRowBuffer(int count, std::uint32_t address) {
  return count >= 0 && count + 4 <= 0xFF && address <= 0xFFFFFF &&
         2 * static_cast<std::size_t>(count) <= kMaxHexChars;
}

}  // namespace

std::string IntermediateFileNamedBy(const std::string& path) {
  for (const char* name : {"tmp.txt", "tmp.bin"}) {
    if (SameFile(path, name)) return name;
  }
  return {};
}

bool CImageBuilder::WriteRowsText() {
  bool ok = false;
  std::string writeError;
  try {
    // Binary mode: the CR LF line ends are written as they are meant on every platform.
    CReplacingFile out("tmp.txt");
    if (out.IsOpen()) {
      const int count = m_rows.RowSize();
      const std::size_t line = 3 * 8 + 3 + 2 * static_cast<std::size_t>(count) + 2;
      for (std::size_t i = 0; i < m_rows.Size(); ++i) {
        char* p = out.Reserve(line);
        if (!p) break;
        p = hextext::PutHex(p, static_cast<std::uint32_t>(count + 4), 2);
        *p++ = '-';
        p = hextext::PutHex(p, m_rows.Address(i), 6);
        *p++ = '-';
        p = hextext::PutHex(p, static_cast<std::uint32_t>(count), 2);
        *p++ = '-';
        p = m_rows.PutHex(i, p);
        *p++ = '\r';
        *p++ = '\n';
        out.Commit(p);
      }
      ok = out.Close();
    }
    writeError = out.Error();
  } catch (const std::bad_alloc&) {
    ok = false;
    writeError = "out of memory";
  }
  if (!ok) Box(Reason::kTmpTxtWrite, kTxtWriteErrorBox, writeError);
  return ok;
}

bool CImageBuilder::WriteRowsBinary(const std::string& path) {
  std::vector<std::uint8_t>().swap(m_binImage);
  m_binRecordSize = 0;
  const int count = m_rows.RowSize();
  for (std::size_t i = 0; i < m_rows.Size(); ++i) {
    if (!FitsRowBuffer(count, m_rows.Address(i))) {  // checked first: the file on disk stays
      Box(Reason::kTmpBinWrite, kBinWriteErrorBox, "a row does not fit the image's row layout");
      return false;
    }
  }
  bool ok = false;
  std::string writeError;
  try {
    // The rows are laid out as tmp.bin holds them: they are written as they
    // stand, and kept, for they are what the transfer sends.
    const std::vector<std::uint8_t>& image = m_rows.Bytes();
    CReplacingFile out(path);
    if (out.IsOpen()) {
      out.Write(image.data(), image.size());
      ok = out.Close();
    }
    writeError = out.Error();
    if (ok) {
      m_binImage = m_rows.TakeBytes();
      m_binRecordSize = SentRecordSize(m_profile.recordSize);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
    writeError = "out of memory";
  }
  if (!ok) Box(Reason::kTmpBinWrite, kBinWriteErrorBox, writeError);
  return ok;
}
