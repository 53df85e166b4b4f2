#pragma once
// The HID channel over a local socket (see HidSocketProtocol.h): one "device",
// the peer listening at socketPath, whose hello gives its ids and report lengths.
// POSIX only.

#include <memory>
#include <string>

#include "link/os/HidChannel.h"

std::unique_ptr<IHidBackend> MakeSocketHidBackend(const std::string& socketPath);
