// Fuzz target: text that another program or a person may have written, read by
// the trust and journal code: a service journal line and a detached minisign
// signature. The first input byte chooses which; the rest is the text.
//
// Properties, beyond running clean under the sanitizers: a line that reads as a
// record is written back as a line that reads as the same record (the writer's
// escaping and the reader agree); a signature is never taken for the key below
// unless it verifies, and no input of this size does.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "journal/Journal.h"
#include "trust/Minisign.h"

namespace {

// A key whose secret half no one has: nothing may verify against it.
const MinisignKey& Key() {
  static const MinisignKey key = [] {
    MinisignKey k;
    for (std::size_t i = 0; i < k.keyId.size(); ++i) k.keyId[i] = static_cast<std::uint8_t>(i + 1);
    for (std::size_t i = 0; i < k.publicKey.size(); ++i)
      k.publicKey[i] = static_cast<std::uint8_t>(0x5A ^ i);
    return k;
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    const auto entry = ParseJournalLine(text);
    if (entry) {
      const std::string line = JournalLine(*entry);
      std::string why;
      const auto again = ParseJournalLine(line, &why);
      if (!again || JournalLine(*again) != line) std::abort();
    }
    return 0;
  }
  const std::vector<std::uint8_t> file(data, data + size / 2);
  const SignatureCheck check = VerifyMinisign(Key(), file, text);
  if (check.Ok()) std::abort();
  return 0;
}
