#pragma once
// The SHA-256 of a file, for the record of what went to a device: a service
// journal or a station's summary can then tell one firmware file from another
// whatever its name.

#include <optional>
#include <string>

// The digest of the whole file at path as 64 lower-case hex digits; nothing
// when it is no regular file or cannot be read to its end.
std::optional<std::string> Sha256OfFile(const std::string& path);
