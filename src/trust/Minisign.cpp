#include "trust/Minisign.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

#include "trust/Gcrypt.h"

namespace {

constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kSignatureBytes = 64;
constexpr std::size_t kBlake2b512Bytes = 64;
constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with its padding, as minisign writes it; nothing for anything else.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (std::size_t i = 0; i < text.size() - pad; ++i) {
    const int v = Base64Value(text[i]);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<std::uint8_t>(bits >> 16));
      out.push_back(static_cast<std::uint8_t>(bits >> 8));
      out.push_back(static_cast<std::uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    bits <<= 6;
    out.push_back(static_cast<std::uint8_t>(bits >> 16));
    out.push_back(static_cast<std::uint8_t>(bits >> 8));
  } else if (count == 2) {
    bits <<= 12;
    out.push_back(static_cast<std::uint8_t>(bits >> 16));
  } else if (count != 0) {
    return std::nullopt;
  }
  return out;
}

struct SexpFree {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpFree>;

// True when signature is the Ed25519 signature of message under publicKey.
bool Ed25519Verifies(const std::array<std::uint8_t, 32>& publicKey,
                     const std::uint8_t* message, std::size_t messageLength,
                     const std::uint8_t* signature) {
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0) {
    return false;
  }
  const Sexp key(raw);
  if (gcry_sexp_build(&raw, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(messageLength), message) != 0) {
    return false;
  }
  const Sexp data(raw);
  if (gcry_sexp_build(&raw, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature, 32,
                      signature + 32) != 0) {
    return false;
  }
  const Sexp sig(raw);
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

}  // namespace

std::optional<MinisignKey> ParseMinisignKey(const std::string& base64Line) {
  const auto bytes = Base64Decode(Trim(base64Line));
  if (!bytes || bytes->size() != 2 + kKeyIdBytes + 32 || (*bytes)[0] != 'E' ||
      (*bytes)[1] != 'd') {
    return std::nullopt;
  }
  MinisignKey key;
  std::copy(bytes->begin() + 2, bytes->begin() + 2 + kKeyIdBytes, key.keyId.begin());
  std::copy(bytes->begin() + 2 + kKeyIdBytes, bytes->end(), key.publicKey.begin());
  return key;
}

std::string KeyIdText(const std::array<std::uint8_t, 8>& keyId) {
  std::uint64_t value = 0;
  for (auto it = keyId.rbegin(); it != keyId.rend(); ++it) value = (value << 8) | *it;
  char text[20];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return text;
}

SignatureCheck VerifyMinisign(const MinisignKey& key, const std::vector<std::uint8_t>& file,
                              const std::string& signatureText) {
  SignatureCheck check;
  check.fault = SignatureFault::kMalformed;
  // Four lines, each ended by LF (or CR LF); a last line without its end is taken.
  std::vector<std::string_view> lines;
  std::string_view rest(signatureText);
  while (!rest.empty() && lines.size() < 5) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  if (lines.size() < 4 || lines[0].substr(0, kUntrusted.size()) != kUntrusted ||
      lines[2].substr(0, kTrusted.size()) != kTrusted) {
    return check;
  }
  const auto signature = Base64Decode(Trim(lines[1]));
  const auto global = Base64Decode(Trim(lines[3]));
  if (!signature || signature->size() != 2 + kKeyIdBytes + kSignatureBytes || !global ||
      global->size() != kSignatureBytes || (*signature)[0] != 'E' ||
      ((*signature)[1] != 'D' && (*signature)[1] != 'd')) {
    return check;
  }
  check.prehashed = (*signature)[1] == 'D';
  std::array<std::uint8_t, 8> keyId{};
  std::copy(signature->begin() + 2, signature->begin() + 2 + kKeyIdBytes, keyId.begin());
  check.keyId = KeyIdText(keyId);
  if (keyId != key.keyId) {
    check.fault = SignatureFault::kOtherKey;
    return check;
  }
  if (!GcryptReady()) {
    check.fault = SignatureFault::kCryptoUnavailable;
    return check;
  }
  const std::uint8_t* fileSignature = signature->data() + 2 + kKeyIdBytes;
  bool fileOk = false;
  if (check.prehashed) {
    std::array<std::uint8_t, kBlake2b512Bytes> digest{};
    gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest.data(), file.data(), file.size());
    fileOk = Ed25519Verifies(key.publicKey, digest.data(), digest.size(), fileSignature);
  } else {
    fileOk = Ed25519Verifies(key.publicKey, file.data(), file.size(), fileSignature);
  }
  if (!fileOk) {
    check.fault = SignatureFault::kBadSignature;
    return check;
  }
  // The global signature covers the file's signature and the trusted comment's text.
  const std::string_view comment = lines[2].substr(kTrusted.size());
  std::vector<std::uint8_t> signedComment(fileSignature, fileSignature + kSignatureBytes);
  signedComment.insert(signedComment.end(), comment.begin(), comment.end());
  if (!Ed25519Verifies(key.publicKey, signedComment.data(), signedComment.size(),
                       global->data())) {
    check.fault = SignatureFault::kBadTrustedComment;
    return check;
  }
  check.fault = SignatureFault::kNone;
  check.trustedComment = std::string(comment);
  return check;
}

const char* SignatureFaultText(SignatureFault fault) {
  switch (fault) {
    case SignatureFault::kNone:
      return "the signature holds";
    case SignatureFault::kMalformed:
      return "it is not a minisign signature";
    case SignatureFault::kOtherKey:
      return "it was made with another key than the configuration's SIGNKEY";
    case SignatureFault::kBadSignature:
      return "the file is not the one that was signed";
    case SignatureFault::kBadTrustedComment:
      return "its trusted comment is not the one that was signed";
    case SignatureFault::kCryptoUnavailable:
      return "the cryptography library could not be set up";
  }
  return "";
}
