#pragma once
// The vendor's signature on a firmware file, in the detached form the minisign
// tool writes beside it (FILE.minisig):
//   untrusted comment: <anything>
//   <base64: "ED" (BLAKE2b-512 of the file signed) or "Ed" (the file itself),
//            the 8-byte key id, the 64-byte Ed25519 signature>
//   trusted comment: <text the vendor wrote, e.g. the version and date>
//   <base64: the 64-byte Ed25519 signature of the signature above and the
//            trusted comment's text, so that the comment cannot be swapped>
// The vendor's public key is the base64 line of minisign's .pub file: "Ed", the
// key id and the 32-byte Ed25519 public key. All the cryptography is the
// library's (libgcrypt); only the text around it is read here.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct MinisignKey {
  std::array<std::uint8_t, 8> keyId{};
  std::array<std::uint8_t, 32> publicKey{};
};

// The key of a public key's base64 line (blanks around it allowed); nothing when
// the text is not one.
std::optional<MinisignKey> ParseMinisignKey(const std::string& base64Line);

// A key id as minisign prints it: the 8 bytes as one little-endian number in
// upper-case hex, without leading zeros.
std::string KeyIdText(const std::array<std::uint8_t, 8>& keyId);

enum class SignatureFault {
  kNone,
  kMalformed,          // not a signature file of this form
  kOtherKey,           // made with another key (its key id is not the configured one)
  kBadSignature,       // the file's bytes are not the ones that were signed
  kBadTrustedComment,  // the trusted comment is not the one that was signed
  kCryptoUnavailable,  // the cryptography library could not be set up
};

struct SignatureCheck {
  SignatureFault fault = SignatureFault::kNone;
  std::string keyId;           // the signature's key id (KeyIdText), once it could be read
  std::string trustedComment;  // the verified trusted comment; empty unless kNone
  bool prehashed = false;      // "ED": the file's BLAKE2b-512 was signed
  bool Ok() const { return fault == SignatureFault::kNone; }
};

// Checks signatureText (the whole .minisig file) against the bytes of the file and
// the vendor's key. Both signatures must hold: the file's and the trusted comment's.
SignatureCheck VerifyMinisign(const MinisignKey& key, const std::vector<std::uint8_t>& file,
                              const std::string& signatureText);

// What a fault is, in words for the technician.
const char* SignatureFaultText(SignatureFault fault);
