#include "journal/Journal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <thread>
#include <type_traits>

#include "link/os/Utf8.h"
#include "trust/FileDigest.h"

#ifdef _WIN32
#include <windows.h>

#include "link/os/win32/SystemMessage.h"
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The previous of the first record: no line before it.
const std::string kChainStart(64, '0');

// ---------------------------------------------------------------------------
// Text

// The length of the well-formed UTF-8 sequence that starts at data[i], 0 when
// none does (a stray continuation byte, an overlong form, a surrogate, a code
// point above U+10FFFF, a sequence cut short).
std::size_t Utf8SequenceAt(std::string_view data, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(data[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3, low = 0xA0;
  } else if (lead == 0xED) {
    length = 3, high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4, low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4, high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > data.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// The text as well-formed UTF-8: every byte that is not part of a well-formed
// sequence becomes U+FFFD. A device's product string or a file name from an old
// code page cannot then make the journal unreadable.
std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8SequenceAt(text, i);
    if (n == 0) {
      AppendUtf8(out, 0xFFFD);
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

// A JSON string: quotes, backslashes and control characters escaped, other
// UTF-8 passed through; a byte that is no UTF-8 is written \ufffd, so the raw
// line shows where the replacement was made.
void AppendJsonString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\b') {
      out += "\\b";
    } else if (c == '\f') {
      out += "\\f";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t n = Utf8SequenceAt(text, i); n > 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    } else {
      out += "\\ufffd";
    }
    ++i;
  }
  out += '"';
}

// ---------------------------------------------------------------------------
// Writing a record

class CJsonWriter {
 public:
  CJsonWriter() { m_out = "{"; }
  void Open(const char* key) {
    Key(key);
    m_out += '{';
    m_comma = false;
  }
  void Close() {
    m_out += '}';
    m_comma = true;
  }
  void Field(const char* key, const std::string& value) {
    Key(key);
    AppendJsonString(m_out, value);
  }
  template <typename Integer>
  void Number(const char* key, Integer value) {
    static_assert(std::is_integral_v<Integer>);
    Key(key);
    m_out += std::to_string(value);
  }
  std::string Done() {
    m_out += '}';
    return std::move(m_out);
  }

 private:
  void Key(const char* key) {
    if (m_comma) m_out += ',';
    m_out += '"';
    m_out += key;
    m_out += "\":";
    m_comma = true;
  }
  std::string m_out;
  bool m_comma = false;
};

// ---------------------------------------------------------------------------
// Reading a record: a strict JSON parser. A journal line may come from anyone
// who can write the file, so the parser bounds its depth (a record nests two
// levels) and takes every byte as hostile: it reads each one once, never
// recurses past the bound, and leaves numbers as text until a field converts
// them with a range check.

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;               // a string's value, a number's digits as written
  std::vector<std::string> keys;  // an object's, in order
  std::vector<JsonValue> values;  // an object's (beside keys) or an array's
};

constexpr int kMaxDepth = 16;

class CJsonParser {
 public:
  explicit CJsonParser(std::string_view text) : m_text(text) {}

  bool Document(JsonValue& out) {
    SkipSpace();
    if (!Value(out, 0)) return false;
    SkipSpace();
    if (m_pos != m_text.size()) return Fail("text after the record");
    return true;
  }
  const std::string& Why() const { return m_why; }

 private:
  bool Fail(const std::string& why) {
    if (m_why.empty()) m_why = why + " at column " + std::to_string(m_pos + 1);
    return false;
  }
  bool AtEnd() const { return m_pos >= m_text.size(); }
  char Peek() const { return m_text[m_pos]; }
  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\r' || Peek() == '\n')) {
      ++m_pos;
    }
  }

  bool Value(JsonValue& out, int depth) {
    if (AtEnd()) return Fail("the line ends inside the record");
    switch (Peek()) {
      case '{':
        return Object(out, depth + 1);
      case '[':
        return Array(out, depth + 1);
      case '"':
        out.kind = JsonValue::Kind::kString;
        return String(out.text);
      case 't':
        out.kind = JsonValue::Kind::kBool;
        out.text = "true";
        return Word("true");
      case 'f':
        out.kind = JsonValue::Kind::kBool;
        out.text = "false";
        return Word("false");
      case 'n':
        out.kind = JsonValue::Kind::kNull;
        return Word("null");
      default:
        out.kind = JsonValue::Kind::kNumber;
        return Number(out.text);
    }
  }

  bool Word(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) return Fail("not a JSON value");
    m_pos += word.size();
    return true;
  }

  bool Object(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return Fail("objects nested too deep");
    out.kind = JsonValue::Kind::kObject;
    ++m_pos;  // {
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      ++m_pos;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (AtEnd()) return Fail("the line ends inside an object");
      if (Peek() != '"') return Fail("a key that is not a string");
      std::string key;
      if (!String(key)) return false;
      SkipSpace();
      if (AtEnd() || Peek() != ':') return Fail("no ':' after a key");
      ++m_pos;
      SkipSpace();
      JsonValue value;
      if (!Value(value, depth)) return false;
      out.keys.push_back(std::move(key));
      out.values.push_back(std::move(value));
      SkipSpace();
      if (AtEnd()) return Fail("the line ends inside an object");
      if (Peek() == '}') {
        ++m_pos;
        break;
      }
      if (Peek() != ',') return Fail("no ',' or '}' after a value");
      ++m_pos;
    }
    // A key given twice would read one way here and another way elsewhere.
    std::vector<std::string_view> sorted(out.keys.begin(), out.keys.end());
    std::sort(sorted.begin(), sorted.end());
    if (const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
        twice != sorted.end()) {
      return Fail("the key \"" + ValidUtf8(*twice) + "\" given twice");
    }
    return true;
  }

  bool Array(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return Fail("arrays nested too deep");
    out.kind = JsonValue::Kind::kArray;
    ++m_pos;  // [
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      ++m_pos;
      return true;
    }
    for (;;) {
      SkipSpace();
      JsonValue value;
      if (!Value(value, depth)) return false;
      out.values.push_back(std::move(value));
      SkipSpace();
      if (AtEnd()) return Fail("the line ends inside an array");
      if (Peek() == ']') {
        ++m_pos;
        return true;
      }
      if (Peek() != ',') return Fail("no ',' or ']' after a value");
      ++m_pos;
    }
  }

  bool Hex4(std::uint32_t& code) {
    if (m_text.size() - m_pos < 4) return Fail("the line ends inside an escape");
    code = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = m_text[m_pos++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return Fail("a \\u escape that is not four hex digits");
      }
    }
    return true;
  }

  bool String(std::string& out) {
    ++m_pos;  // "
    for (;;) {
      if (AtEnd()) return Fail("the line ends inside a string");
      const unsigned char c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        ++m_pos;
        return true;
      }
      if (c < 0x20) return Fail("a control character inside a string");
      if (c == '\\') {
        ++m_pos;
        if (AtEnd()) return Fail("the line ends inside an escape");
        const char e = m_text[m_pos++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
            out += e;
            break;
          case 'b':
            out += '\b';
            break;
          case 'f':
            out += '\f';
            break;
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case 'u': {
            std::uint32_t code = 0;
            if (!Hex4(code)) return false;
            if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a lone low surrogate");
            if (code >= 0xD800 && code <= 0xDBFF) {
              std::uint32_t low = 0;
              if (m_text.substr(m_pos, 2) != "\\u") return Fail("a lone high surrogate");
              m_pos += 2;
              if (!Hex4(low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return Fail("a lone high surrogate");
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, code);
            break;
          }
          default:
            return Fail("an unknown escape");
        }
        continue;
      }
      const std::size_t n = Utf8SequenceAt(m_text, m_pos);
      if (n == 0) return Fail("a byte that is not UTF-8");
      out.append(m_text.substr(m_pos, n));
      m_pos += n;
    }
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, kept as written.
  bool Number(std::string& out) {
    const std::size_t start = m_pos;
    const auto digits = [&] {
      const std::size_t from = m_pos;
      while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++m_pos;
      return m_pos > from;
    };
    if (!AtEnd() && Peek() == '-') ++m_pos;
    if (AtEnd() || Peek() < '0' || Peek() > '9') return Fail("not a JSON value");
    if (Peek() == '0') {
      ++m_pos;
    } else {
      digits();
    }
    if (!AtEnd() && Peek() == '.') {
      ++m_pos;
      if (!digits()) return Fail("a number without digits after its point");
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++m_pos;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++m_pos;
      if (!digits()) return Fail("a number without digits in its exponent");
    }
    out.assign(m_text.substr(start, m_pos - start));
    return true;
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
  std::string m_why;
};

// The fields of a record out of its parsed object, every one required and of
// its one type. Keys the record does not know are left alone: a later version
// may add some, and its records still read and verify here.
class CRecordReader {
 public:
  bool Fail(const std::string& why) {
    if (m_why.empty()) m_why = why;
    return false;
  }
  const std::string& Why() const { return m_why; }

  const JsonValue* Member(const JsonValue& object, const std::string& prefix, const char* key,
                          JsonValue::Kind kind, const char* kindName) {
    const std::string name = prefix + key;
    const auto at = std::find(object.keys.begin(), object.keys.end(), key);
    if (at == object.keys.end()) {
      Fail("\"" + name + "\" is missing");
      return nullptr;
    }
    const JsonValue& value = object.values[static_cast<std::size_t>(at - object.keys.begin())];
    if (value.kind != kind) {
      Fail("\"" + name + "\" is not " + kindName);
      return nullptr;
    }
    return &value;
  }
  const JsonValue* Object(const JsonValue& object, const char* key) {
    return Member(object, "", key, JsonValue::Kind::kObject, "an object");
  }
  bool Text(const JsonValue& object, const std::string& prefix, const char* key, std::string& out) {
    const JsonValue* value = Member(object, prefix, key, JsonValue::Kind::kString, "a string");
    if (value == nullptr) return false;
    out = value->text;
    return true;
  }
  template <typename Integer>
  bool Whole(const JsonValue& object, const std::string& prefix, const char* key, Integer& out) {
    const JsonValue* value = Member(object, prefix, key, JsonValue::Kind::kNumber, "a number");
    if (value == nullptr) return false;
    const std::string& text = value->text;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out);
    if (error != std::errc() || stop != end) {
      return Fail("\"" + prefix + key + "\" is not a whole number in range");
    }
    return true;
  }

 private:
  std::string m_why;
};

bool ReadRecord(const JsonValue& root, JournalEntry& e, std::string& why) {
  CRecordReader r;
  if (root.kind != JsonValue::Kind::kObject) {
    why = "not a JSON object";
    return false;
  }
  bool ok = r.Text(root, "", "begun", e.begun) && r.Text(root, "", "ended", e.ended) &&
            r.Text(root, "", "program", e.program) && r.Text(root, "", "version", e.version) &&
            r.Text(root, "", "variant", e.variant) && r.Text(root, "", "host", e.host) &&
            r.Text(root, "", "user", e.user) && r.Text(root, "", "interface", e.interfaceKind);
  if (const JsonValue* d = ok ? r.Object(root, "device") : nullptr) {
    ok = r.Text(*d, "device.", "path", e.device.path) &&
         r.Text(*d, "device.", "by_id", e.device.byId) &&
         r.Text(*d, "device.", "hid_path", e.device.hidPath) &&
         r.Text(*d, "device.", "vid_pid", e.device.vidPid) &&
         r.Text(*d, "device.", "product", e.device.product) &&
         r.Text(*d, "device.", "serial", e.device.serial);
  } else {
    ok = false;
  }
  if (const JsonValue* f = ok ? r.Object(root, "firmware") : nullptr) {
    ok = r.Text(*f, "firmware.", "path", e.firmware.path) &&
         r.Whole(*f, "firmware.", "size", e.firmware.size) &&
         r.Text(*f, "firmware.", "sha256", e.firmware.sha256) &&
         r.Text(*f, "firmware.", "key_id", e.firmware.keyId) &&
         r.Text(*f, "firmware.", "trusted_comment", e.firmware.trustedComment);
  } else {
    ok = false;
  }
  if (const JsonValue* p = ok ? r.Object(root, "profile") : nullptr) {
    ok = r.Text(*p, "profile.", "section", e.profile.section) &&
         r.Whole(*p, "profile.", "romhead", e.profile.romHead) &&
         r.Whole(*p, "profile.", "romtail", e.profile.romTail) &&
         r.Whole(*p, "profile.", "record_size", e.profile.recordSize) &&
         r.Whole(*p, "profile.", "baud_rate", e.profile.baudRate) &&
         r.Whole(*p, "profile.", "program_baud_rate", e.profile.programBaudRate);
  } else {
    ok = false;
  }
  if (const JsonValue* fr = ok ? r.Object(root, "frames") : nullptr) {
    ok = r.Whole(*fr, "frames.", "sent", e.framesSent) &&
         r.Whole(*fr, "frames.", "acknowledged", e.framesAcknowledged) &&
         r.Whole(*fr, "frames.", "resent", e.framesResent);
  } else {
    ok = false;
  }
  ok = ok && r.Whole(root, "", "bytes", e.bytes) &&
       r.Text(root, "", "stream_sha256", e.streamSha256);
  if (const JsonValue* o = ok ? r.Object(root, "outcome") : nullptr) {
    ok = r.Text(*o, "outcome.", "stage", e.stage) && r.Text(*o, "outcome.", "result", e.result) &&
         r.Text(*o, "outcome.", "reason", e.reason) && r.Text(*o, "outcome.", "detail", e.detail);
  } else {
    ok = false;
  }
  ok = ok && r.Text(root, "", "previous", e.previous);
  if (!ok) why = r.Why();
  return ok;
}

std::string LineDigest(std::string_view line) { return Sha256Hex(line.data(), line.size()); }

bool IsDigest(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// "2026-12-10T13:04:05Z", as UtcNow writes it.
bool IsUtcTime(const std::string& text) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kForm - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
  }
  return true;
}

// What is wrong with a record beyond its JSON: the chain's digest, the firmware's
// and the stream's digests and the times in the forms the writer gives them.
std::string FormFault(const JournalEntry& e) {
  if (!IsDigest(e.previous)) return "its \"previous\" is not a SHA-256 digest";
  if (!e.firmware.sha256.empty() && !IsDigest(e.firmware.sha256)) {
    return "its \"firmware.sha256\" is not a SHA-256 digest";
  }
  if (!e.streamSha256.empty() && !IsDigest(e.streamSha256)) {
    return "its \"stream_sha256\" is not a SHA-256 digest";
  }
  if (!e.begun.empty() && !IsUtcTime(e.begun)) return "its \"begun\" is not a UTC time";
  if (!e.ended.empty() && !IsUtcTime(e.ended)) return "its \"ended\" is not a UTC time";
  return {};
}

// ---------------------------------------------------------------------------
// Files

#ifdef _WIN32
std::string LastSystemWords() { return SystemMessage(GetLastError()); }
bool IsSeparator(char c) { return c == '/' || c == '\\'; }
#else
std::string LastSystemWords() { return std::strerror(errno); }
bool IsSeparator(char c) { return c == '/'; }
#endif

// Makes the folders above the file at path, outermost first.
bool MakeParentFolders(const std::string& path, std::string& why) {
  std::size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  if (end == 0) return true;  // in the working directory or the root
  std::size_t from = 0;
#ifdef _WIN32
  // \\server\share\ is there or not; it is never made.
  if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    int separators = 0;
    for (from = 2; from < end && separators < 2; ++from) {
      if (IsSeparator(path[from])) ++separators;
    }
  }
#endif
  for (std::size_t i = from; i <= end; ++i) {
    if (i < end && !IsSeparator(path[i])) continue;
    if (i == 0 || IsSeparator(path[i - 1])) continue;
    const std::string folder = path.substr(0, i);
#ifdef _WIN32
    if (folder.size() == 2 && folder[1] == ':') continue;  // a drive
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      why = "cannot make the folder " + folder + ": " + LastSystemWords();
      return false;
    }
#else
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      why = "cannot make the folder " + folder + ": " + LastSystemWords();
      return false;
    }
#endif
  }
  return true;
}

// The journal open for appending, locked by this writer alone while it lives.
// POSIX: flock, which holds between any two open files (threads included), not
// only between processes. Windows: LockFileEx on one byte far past any record,
// so readers are never refused the records while a writer holds the lock.
// Either is taken without waiting and tried again until kLockWait has passed: a
// writer that holds it longer is hung (an updater stopped on a share that went
// away), and the windows append on their own thread, which must not hang too.
enum class LockTry { kTaken, kHeld, kFailed };

class CJournalFile {
 public:
  static constexpr std::chrono::milliseconds kLockRetry{50};
  static constexpr std::chrono::seconds kLockWait{5};

  CJournalFile() = default;
  CJournalFile(const CJournalFile&) = delete;
  CJournalFile& operator=(const CJournalFile&) = delete;

#ifdef _WIN32
  ~CJournalFile() {
    if (m_locked) {
      OVERLAPPED at = LockPlace();
      UnlockFileEx(m_file, 0, 1, 0, &at);
    }
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
  }
  bool Open(const std::string& path) {
    m_file = CreateFileA(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return Done(m_file != INVALID_HANDLE_VALUE);
  }
  LockTry TryLock() {
    OVERLAPPED at = LockPlace();
    if (LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return LockTry::kTaken;
    }
    if (GetLastError() == ERROR_LOCK_VIOLATION) return LockTry::kHeld;
    Done(false);
    return LockTry::kFailed;
  }
  bool Size(std::uint64_t& size) {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(m_file, &value)) return Done(false);
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }
  bool ReadAt(std::uint64_t offset, std::string& out) {
    std::size_t done = 0;
    while (done < out.size()) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset + done);
      at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(m_file, out.data() + done, want, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        return Done(false);
      }
      if (got == 0) break;
      done += got;
    }
    out.resize(done);
    return true;
  }
  bool Append(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      OVERLAPPED at{};
      at.Offset = at.OffsetHigh = 0xFFFFFFFF;  // at the end of the file
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      DWORD wrote = 0;
      if (!WriteFile(m_file, bytes.data() + done, want, &wrote, &at)) return Done(false);
      done += wrote;
    }
    return true;
  }
  bool Sync() { return Done(FlushFileBuffers(m_file) != 0); }
  void SyncFolder(const std::string&) {}  // NTFS keeps the folder's entry in its own log

 private:
  static OVERLAPPED LockPlace() {
    OVERLAPPED at{};
    at.OffsetHigh = 0x40000000;  // 2^62: no journal grows this long
    return at;
  }
  bool Done(bool ok) {
    if (!ok) error = LastSystemWords();
    return ok;
  }
  HANDLE m_file = INVALID_HANDLE_VALUE;
  bool m_locked = false;
#else
  ~CJournalFile() {
    if (m_fd < 0) return;
    if (m_locked) ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
  }
  bool Open(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return Done(m_fd >= 0);
  }
  LockTry TryLock() {
    int status = 0;
    do {
      status = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (status != 0 && errno == EINTR);
    if (status == 0) return LockTry::kTaken;
    if (errno == EWOULDBLOCK) return LockTry::kHeld;
    Done(false);
    return LockTry::kFailed;
  }
  bool Size(std::uint64_t& size) {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) return Done(false);
    if (!S_ISREG(st.st_mode)) {
      error = "not a regular file";
      return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  bool ReadAt(std::uint64_t offset, std::string& out) {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got =
          ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return Done(false);
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return true;
  }
  bool Append(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t wrote = ::write(m_fd, bytes.data() + done, bytes.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) return Done(false);
      done += static_cast<std::size_t>(wrote);
    }
    return true;
  }
  bool Sync() {
    int status = 0;
    do {
      status = ::fsync(m_fd);
    } while (status != 0 && errno == EINTR);
    return Done(status == 0);
  }
  // A journal just made: its folder's entry for it is flushed too, or a power
  // cut could lose the whole file along with the record.
  void SyncFolder(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] != '/') --end;
    const std::string folder = end == 0 ? "." : path.substr(0, end);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
  }

 private:
  bool Done(bool ok) {
    if (!ok) error = LastSystemWords();
    return ok;
  }
  int m_fd = -1;
  bool m_locked = false;
#endif

 public:
  // false with held set when another writer kept the lock all of kLockWait.
  bool Lock() {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
      switch (TryLock()) {
        case LockTry::kTaken:
          m_locked = true;
          return true;
        case LockTry::kFailed:
          return false;
        case LockTry::kHeld:
          break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        held = true;
        return false;
      }
      std::this_thread::sleep_for(kLockRetry);
    }
  }

  std::string error;  // the system's words for the last step that failed
  bool held = false;
};

// The digest of the last line of the journal's first size bytes that is a
// whole record, found from the end: only as much of the tail is read as it
// takes to reach that line. kChainStart when no line is one.
bool LastRecordDigest(CJournalFile& file, std::uint64_t size, std::string& digest) {
  digest = kChainStart;
  if (size == 0) return true;
  std::uint64_t window = std::min<std::uint64_t>(size, 64 * 1024);
  // The end of the next line to look at: its '\n', or the end of the file for a
  // last line without one. Lines from there on are known not to be records.
  std::uint64_t lineEnd = size;
  bool first = true;
  for (;;) {
    const std::uint64_t start = size - window;
    std::string tail(static_cast<std::size_t>(window), '\0');
    if (!file.ReadAt(start, tail)) return false;
    if (tail.size() != window) {
      file.error = "the journal became shorter while it was locked";
      return false;
    }
    if (first && tail.back() == '\n') --lineEnd;  // after the last '\n' there is no line
    first = false;
    for (;;) {
      const std::size_t end = static_cast<std::size_t>(lineEnd - start);
      const std::size_t newline = end == 0 ? std::string::npos : tail.rfind('\n', end - 1);
      if (newline == std::string::npos && start > 0) break;  // the line begins before the window
      const std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
      const std::string_view line(tail.data() + begin, end - begin);
      if (ParseJournalLine(std::string(line))) {
        digest = LineDigest(line);
        return true;
      }
      if (newline == std::string::npos) return true;  // the first line: no record at all
      lineEnd = start + newline;
    }
    window = std::min<std::uint64_t>(size, window * 4);
  }
}

// The journal's lines, and the digests of those that are records.
struct JournalLines {
  JournalRead read;
  std::vector<std::string> digests;  // beside read.records
};

JournalLines ReadLines(const std::string& path) {
  JournalLines out;
  JournalRead& read = out.read;
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) {
    read.exists = errno != ENOENT && errno != ENOTDIR;
    if (errno != ENOENT) read.error = std::strerror(errno != 0 ? errno : EIO);
    return out;
  }
  read.exists = true;
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    content.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) {
    read.error = std::strerror(errno != 0 ? errno : EIO);
    return out;
  }
  long number = 0;
  for (std::size_t begin = 0; begin < content.size();) {
    const std::size_t newline = content.find('\n', begin);
    const std::size_t end = newline == std::string::npos ? content.size() : newline;
    ++number;
    const std::string line = content.substr(begin, end - begin);
    if (std::optional<JournalEntry> record = ParseJournalLine(line)) {
      read.records.push_back(std::move(*record));
      read.lines.push_back(line);
      read.lineNumbers.push_back(number);
      out.digests.push_back(LineDigest(line));
    } else {
      read.tornLines.push_back(number);
    }
    begin = end + 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// The spreadsheet

// One CSV cell (RFC 4180): quoted when it holds a comma, a quote or a line end.
// Text a spreadsheet would take for a formula (= + - @, and the tab and carriage
// return that some of them skip before one) is given a leading ' so that it stays
// text: a firmware file named "=HYPERLINK(...)" must not become a link.
std::string CsvText(const std::string& value) {
  std::string text = ValidUtf8(value);
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    text.insert(0, "'");
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string DeviceName(const JournalDevice& device) {
  if (!device.byId.empty()) return device.byId;
  if (!device.path.empty()) return device.path;
  if (!device.vidPid.empty()) return device.vidPid;
  return device.hidPath;
}

std::string BaseName(const std::string& path) {
  std::size_t begin = path.size();
  while (begin > 0 && path[begin - 1] != '/' && path[begin - 1] != '\\') --begin;
  return path.substr(begin);
}

}  // namespace

std::string DefaultJournalPath() {
  if (const char* chosen = std::getenv("IAP_JOURNAL"); chosen != nullptr && *chosen != '\0') {
    return chosen;
  }
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "");
  };
#ifdef _WIN32
  std::string base = env("LOCALAPPDATA");
  if (base.empty() && !env("USERPROFILE").empty()) base = env("USERPROFILE") + "\\AppData\\Local";
  return (base.empty() ? std::string() : base + "\\") + "IAP Updater\\journal.jsonl";
#else
  std::string base = env("XDG_STATE_HOME");
  if (base.empty()) {
    std::string home = env("HOME");
    if (home.empty()) {
      // A service started without HOME: the account's own home folder.
      if (const struct passwd* account = ::getpwuid(::getuid()); account && account->pw_dir) {
        home = account->pw_dir;
      }
    }
    base = home + "/.local/state";
  }
  return base + "/iap-updater/journal.jsonl";
#endif
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string JournalLine(const JournalEntry& e) {
  CJsonWriter w;
  w.Field("begun", e.begun);
  w.Field("ended", e.ended);
  w.Field("program", e.program);
  w.Field("version", e.version);
  w.Field("variant", e.variant);
  w.Field("host", e.host);
  w.Field("user", e.user);
  w.Field("interface", e.interfaceKind);
  w.Open("device");
  w.Field("path", e.device.path);
  w.Field("by_id", e.device.byId);
  w.Field("hid_path", e.device.hidPath);
  w.Field("vid_pid", e.device.vidPid);
  w.Field("product", e.device.product);
  w.Field("serial", e.device.serial);
  w.Close();
  w.Open("firmware");
  w.Field("path", e.firmware.path);
  w.Number("size", e.firmware.size);
  w.Field("sha256", e.firmware.sha256);
  w.Field("key_id", e.firmware.keyId);
  w.Field("trusted_comment", e.firmware.trustedComment);
  w.Close();
  w.Open("profile");
  w.Field("section", e.profile.section);
  w.Number("romhead", e.profile.romHead);
  w.Number("romtail", e.profile.romTail);
  w.Number("record_size", e.profile.recordSize);
  w.Number("baud_rate", e.profile.baudRate);
  w.Number("program_baud_rate", e.profile.programBaudRate);
  w.Close();
  w.Open("frames");
  w.Number("sent", e.framesSent);
  w.Number("acknowledged", e.framesAcknowledged);
  w.Number("resent", e.framesResent);
  w.Close();
  w.Number("bytes", e.bytes);
  w.Field("stream_sha256", e.streamSha256);
  w.Open("outcome");
  w.Field("stage", e.stage);
  w.Field("result", e.result);
  w.Field("reason", e.reason);
  w.Field("detail", e.detail);
  w.Close();
  w.Field("previous", e.previous);
  return w.Done();
}

std::optional<JournalEntry> ParseJournalLine(const std::string& line, std::string* why) {
  JsonValue root;
  CJsonParser parser(line);
  if (!parser.Document(root)) {
    if (why) *why = parser.Why();
    return std::nullopt;
  }
  JournalEntry entry;
  std::string fault;
  if (!ReadRecord(root, entry, fault)) {
    if (why) *why = fault;
    return std::nullopt;
  }
  return entry;
}

JournalWrite AppendJournal(const std::string& path, JournalEntry entry) {
  JournalWrite result;
  if (path.empty()) {
    result.reason = "no journal file is named";
    return result;
  }
  if (!MakeParentFolders(path, result.reason)) return result;
#ifdef _WIN32
  const bool existed = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
#endif
  CJournalFile file;
  if (!file.Open(path)) {
    result.reason = "cannot open " + path + ": " + file.error;
    return result;
  }
  if (!file.Lock()) {
    result.reason = file.held ? kJournalLocked : "cannot lock " + path + ": " + file.error;
    return result;
  }
  // From here on no other writer moves the end of the file.
  std::uint64_t size = 0;
  std::string last(1, '\n');
  if (!file.Size(size) || (size > 0 && !file.ReadAt(size - 1, last)) ||
      !LastRecordDigest(file, size, entry.previous)) {
    result.reason = "cannot read " + path + ": " + file.error;
    return result;
  }
  if (entry.previous.empty()) {
    result.reason = "the SHA-256 digest of the last record cannot be computed";
    return result;
  }
  // A crash's half line is closed first, so that this record has a line of its
  // own; the whole of it goes in one write.
  std::string bytes = last == "\n" ? std::string() : std::string("\n");
  bytes += JournalLine(entry);
  bytes += '\n';
  if (!file.Append(bytes)) {
    result.reason = "cannot write " + path + ": " + file.error;
    return result;
  }
  if (!file.Sync()) {
    result.reason = "cannot flush " + path + " to disk: " + file.error;
    return result;
  }
  if (!existed) file.SyncFolder(path);
  result.ok = true;
  return result;
}

JournalRead ReadJournal(const std::string& path) { return ReadLines(path).read; }

JournalCheck VerifyJournal(const std::string& path) {
  JournalLines lines = ReadLines(path);
  const JournalRead& read = lines.read;
  JournalCheck check;
  check.exists = read.exists;
  check.tornLines = read.tornLines;
  if (!read.error.empty()) {
    check.why = read.error;
    return check;
  }
  // Lines, and not one of them a record: an edit (or a crash) took every record,
  // which is not a journal that holds no records yet.
  if (read.records.empty() && !read.tornLines.empty()) {
    check.faultLine = read.tornLines.front();
    check.why = "no line of it is a record";
    return check;
  }
  std::string expected = kChainStart;
  for (std::size_t i = 0; i < read.records.size(); ++i) {
    const JournalEntry& record = read.records[i];
    std::string fault = FormFault(record);
    if (fault.empty() && record.previous != expected) {
      fault = i == 0 ? "the first record does not start the chain (its previous is not 64 zeros)"
                     : "previous record's digest does not match";
    }
    if (!fault.empty()) {
      check.faultLine = read.lineNumbers[i];
      check.previousLine = i == 0 ? 0 : read.lineNumbers[i - 1];
      check.why = fault;
      return check;
    }
    expected = lines.digests[i];
    ++check.records;
  }
  if (!lines.digests.empty()) check.newestDigest = lines.digests.back();
  check.ok = true;
  return check;
}

bool ExportJournalCsv(const JournalRead& journal, const std::string& csvPath, std::string& why) {
  // The byte order mark tells spreadsheet programs the file is UTF-8; lines end
  // in CR LF as RFC 4180 has them.
  std::string csv =
      "\xEF\xBB\xBF"
      "ended,begun,variant,program,version,host,user,interface,device,serial,firmware,size,"
      "sha256,key_id,trusted_comment,frames_sent,frames_acknowledged,frames_resent,bytes,stage,"
      "result,reason,detail\r\n";
  for (const JournalEntry& e : journal.records) {
    const std::string cells[] = {e.ended,         e.begun,         e.variant,
                                 e.program,       e.version,       e.host,
                                 e.user,          e.interfaceKind, DeviceName(e.device),
                                 e.device.serial, e.firmware.path};
    for (const std::string& cell : cells) csv += CsvText(cell) + ',';
    csv += std::to_string(e.firmware.size) + ',';
    for (const std::string* cell :
         {&e.firmware.sha256, &e.firmware.keyId, &e.firmware.trustedComment}) {
      csv += CsvText(*cell) + ',';
    }
    csv += std::to_string(e.framesSent) + ',' + std::to_string(e.framesAcknowledged) + ',' +
           std::to_string(e.framesResent) + ',' + std::to_string(e.bytes) + ',';
    csv += CsvText(e.stage) + ',' + CsvText(e.result) + ',' + CsvText(e.reason) + ',' +
           CsvText(e.detail) + "\r\n";
  }
  // Written beside the spreadsheet and renamed onto it only once it is whole:
  // a full disk or a cut share leaves the last export as it was.
#ifdef _WIN32
  const std::string temporary = csvPath + ".part-" + std::to_string(GetCurrentProcessId());
#else
  const std::string temporary = csvPath + ".part-" + std::to_string(::getpid());
#endif
  errno = 0;
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    why = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  int error = 0;
  if (std::fwrite(csv.data(), 1, csv.size(), file) != csv.size()) error = errno != 0 ? errno : EIO;
  if (error == 0 && std::fflush(file) != 0) error = errno != 0 ? errno : EIO;
#ifndef _WIN32
  if (error == 0 && ::fsync(::fileno(file)) != 0) error = errno;
#endif
  if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error != 0) {
    std::remove(temporary.c_str());
    why = std::strerror(error);
    return false;
  }
#ifdef _WIN32
  if (!MoveFileExA(temporary.c_str(), csvPath.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    why = LastSystemWords();
    std::remove(temporary.c_str());
    return false;
  }
#else
  if (std::rename(temporary.c_str(), csvPath.c_str()) != 0) {
    why = LastSystemWords();
    std::remove(temporary.c_str());
    return false;
  }
#endif
  return true;
}

JournalRow RowOf(const JournalEntry& e) {
  JournalRow row;
  row.time = e.ended;
  if (IsUtcTime(row.time)) {
    row.time[10] = ' ';
    row.time.pop_back();
  }
  row.device = DeviceName(e.device);
  row.firmware = BaseName(e.firmware.path);
  if (!e.firmware.sha256.empty()) {
    const std::string shortHash = e.firmware.sha256.substr(0, 8);
    row.firmware += row.firmware.empty() ? shortHash : " (" + shortHash + ")";
  }
  row.result = e.result;
  if (e.result != "done" && e.result != "cancelled" && !e.reason.empty() && e.reason != "none") {
    row.result += ": " + e.reason;
  }
  return row;
}

std::vector<JournalRow> NewestRows(const JournalRead& journal, std::size_t count) {
  std::vector<JournalRow> rows;
  for (auto record = journal.records.rbegin();
       record != journal.records.rend() && rows.size() < count; ++record) {
    rows.push_back(RowOf(*record));
  }
  return rows;
}
