#include "config/DeviceProfile.h"

#include "config/ProfileIni.h"

DeviceMap ActiveProfile;

DeviceProfile ReadDeviceSection(const CProfileIni& ini, const std::string& section) {
  DeviceProfile entry;
  entry.VID = ini.GetInt(section, "VID", kMissingValue);
  entry.PID = ini.GetInt(section, "PID", kMissingValue);
  entry.COMMUNICATBDRATE = ini.GetInt(section, "COMMUNICATBDRATE", kMissingValue);
  entry.PROGRAMBDRATE = ini.GetInt(section, "PROGRAMBDRATE", kMissingValue);
  entry.RAWDATASIZE = ini.GetInt(section, "RAWDATASIZE", kMissingValue);
  entry.HEADLINE = ini.GetInt(section, "HEADLINE", kMissingValue);
  entry.ROMHEAD = ini.GetInt(section, "ROMHEAD", kMissingValue);
  entry.ROMTAIL = ini.GetInt(section, "ROMTAIL", kMissingValue);
  entry.INTSTART = ini.GetInt(section, "INTSTART", kMissingValue);
  entry.INTEND = ini.GetInt(section, "INTEND", kMissingValue);
  entry.PAGESIZE = ini.GetInt(section, "PAGESIZE", kMissingValue);
  entry.IAPSTART = ini.GetInt(section, "IAPSTART", kMissingValue);
  entry.IAPEND = ini.GetInt(section, "IAPEND", kMissingValue);
  entry.IAPMARK = ini.GetInt(section, "IAPMARK", kMissingValue);
  ini.GetString(section, "FLASHCMD", "", entry.FLASHCMD, sizeof entry.FLASHCMD);
  ini.GetString(section, "IAPCODEPROTECT", "", entry.IAPCODEPROTECT, sizeof entry.IAPCODEPROTECT);
  return entry;
}

DeviceMap MaskedProfile(const DeviceProfile& entry) {
  // Flash addresses are used on 16-byte boundaries of a 24-bit space; ROMTAIL keeps
  // its low bits because it is the last address, not a boundary.
  constexpr std::uint32_t kBoundary = 0xfffff0;
  DeviceMap p;
  p.PROGRAMBDRATE = entry.PROGRAMBDRATE;
  p.COMMUNICATBDRATE = entry.COMMUNICATBDRATE;
  p.HEADLINE = entry.HEADLINE;
  p.ROMTAIL = entry.ROMTAIL & 0xffffff;
  p.ROMHEAD = entry.ROMHEAD & kBoundary;
  p.IAPSTART = entry.IAPSTART & kBoundary;
  p.IAPMARK = entry.IAPMARK & kBoundary;
  p.IAPEND = entry.IAPEND & kBoundary;
  p.INTSTART = entry.INTSTART & kBoundary;
  p.INTEND = entry.INTEND & kBoundary;
  p.recordSize = static_cast<std::uint8_t>(entry.RAWDATASIZE & 0xff);
  p.PAGESIZE = entry.PAGESIZE;
  return p;
}
