#include "config/DeviceProfile.h"

#include "config/ProfileIni.h"
#include "trust/Minisign.h"

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
  entry.SIGNKEY = ini.Lookup(section, "SIGNKEY").value_or("");
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
  const std::size_t first = entry.SIGNKEY.find_first_not_of(" \t");
  if (first != std::string::npos) {
    p.signKey = entry.SIGNKEY.substr(first, entry.SIGNKEY.find_last_not_of(" \t") - first + 1);
  }
  return p;
}

std::vector<DeviceMapFault> DeviceMapFaults(const DeviceMap& p) {
  using Kind = DeviceMapFault::Kind;
  std::vector<DeviceMapFault> faults;
  if (!SupportedRecordSize(p.recordSize)) {
    faults.push_back({Kind::kRecordSize, "RAWDATASIZE",
                      "the programmer takes records of 16, 32 or 64 bytes"});
  }
  const std::pair<const char*, std::uint32_t> bounds[] = {
      {"ROMHEAD", p.ROMHEAD},   {"ROMTAIL", p.ROMTAIL},   {"IAPSTART", p.IAPSTART},
      {"IAPEND", p.IAPEND},     {"INTSTART", p.INTSTART}, {"INTEND", p.INTEND}};
  for (const auto& [key, value] : bounds) {
    if (value == 0) faults.push_back({Kind::kBadValue, key, "it must not be 0"});
  }
  // Pages are whole rows: a page start off the row grid would put fill rows
  // across two blocks and into the protected ranges.
  const auto pageSize = static_cast<std::int32_t>(p.PAGESIZE);
  if (p.recordSize == 0) {
    faults.push_back({Kind::kBadValue, "RAWDATASIZE", "it must not be 0"});
  } else if (pageSize <= 0 || pageSize % p.recordSize != 0) {
    faults.push_back({Kind::kBadValue, "PAGESIZE",
                      "a flash page must be a whole number of records (RAWDATASIZE)"});
  }
  // A key that is there but no key would leave every file unsigned in effect, or
  // every file refused: neither is what the vendor configured.
  if (!p.signKey.empty() && !ParseMinisignKey(p.signKey)) {
    faults.push_back({Kind::kBadValue, "SIGNKEY",
                      "it must be the key line of a minisign public key (the second line of its .pub file)"});
  }
  if (p.PROGRAMBDRATE != 9600 && p.PROGRAMBDRATE != 2400) {
    faults.push_back({Kind::kBadBaudRate, "PROGRAMBDRATE", "the programmer takes 9600 or 2400"});
  }
  if (p.COMMUNICATBDRATE != 9600 && p.COMMUNICATBDRATE != 2400 && p.COMMUNICATBDRATE != 1200) {
    faults.push_back(
        {Kind::kBadBaudRate, "COMMUNICATBDRATE", "the device talks at 9600, 2400 or 1200"});
  }
  return faults;
}

bool SignKeysAgree(const std::vector<std::string>& sectionKeys) {
  for (const std::string& key : sectionKeys) {
    if (key != sectionKeys.front()) return false;
  }
  return true;
}
