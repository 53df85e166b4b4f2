#pragma once
// What every fuzz target needs around the code it drives: a private working
// directory (the updater reads and writes its files in the current directory),
// whole-file reads and writes, and a loud end for a broken property.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Called from LLVMFuzzerInitialize with its arguments. Creates the target's
// private directory under $TMPDIR (or /dev/shm, or /tmp), removed again at a
// normal exit (and by a later start after a crash), and returns its path. libFuzzer reads its
// command line after this call: crash artifacts are made to go to the directory the target was
// started in (or to an -artifact_prefix / -exact_artifact_path made absolute),
// since a crash happens inside the private directory.
std::string MakePrivateDirectory(const char* targetName, int* argc, char*** argv);

// The private directory is the current one while this lives (one input).
// Outside the inputs libFuzzer keeps the directory it was started in, so that
// relative corpus paths and its re-runs of itself (-minimize_crash, -fork,
// -merge) work as usual.
class CInPrivateDirectory {
 public:
  CInPrivateDirectory();
  ~CInPrivateDirectory();
  CInPrivateDirectory(const CInPrivateDirectory&) = delete;
  CInPrivateDirectory& operator=(const CInPrivateDirectory&) = delete;
};

// Writes size bytes to path, replacing it; aborts when that fails (the harness,
// not the code under test, would be broken).
void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);
void WriteWholeFile(const std::string& path, const std::string& text);
// The whole file; aborts when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Prints "PROPERTY VIOLATED: ..." (printf-style) and aborts, so that libFuzzer
// keeps the input as a crash reproducer.
[[noreturn]] void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz
