#pragma once
// The HID channel over a local socket (see HidSocketProtocol.h): one "device" for
// each path of socketPaths (IAP_HID_SOCKET's value: one path, or several separated
// by ':'), the peer listening there, whose hello gives its ids, report lengths and
// serial number. POSIX only.

#include <memory>
#include <string>

#include "link/os/HidChannel.h"

std::unique_ptr<IHidBackend> MakeSocketHidBackend(const std::string& socketPaths);
