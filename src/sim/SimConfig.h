#pragma once
// What the simulated device knows about itself: the command that starts its
// programmer, its USB identity, its two line speeds, the record size and address
// width of the frames it accepts, and its flash map. Read from the same INI file
// the updater reads, the same way, so both sides agree on the frame layout.

#include <cstdint>
#include <string>
#include <vector>

#include "config/DeviceProfile.h"

using Bytes = std::vector<std::uint8_t>;

struct SimConfig {
  // FLASHCMD as written in the INI, final '#' included. The device expects it with
  // that '#' replaced by CR.
  std::string flashCmd;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 2;        // the updater passes over versions 0 and 1
  std::uint16_t inputReportLength = 65;   // report id included
  std::uint16_t outputReportLength = 65;  // report id included
  std::uint32_t handshakeBaud = 9600;     // COMMUNICATBDRATE
  std::uint32_t programBaud = 9600;       // PROGRAMBDRATE
  int recordSize = 32;                    // data bytes per frame: 16 or 32
  bool address24 = false;                 // ROMTAIL >= 0x10000
  // Flash map, masked as the updater masks it (bounds on 16-byte boundaries).
  std::uint32_t romHead = 0;
  std::uint32_t romTail = 0;
  std::uint32_t iapStart = 0;
  std::uint32_t iapEnd = 0;
  std::uint32_t intStart = 0;
  std::uint32_t intEnd = 0;
  // The USB serial number string (UTF-8) the socket front's hello carries; a device
  // without one when empty. Not in the INI: iapsim --serial sets it.
  std::string serialNumber;
};

// The bytes that put the device into programming mode: FLASHCMD with its final '#'
// replaced by CR (a FLASHCMD without '#' simply gets a CR appended).
Bytes ExpectedProgrammingCommand(const SimConfig& config);

// The device as the updater's sections describe it: the USB ids and FLASHCMD of
// first (at most 15 characters, as the updater keeps them), the speeds, record
// size and flash map of map. The HID attributes keep their defaults.
SimConfig SimConfigFor(const DeviceProfile& first, const DeviceMap& map);

// Reads an updater INI file. The USB ids and FLASHCMD come from section DEVICE0,
// everything else from the last section listed in DEVICELIST (the updater takes
// its values in force from there too). False with a reason when the file cannot
// serve: missing, no device section, or a record size the device cannot frame.
bool LoadSimConfig(const std::string& iniPath, SimConfig& config, std::string& error);
