#pragma once
// The two files File writes into the working directory, tmp.txt and tmp.bin.
// Each is written as a new file beside the old one and renamed over it, so a
// reader never sees half an image and a link of that name is replaced rather
// than followed into the file it points to.

#include <string>

// "tmp.txt" or "tmp.bin" when path is the same file as that intermediate file of
// the current directory (the same device and inode; on Windows the same volume
// serial number and file index), else empty. A firmware file that is one of them
// would be overwritten by its own image.
std::string IntermediateFileNamedBy(const std::string& path);
