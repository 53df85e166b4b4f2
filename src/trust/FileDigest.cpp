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

std::string HexOf(const unsigned char* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  const unsigned length = gcry_md_get_algo_dlen(GCRY_MD_SHA256);
  for (unsigned i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0xF];
  }
  return text;
}

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
  return HexOf(digest);
}

std::string Sha256Hex(const void* data, std::size_t size) {
  if (!GcryptReady()) return {};
  unsigned char digest[32];
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest, data, size);
  return HexOf(digest);
}

struct CSha256::Impl {
  std::unique_ptr<gcry_md_handle, HashCloser> hash;
};

CSha256::CSha256() : m_impl(std::make_unique<Impl>()) { Reset(); }
CSha256::~CSha256() = default;

void CSha256::Reset() {
  m_impl->hash.reset();
  gcry_md_hd_t raw = nullptr;
  if (GcryptReady() && gcry_md_open(&raw, GCRY_MD_SHA256, 0) == 0) m_impl->hash.reset(raw);
}

void CSha256::Add(const void* data, std::size_t size) {
  if (m_impl->hash) gcry_md_write(m_impl->hash.get(), data, size);
}

std::string CSha256::Hex() const {
  if (!m_impl->hash) return {};
  // A copy is read, so that adding may go on after.
  gcry_md_hd_t copy = nullptr;
  if (gcry_md_copy(&copy, m_impl->hash.get()) != 0) return {};
  std::unique_ptr<gcry_md_handle, HashCloser> closer(copy);
  const unsigned char* digest = gcry_md_read(copy, GCRY_MD_SHA256);
  return digest ? HexOf(digest) : std::string();
}
