#pragma once
// The user's map of COM names to serial devices, for windows started from a menu,
// where no IAP_COMn is set: $XDG_CONFIG_HOME/iap-updater/ports.ini ($HOME/.config
// when XDG_CONFIG_HOME is unset or empty), section [PORTS], keys COM1..COM9, values
// device paths such as /dev/serial/by-id/usb-...-if00-port0.
//
// The map is read as the configuration file is (names in any case, blanks
// trimmed, quotes taken off, the first of repeated keys wins), except that every
// [PORTS] section counts: a technician adds ports by pasting the block iapflash
// --list prints onto the end of the file, section line and all.

#include <map>
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

// Every COMn of the map from COM1 to COM<highestPort>, by n, as MappedSerialDevice
// gives it (an empty value for an empty COMn=); empty when there is no map or it is
// turned away (PortMapProblem says why).
std::map<int, std::string> PortMapEntries(int highestPort);

// What is wrong with the map for COM<portNumber>, naming the map file; empty when
// the map names a device for it or says nothing about it.
std::string PortMapProblem(int portNumber);
