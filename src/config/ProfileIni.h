#pragma once
// A reader for private-profile INI files with the semantics technicians know from
// Windows: section and key names compare case-insensitively, blanks around keys
// and values are trimmed, the first of repeated keys (and sections) wins, and a
// missing file, section or key gives the caller's default.
//
// Integer values: an optional sign, then either "0x"/"0X" and hexadecimal digits
// or decimal digits; reading stops at the first character that does not belong,
// so "512 bytes" reads 512. A present but empty value, or one without any digit,
// reads 0. Negative values wrap to 32 bits ("-1" reads 0xFFFFFFFF); values that do
// not fit in 32 bits saturate at 0xFFFFFFFF.
//
// A file that is no INI text at all is turned away whole, read in bounded memory:
// one that is not a regular file (a device such as /dev/zero, a pipe, a
// directory), one larger than kMaxFileBytes, and one holding NUL bytes. It then
// behaves as an empty file, and Refusal() says why.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

class CProfileIni {
 public:
  // Hand-edited configuration files are a few KiB; nothing near this is text
  // anybody maintains.
  static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

  // How a section name that comes again is read: the configuration file keeps
  // the first one; a file people add to by pasting a section onto its end (the
  // user's port map) reads every one of them, still the first of repeated keys.
  enum class RepeatedSections { kFirstWins, kMerged };

  // Loads the file; a file that cannot be read behaves as an empty one.
  explicit CProfileIni(const std::string& path,
                       RepeatedSections repeated = RepeatedSections::kFirstWins);

  bool FileExists() const { return m_exists; }
  // Why the file, though it is there, was turned away ("it is not a regular
  // file", "it is larger than 1 MiB", "it is not text: it holds NUL bytes");
  // empty when it was read or is missing.
  const std::string& Refusal() const { return m_refusal; }

  // The value text of section/key, or nothing when the file, section or key is absent.
  std::optional<std::string> Lookup(const std::string& section, const std::string& key) const;

  std::uint32_t GetInt(const std::string& section, const std::string& key, std::uint32_t def) const;

  // Copies the value (or def) into buffer, cut to room - 1 characters and always
  // terminated. Returns the number of characters copied. room 0 copies nothing.
  std::size_t GetString(const std::string& section, const std::string& key, const std::string& def,
                        char* buffer, std::size_t room) const;

  static std::uint32_t ParseInt(const std::string& text);

 private:
  bool m_exists = false;
  std::string m_refusal;
  // lower-cased section -> lower-cased key -> value (first occurrence kept)
  std::map<std::string, std::map<std::string, std::string>> m_sections;
};
