#include "config/ProfileIni.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Splits text into lines at CR LF, LF or a lone CR.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Reads the file into text, stopping once text holds more than limit bytes;
// false when it cannot be read. The file's type is looked at first, without opening it: a
// pipe would block the open, and a device such as /dev/zero never ends.
bool ReadBounded(const std::string& path, std::size_t limit, bool& regular, std::string& text) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return false;
  regular = std::filesystem::is_regular_file(status);
  if (!regular) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // In pieces, so that a small file costs a small buffer.
  char piece[16 * 1024];
  while (text.size() <= limit && in.read(piece, sizeof piece).gcount() > 0) {
    text.append(piece, static_cast<std::size_t>(in.gcount()));
  }
  return !in.bad();
}

// "UTF-16LE" or "UTF-16BE" when text looks like UTF-16: its byte-order mark, or
// without one, ASCII with a NUL beside every character of its first line.
std::string Utf16Encoding(const std::string& text) {
  if (text.size() >= 2) {
    if (text[0] == '\xFF' && text[1] == '\xFE') return "UTF-16LE";
    if (text[0] == '\xFE' && text[1] == '\xFF') return "UTF-16BE";
  }
  const std::size_t probe = std::min<std::size_t>(text.size() & ~std::size_t{1}, 64);
  if (probe < 4) return {};
  int evenNul = 0, oddNul = 0;
  for (std::size_t i = 0; i < probe; ++i) (i % 2 ? oddNul : evenNul) += text[i] == '\0' ? 1 : 0;
  const int pairs = static_cast<int>(probe / 2);
  if (oddNul == pairs && evenNul == 0) return "UTF-16LE";
  if (evenNul == pairs && oddNul == 0) return "UTF-16BE";
  return {};
}

}  // namespace

CProfileIni::CProfileIni(const std::string& path, RepeatedSections repeated) {
  bool regular = false;
  std::string text;
  if (!ReadBounded(path, kMaxFileBytes, regular, text)) return;
  m_exists = true;
  if (!regular) {
    m_refusal = "it is not a regular file";
    return;
  }
  if (text.size() > kMaxFileBytes) {
    m_refusal = "it is larger than 1 MiB";
    return;
  }
  // Notepad's "Unicode" is UTF-16: every other byte of its ASCII text is NUL.
  // Named as such, so that whoever saved it knows to save it again as ANSI or
  // UTF-8 text, which is what the keys are read from.
  if (const std::string encoding = Utf16Encoding(text); !encoding.empty()) {
    m_refusal = "it is " + encoding + " text; save it as ANSI or UTF-8 text instead";
    return;
  }
  if (text.find('\0') != std::string::npos) {
    m_refusal = "it is not text: it holds NUL bytes";
    return;
  }
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  std::map<std::string, std::string>* section = nullptr;
  std::vector<std::string> seenSections;
  for (const std::string& raw : SplitLines(text)) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const auto close = line.find(']');
      const std::string name =
          Lower(Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
      // A section that appears again later is not looked at, unless the caller
      // merges them: the first one wins.
      if (repeated == RepeatedSections::kFirstWins &&
          std::find(seenSections.begin(), seenSections.end(), name) != seenSections.end()) {
        section = nullptr;
      } else {
        seenSections.push_back(name);
        section = &m_sections[name];
      }
      continue;
    }
    if (!section) continue;
    const auto eq = line.find('=');
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
    section->emplace(key, value);  // the first of repeated keys wins
  }
}

std::optional<std::string> CProfileIni::Lookup(const std::string& section,
                                               const std::string& key) const {
  const auto s = m_sections.find(Lower(section));
  if (s == m_sections.end()) return std::nullopt;
  const auto k = s->second.find(Lower(key));
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

std::uint32_t CProfileIni::ParseInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
    base = 16;
    i += 2;
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int c = std::tolower(static_cast<unsigned char>(text[i]));
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      break;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) {
      value = 0xFFFFFFFFull;  // saturate; keep scanning so the digits are consumed
    }
  }
  auto result = static_cast<std::uint32_t>(value);
  if (negative) result = static_cast<std::uint32_t>(0u - result);
  return result;
}

std::uint32_t CProfileIni::GetInt(const std::string& section, const std::string& key,
                                  std::uint32_t def) const {
  const auto value = Lookup(section, key);
  return value ? ParseInt(*value) : def;
}

std::size_t CProfileIni::GetString(const std::string& section, const std::string& key,
                                   const std::string& def, char* buffer, std::size_t room) const {
  if (room == 0 || buffer == nullptr) return 0;
  std::string value = Lookup(section, key).value_or(def);
  // A value wrapped in one pair of matching quotes is given without them.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  const std::size_t n = std::min(value.size(), room - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}
