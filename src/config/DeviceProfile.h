#pragma once
// Device parameters read from the INI configuration file.
//
// DeviceProfile is one device section exactly as read. ActiveProfile is the one
// process-wide record of the values in force (masked), read by every stage after
// start-up: the image builder, the links and the transfer workers.

#include <cstdint>

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
};

struct ActiveProfileRecord {
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
};

// The active device profile of this process. Written by LoadConfiguration at
// start-up and read-only afterwards.
extern ActiveProfileRecord ActiveProfile;

constexpr std::uint32_t kProfileTableSize = 128;

// Device addresses above 0xFFFF need the three-byte address layout, both in the
// S-record lines read and in the frames sent.
inline bool Uses24BitAddresses() { return ActiveProfile.ROMTAIL >= 0x10000u; }

// Copies one section into the active profile with the masks the device map needs.
void ApplyToActiveProfile(const DeviceProfile& entry);

// The two ranges of flash that no frame may touch: the programmer's own code,
// IAPSTART up to IAPEND (the byte at IAPEND is the application's again), and the
// reserved range INTSTART..INTEND, both bounds inside. The bounds lie on 16-byte
// boundaries, as the profile holds them (masked again for a profile set by hand).
struct ProtectedRanges {
  std::uint32_t iapStart, iapEnd, intStart, intEnd;
};
inline ProtectedRanges ActiveProtectedRanges() {
  constexpr std::uint32_t kBoundary = 0xFFFFF0u;
  const ActiveProfileRecord& p = ActiveProfile;
  return {p.IAPSTART & kBoundary, p.IAPEND & kBoundary, p.INTSTART & kBoundary,
          p.INTEND & kBoundary};
}

inline bool InProtectedRange(std::uint32_t address) {
  const ProtectedRanges r = ActiveProtectedRanges();
  return (address >= r.iapStart && address < r.iapEnd) ||
         (address >= r.intStart && address <= r.intEnd);
}

// Whether the transfer steps over the row that starts at address. Rows are
// judged by their address; the row at IAPEND is stepped over on a link whose
// programmer also keeps that row (iapEndProtected).
inline bool RowSteppedOver(std::uint32_t address, bool iapEndProtected) {
  const ProtectedRanges r = ActiveProtectedRanges();
  return InProtectedRange(address) ||
         (iapEndProtected && address == r.iapEnd && address >= r.iapStart);
}

// Whether any of the count bytes from address lies in a protected range.
inline bool ReachesProtectedRange(std::uint32_t address, std::uint32_t count) {
  if (count == 0) return false;
  const std::uint64_t last = std::uint64_t{address} + count - 1;
  const ProtectedRanges r = ActiveProtectedRanges();
  const bool iap = r.iapEnd > r.iapStart && address < r.iapEnd && last >= r.iapStart;
  const bool reserved = r.intEnd >= r.intStart && address <= r.intEnd && last >= r.intStart;
  return iap || reserved;
}
