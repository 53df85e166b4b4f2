#pragma once
// What is plugged in: the serial ports and HID devices of this machine, as a
// technician needs them to pick the port and to see whether the device answers
// to the ids of the configuration. One source file per platform gathers them;
// Inventory.cpp prints them and reads the configuration's ids.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SerialPortInfo {
  std::string path;     // what --port takes: /dev/ttyUSB0, COM12
  std::string byId;     // a name that stays with the adapter (/dev/serial/by-id/...)
  std::string product;  // the adapter's product text, where known
  std::optional<std::uint16_t> vendorId, productId;  // USB adapters only
  std::string note;     // how this process came to know it (IAP_COM3, --port, the port map)
  bool present = true;  // false when its device node is not there (POSIX)
};

struct HidDeviceInfo {
  std::string path;
  std::uint16_t vendorId = 0, productId = 0, versionNumber = 0;
  // Report lengths, the report id included; nothing when the device does not give them.
  std::optional<std::uint16_t> inputReportLength, outputReportLength;
  std::string product;
  std::string serial;  // the USB serial number string, empty when the device gives none
  // For a device with the ids looked for: why the USB link passes it over all the
  // same (its version number, a report length, a node that does not open), in
  // words; empty when the link would take it.
  std::string mismatch;
};

struct UsbIds {
  std::uint32_t vendorId = 0, productId = 0;
};

// The serial ports present, in a stable order (platform part).
std::vector<SerialPortInfo> ListPlatformSerialPorts();
// The HID devices the USB interface would look at: the simulator's sockets when
// IAP_HID_SOCKET is set, else the machine's HID devices. Those with the wanted
// ids are judged as the USB link judges them when it opens a device, and their
// mismatch says why the link would pass them over.
std::vector<HidDeviceInfo> ListHidDevices(std::optional<UsbIds> wanted = std::nullopt);

// Why the USB link passes over a device with the ids it looks for, from its
// version number and report lengths (CHidDevice::Open's rules); empty when they
// are ones the link takes.
std::string HidMismatch(const HidDeviceInfo& device);
// The product text of a HID device, empty when it is not known (platform part).
std::string HidProductString(const std::string& path);

// Why the serial device at path cannot be opened the way the updater opens it,
// in words a person can act on; empty when it opens now (platform part).
std::string SerialOpenProblem(const std::string& path);

// The device path --port names: on Windows "COM12" becomes "\\.\COM12" (the API
// needs the prefix from COM10 on and takes it for any port); elsewhere the path
// as given, made absolute.
std::string SerialPortDevice(const std::string& port);

// A USB id as four upper-case hex digits, as the configuration and --list show it.
std::string Hex4(std::uint32_t value);

// Prints the list of --list on stdout; the ids of configIni's first device, when
// it can be read, mark the entries that match. json: one JSON object a line for
// each serial port, each HID device and the configuration, instead of the text.
void PrintInventory(const std::string& configIni, bool json = false);
