#pragma once
// SHA-256 digests, for the record of what went to a device: a service journal or
// a station's summary can then tell one firmware file from another whatever its
// name, and one frame stream from another.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// The digest of the whole file at path as 64 lower-case hex digits; nothing
// when it is no regular file or cannot be read to its end.
std::optional<std::string> Sha256OfFile(const std::string& path);

// The digest of size bytes at data, as 64 lower-case hex digits ("" when the
// library could not be set up).
std::string Sha256Hex(const void* data, std::size_t size);

// A digest built piece by piece: the frames of a transfer as they are acknowledged.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;

  void Add(const void* data, std::size_t size);
  // The digest of everything added since the last Reset, as 64 lower-case hex
  // digits ("" when the library could not be set up). Adding may go on.
  std::string Hex() const;
  void Reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
