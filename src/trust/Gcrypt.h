#pragma once
// The cryptography library, set up once for every part of the trust library.

#include <gcrypt.h>

// The library wants its version checked once before first use; that also sets
// it up. A function-local static makes that happen once, on any thread.
inline bool GcryptReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}
