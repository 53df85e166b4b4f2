#include "sim/SimConfig.h"

#include <cstring>

#include "config/DeviceProfile.h"
#include "config/ProfileIni.h"

Bytes ExpectedProgrammingCommand(const SimConfig& config) {
  Bytes command(config.flashCmd.begin(), config.flashCmd.end());
  if (!command.empty() && command.back() == '#') command.pop_back();
  command.push_back(0x0D);
  return command;
}

SimConfig SimConfigFor(const DeviceProfile& first, const DeviceMap& map) {
  SimConfig config;
  config.vendorId = static_cast<std::uint16_t>(first.VID);
  config.productId = static_cast<std::uint16_t>(first.PID);
  config.flashCmd.assign(first.FLASHCMD, strnlen(first.FLASHCMD, sizeof first.FLASHCMD));
  config.handshakeBaud = map.COMMUNICATBDRATE;
  config.programBaud = map.PROGRAMBDRATE;
  config.recordSize = map.recordSize;
  config.address24 = Uses24BitAddresses(map);
  config.romHead = map.ROMHEAD;
  config.romTail = map.ROMTAIL;
  config.iapStart = map.IAPSTART;
  config.iapEnd = map.IAPEND;
  config.intStart = map.INTSTART;
  config.intEnd = map.INTEND;
  return config;
}

bool LoadSimConfig(const std::string& iniPath, SimConfig& config, std::string& error) {
  const CProfileIni ini(iniPath);
  if (!ini.FileExists()) {
    error = "cannot read " + iniPath;
    return false;
  }
  const std::uint32_t count = ini.GetInt("DEVICELIST", "DEVICECOUNT", kMissingValue);
  if (count == kMissingValue || count == 0) {
    error = iniPath + ": no device sections (DEVICELIST/DEVICECOUNT)";
    return false;
  }
  // The updater looks for the ids and FLASHCMD of the first section only, and
  // reads each section as the updater does.
  const DeviceProfile first = ReadDeviceSection(ini, "DEVICE0");
  if (first.VID > 0xffff || first.PID > 0xffff) {
    error = iniPath + ": VID and PID must be 16-bit values";
    return false;
  }
  // Speeds, record size and flash map: the last section wins, as in the updater,
  // with the updater's masks.
  const DeviceMap map = MaskedProfile(ReadDeviceSection(ini, "DEVICE" + std::to_string(count - 1)));
  // The HID attributes given before stay.
  const SimConfig hid = config;
  config = SimConfigFor(first, map);
  config.versionNumber = hid.versionNumber;
  config.inputReportLength = hid.inputReportLength;
  config.outputReportLength = hid.outputReportLength;
  config.serialNumber = hid.serialNumber;
  if (config.flashCmd.empty()) {
    error = iniPath + ": DEVICE0 has no FLASHCMD";
    return false;
  }
  if (config.recordSize != 16 && config.recordSize != 32) {
    error = iniPath + ": the device takes frames of 16 or 32 data bytes, RAWDATASIZE gives " +
            std::to_string(config.recordSize);
    return false;
  }
  if (config.handshakeBaud == 0 || config.programBaud == 0 || config.handshakeBaud > 1000000 ||
      config.programBaud > 1000000) {
    error = iniPath + ": COMMUNICATBDRATE and PROGRAMBDRATE must be baud rates";
    return false;
  }
  return true;
}
