#pragma once
// Device parameters read from the INI configuration file.
//
// DeviceProfile is one device section exactly as read (ReadDeviceSection).
// DeviceMap is the device map in force, masked once as it is made
// (MaskedProfile): the image builder and the transfer are handed one by
// reference. ActiveProfile is the dialog's process-wide record of it; only the
// dialog touches it.

#include <cstdint>
#include <string>
#include <vector>

class CProfileIni;

struct DeviceProfile {
  std::uint32_t VID = 0;
  std::uint32_t PID = 0;
  char FLASHCMD[16] = {};       // at most 15 characters and a terminator
  char IAPCODEPROTECT[8] = {};  // at most 7 characters and a terminator; no effect
  std::uint32_t COMMUNICATBDRATE = 0;
  std::uint32_t PROGRAMBDRATE = 0;
  std::uint32_t RAWDATASIZE = 0;  // record size in its low byte
  std::uint32_t HEADLINE = 0;     // no effect
  std::uint32_t ROMHEAD = 0;
  std::uint32_t ROMTAIL = 0;
  std::uint32_t INTSTART = 0;
  std::uint32_t INTEND = 0;
  std::uint32_t PAGESIZE = 0;
  std::uint32_t IAPSTART = 0;
  std::uint32_t IAPEND = 0;
  std::uint32_t IAPMARK = 0;
  // The vendor's public key (the base64 line of a minisign .pub file), or empty:
  // with a key, File takes only firmware whose detached signature it verifies.
  std::string SIGNKEY;
};

// The values of a section that the image and the transfer work with, masked.
struct DeviceMap {
  std::uint32_t PROGRAMBDRATE = 0;
  std::uint32_t COMMUNICATBDRATE = 0;
  std::uint32_t HEADLINE = 0;
  std::uint32_t ROMTAIL = 0;  // value & 0xffffff
  std::uint32_t ROMHEAD = 0;  // value & 0xfffff0 (and the same for the five below)
  std::uint32_t IAPSTART = 0;
  std::uint32_t IAPMARK = 0;
  std::uint32_t IAPEND = 0;
  std::uint32_t INTSTART = 0;
  std::uint32_t INTEND = 0;
  std::uint8_t recordSize = 0;  // low byte of RAWDATASIZE; 16, 32 or 64 in a usable file
  std::uint32_t PAGESIZE = 0;   // not masked
  std::string signKey;          // SIGNKEY, blanks around it taken off; empty for none
};

// The dialog's device map, written by LoadConfiguration at start-up and
// read-only afterwards. Nothing below the dialog reaches for it: each stage is
// handed the profile it works with.
extern DeviceMap ActiveProfile;

constexpr std::uint32_t kProfileTableSize = 128;

// The INI value that stands for a missing one.
constexpr std::uint32_t kMissingValue = 0xffff;

// One device section ("DEVICE0", ...) as written; a missing value reads as
// kMissingValue, a missing text as empty.
DeviceProfile ReadDeviceSection(const CProfileIni& ini, const std::string& section);

// The device map of one section, with the masks it needs: flash bounds on 16-byte
// boundaries of a 24-bit space, ROMTAIL in 24 bits, the record size in a byte.
DeviceMap MaskedProfile(const DeviceProfile& entry);

// The record sizes the programmer takes: 16 and 32 bytes a frame, 64 sent as
// two rows of 32.
inline bool SupportedRecordSize(std::uint32_t size) { return size == 64 || size == 32 || size == 16; }

// One fault of a device map, by the key at fault: what the configuration check
// turns away (kBadValue, kBadBaudRate: the window shows its box) and what it lets
// through although no update can use it (kRecordSize: File and Update Firmware
// refuse it later). The dialog decides its boxes from these, and iapflash words
// its explanations from the same list.
struct DeviceMapFault {
  enum class Kind { kBadValue, kBadBaudRate, kRecordSize };
  Kind kind;
  const char* key;   // the INI key
  const char* need;  // what its value must be
};
std::vector<DeviceMapFault> DeviceMapFaults(const DeviceMap& p);

// Whether the device sections agree on the vendor's key: every section names the
// same SIGNKEY, or none names one. A key in some sections only would leave the
// signature check to whichever section happens to be read last.
bool SignKeysAgree(const std::vector<std::string>& sectionKeys);

// Device addresses above 0xFFFF need the three-byte address layout, both in the
// S-record lines read and in the frames sent.
inline bool Uses24BitAddresses(const DeviceMap& p) { return p.ROMTAIL >= 0x10000u; }

// The two ranges of flash that no frame may touch: the programmer's own code,
// IAPSTART up to IAPEND (the byte at IAPEND is the application's again), and the
// reserved range INTSTART..INTEND, both bounds inside, as the masked profile holds
// them.
inline bool InProtectedRange(const DeviceMap& p, std::uint32_t address) {
  return (address >= p.IAPSTART && address < p.IAPEND) ||
         (address >= p.INTSTART && address <= p.INTEND);
}

// Whether the transfer steps over the row that starts at address. Rows are
// judged by their address; the row at IAPEND is stepped over on a link whose
// programmer also keeps that row (iapEndProtected).
inline bool RowSteppedOver(const DeviceMap& p, std::uint32_t address, bool iapEndProtected) {
  return InProtectedRange(p, address) ||
         (iapEndProtected && address == p.IAPEND && address >= p.IAPSTART);
}

// Whether any of the count bytes from address lies in a protected range.
inline bool ReachesProtectedRange(const DeviceMap& p, std::uint32_t address, std::uint32_t count) {
  if (count == 0) return false;
  const std::uint64_t last = std::uint64_t{address} + count - 1;
  const bool iap = p.IAPEND > p.IAPSTART && address < p.IAPEND && last >= p.IAPSTART;
  const bool reserved = p.INTEND >= p.INTSTART && address <= p.INTEND && last >= p.INTSTART;
  return iap || reserved;
}
