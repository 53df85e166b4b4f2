#include "trust/FileDigest.h"

#include "trust/Gcrypt.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct HashCloser {
  void operator()(gcry_md_hd_t h) const { gcry_md_close(h); }
};

}  // namespace

std::optional<std::string> Sha256OfFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || !GcryptReady()) return std::nullopt;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  gcry_md_hd_t raw = nullptr;
  if (gcry_md_open(&raw, GCRY_MD_SHA256, 0) != 0) return std::nullopt;
  std::unique_ptr<gcry_md_handle, HashCloser> hash(raw);
  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n > 0) gcry_md_write(hash.get(), buffer.data(), n);
    if (n < buffer.size()) break;
  }
  if (std::ferror(file.get())) return std::nullopt;
  const unsigned char* digest = gcry_md_read(hash.get(), GCRY_MD_SHA256);
  if (digest == nullptr) return std::nullopt;
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  const unsigned length = gcry_md_get_algo_dlen(GCRY_MD_SHA256);
  for (unsigned i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0xF];
  }
  return text;
}
