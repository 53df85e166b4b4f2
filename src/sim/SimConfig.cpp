#include "sim/SimConfig.h"

#include "config/ProfileIni.h"

Bytes ExpectedProgrammingCommand(const SimConfig& config) {
  Bytes command(config.flashCmd.begin(), config.flashCmd.end());
  if (!command.empty() && command.back() == '#') command.pop_back();
  command.push_back(0x0D);
  return command;
}

bool LoadSimConfig(const std::string& iniPath, SimConfig& config, std::string& error) {
  const CProfileIni ini(iniPath);
  if (!ini.FileExists()) {
    error = "cannot read " + iniPath;
    return false;
  }
  constexpr std::uint32_t kMissing = 0xffff;
  const std::uint32_t count = ini.GetInt("DEVICELIST", "DEVICECOUNT", kMissing);
  if (count == kMissing || count == 0) {
    error = iniPath + ": no device sections (DEVICELIST/DEVICECOUNT)";
    return false;
  }
  // The updater looks for the ids and FLASHCMD of the first section only.
  const std::string first = "DEVICE0";
  const std::uint32_t vid = ini.GetInt(first, "VID", kMissing);
  const std::uint32_t pid = ini.GetInt(first, "PID", kMissing);
  if (vid > 0xffff || pid > 0xffff) {
    error = iniPath + ": VID and PID must be 16-bit values";
    return false;
  }
  config.vendorId = static_cast<std::uint16_t>(vid);
  config.productId = static_cast<std::uint16_t>(pid);
  // The updater keeps at most 15 characters of it; so does the device.
  config.flashCmd = ini.Lookup(first, "FLASHCMD").value_or("").substr(0, 15);
  if (config.flashCmd.empty()) {
    error = iniPath + ": DEVICE0 has no FLASHCMD";
    return false;
  }

  // Speeds, record size and flash map: the last section wins, as in the updater.
  const std::string last = "DEVICE" + std::to_string(count - 1);
  constexpr std::uint32_t kBoundary = 0xfffff0;
  config.handshakeBaud = ini.GetInt(last, "COMMUNICATBDRATE", kMissing);
  config.programBaud = ini.GetInt(last, "PROGRAMBDRATE", kMissing);
  const int recordSize = static_cast<int>(ini.GetInt(last, "RAWDATASIZE", kMissing) & 0xff);
  config.romHead = ini.GetInt(last, "ROMHEAD", kMissing) & kBoundary;
  config.romTail = ini.GetInt(last, "ROMTAIL", kMissing) & 0xffffff;
  config.intStart = ini.GetInt(last, "INTSTART", kMissing) & kBoundary;
  config.intEnd = ini.GetInt(last, "INTEND", kMissing) & kBoundary;
  config.iapStart = ini.GetInt(last, "IAPSTART", kMissing) & kBoundary;
  config.iapEnd = ini.GetInt(last, "IAPEND", kMissing) & kBoundary;
  config.address24 = config.romTail >= 0x10000;
  if (recordSize != 16 && recordSize != 32) {
    error = iniPath + ": the device takes frames of 16 or 32 data bytes, RAWDATASIZE gives " +
            std::to_string(recordSize);
    return false;
  }
  config.recordSize = recordSize;
  if (config.handshakeBaud == 0 || config.programBaud == 0 || config.handshakeBaud > 1000000 ||
      config.programBaud > 1000000) {
    error = iniPath + ": COMMUNICATBDRATE and PROGRAMBDRATE must be baud rates";
    return false;
  }
  return true;
}
