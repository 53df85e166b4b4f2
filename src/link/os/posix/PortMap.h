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
// or the key is missing or the value is empty.
std::optional<std::string> MappedSerialDevice(int portNumber);
