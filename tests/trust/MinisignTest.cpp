// Signatures made by the minisign tool in a real directory, checked by the
// updater's verifier: each way a vendor's signature can fail must fail, and only
// the bytes and the trusted comment that were signed may pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TestDir.h"
#include "trust/Minisign.h"

namespace {

struct CSigned {
  CTestDir dir;
  std::vector<std::uint8_t> firmware;

  CSigned() {
    const std::string text = "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\n";
    firmware.assign(text.begin(), text.end());
    dir.Write("fw.s19", text);
    MakeKey("vendor");
  }
  static int Run(const std::string& command) { return std::system(command.c_str()); }
  void MakeKey(const std::string& name) const {
    ASSERT_EQ(Run(std::string(IAP_MINISIGN) + " -G -W -p " + name + ".pub -s " + name +
                  ".sec >/dev/null 2>&1"),
              0);
  }
  // Signs fw.s19 with key name into out (legacy: the file itself, not its hash).
  void Sign(const std::string& name, const std::string& out, bool legacy = false) const {
    ASSERT_EQ(Run(std::string(IAP_MINISIGN) + " -S " + (legacy ? "-l " : "") + "-s " + name +
                  ".sec -m fw.s19 -x " + out + " -t 'version 2.4 2026-12-10' >/dev/null 2>&1"),
              0);
  }
  // The base64 line of a public key file.
  MinisignKey Key(const std::string& name) const {
    const std::string pub = dir.Read(name + ".pub");
    const auto key = ParseMinisignKey(pub.substr(pub.find('\n') + 1));
    EXPECT_TRUE(key.has_value()) << pub;
    return key.value_or(MinisignKey{});
  }
};

TEST(Minisign, BothFormsOfAGoodSignatureHoldAndGiveTheTrustedComment) {
  CSigned s;
  s.Sign("vendor", "pre.minisig");
  s.Sign("vendor", "legacy.minisig", true);
  for (const char* name : {"pre.minisig", "legacy.minisig"}) {
    const SignatureCheck check = VerifyMinisign(s.Key("vendor"), s.firmware, s.dir.Read(name));
    EXPECT_TRUE(check.Ok()) << name << ": " << SignatureFaultText(check.fault);
    EXPECT_EQ(check.trustedComment, "version 2.4 2026-12-10");
    EXPECT_EQ(check.prehashed, std::string(name) == "pre.minisig");
    // The key id as minisign names the key in the first line of its .pub file.
    EXPECT_NE(s.dir.Read("vendor.pub").find(check.keyId), std::string::npos) << check.keyId;
  }
}

TEST(Minisign, EveryTamperingIsRefusedForItsOwnReason) {
  CSigned s;
  s.MakeKey("other");
  s.Sign("vendor", "pre.minisig");
  s.Sign("vendor", "legacy.minisig", true);
  s.Sign("other", "other.minisig");
  const MinisignKey key = s.Key("vendor");
  for (const char* name : {"pre.minisig", "legacy.minisig"}) {
    SCOPED_TRACE(name);
    const std::string good = s.dir.Read(name);
    // One byte of the file changed.
    std::vector<std::uint8_t> changed = s.firmware;
    changed[20] ^= 0x01;
    EXPECT_EQ(VerifyMinisign(key, changed, good).fault, SignatureFault::kBadSignature);
    // The trusted comment changed: the file's signature still holds, the global one not.
    std::string comment = good;
    comment.replace(comment.find("2.4"), 3, "9.9");
    EXPECT_EQ(VerifyMinisign(key, s.firmware, comment).fault,
              SignatureFault::kBadTrustedComment);
    // Cut short anywhere: after its second line, inside the global signature, empty.
    for (const std::size_t keep : {good.find("trusted comment:"), good.size() - 10, std::size_t{0}}) {
      EXPECT_EQ(VerifyMinisign(key, s.firmware, good.substr(0, keep)).fault,
                SignatureFault::kMalformed)
          << keep;
    }
  }
  const SignatureCheck other = VerifyMinisign(key, s.firmware, s.dir.Read("other.minisig"));
  EXPECT_EQ(other.fault, SignatureFault::kOtherKey);
  EXPECT_NE(s.dir.Read("other.pub").find(other.keyId), std::string::npos);
}

// minisign prints a key id as a number: a key id whose last byte is below 0x10
// loses its leading zero, and one of 1 is "1".
TEST(Minisign, KeyIdsReadAsMinisignPrintsThem) {
  EXPECT_EQ(KeyIdText({0x3B, 0x9E, 0x57, 0xDA, 0x3D, 0x78, 0x01, 0xE5}), "E501783DDA579E3B");
  EXPECT_EQ(KeyIdText({0x73, 0x63, 0xDA, 0x2C, 0xC2, 0xEC, 0x7B, 0x07}), "77BECC22CDA6373");
  EXPECT_EQ(KeyIdText({0x01, 0, 0, 0, 0, 0, 0, 0}), "1");
}

TEST(Minisign, OnlyAPublicKeyLineIsAKey) {
  CSigned s;
  const std::string pub = s.dir.Read("vendor.pub");
  const std::string line = pub.substr(pub.find('\n') + 1);
  EXPECT_TRUE(ParseMinisignKey("  " + line + "  ").has_value());
  EXPECT_FALSE(ParseMinisignKey(pub).has_value()) << "the whole file, comment and all";
  EXPECT_FALSE(ParseMinisignKey(line.substr(0, line.size() - 5)).has_value());
  EXPECT_FALSE(ParseMinisignKey("").has_value());
  EXPECT_FALSE(ParseMinisignKey("RWQ7nlfaPXgB5WNx6wOmUgBIp7VR3ZC4WK1u2ZsBu4oA0+oHR1ThQp!l").has_value());
  // A signature line is no key.
  s.Sign("vendor", "pre.minisig");
  const std::string sig = s.dir.Read("pre.minisig");
  const std::size_t from = sig.find('\n') + 1;
  EXPECT_FALSE(ParseMinisignKey(sig.substr(from, sig.find('\n', from) - from)).has_value());
}

}  // namespace
