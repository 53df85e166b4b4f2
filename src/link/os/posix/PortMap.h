#pragma once
// The user's map of COM names to serial devices, for windows started from a menu,
// where no IAP_COMn is set: $XDG_CONFIG_HOME/iap-updater/ports.ini ($HOME/.config
// when XDG_CONFIG_HOME is unset or empty), section [PORTS], keys COM1..COM9, values
// device paths such as /dev/serial/by-id/usb-...-if00-port0.

#include <optional>
#include <string>

// The map file's path; empty when neither XDG_CONFIG_HOME nor HOME is set.
std::string PortMapPath();

// The device the map names for COM<portNumber>; nothing when the file, the section
// or the key is missing. An empty string when the map is at fault for that port: it
// gives COM<portNumber> an empty value, or the file is no INI text at all. Such a
// port opens nothing; it never falls back to the on-board port, which may well be
// another device.
std::optional<std::string> MappedSerialDevice(int portNumber);

// What is wrong with the map for COM<portNumber>, naming the map file; empty when
// the map names a device for it or says nothing about it.
std::string PortMapProblem(int portNumber);
