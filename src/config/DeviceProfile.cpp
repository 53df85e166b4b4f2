#include "config/DeviceProfile.h"

ActiveProfileRecord ActiveProfile;

void ApplyToActiveProfile(const DeviceProfile& entry) {
  // Flash addresses are used on 16-byte boundaries of a 24-bit space; ROMTAIL keeps
  // its low bits because it is the last address, not a boundary.
  constexpr std::uint32_t kBoundary = 0xfffff0;
  ActiveProfile.PROGRAMBDRATE = entry.PROGRAMBDRATE;
  ActiveProfile.COMMUNICATBDRATE = entry.COMMUNICATBDRATE;
  ActiveProfile.HEADLINE = entry.HEADLINE;
  ActiveProfile.ROMTAIL = entry.ROMTAIL & 0xffffff;
  ActiveProfile.ROMHEAD = entry.ROMHEAD & kBoundary;
  ActiveProfile.IAPSTART = entry.IAPSTART & kBoundary;
  ActiveProfile.IAPMARK = entry.IAPMARK & kBoundary;
  ActiveProfile.IAPEND = entry.IAPEND & kBoundary;
  ActiveProfile.INTSTART = entry.INTSTART & kBoundary;
  ActiveProfile.INTEND = entry.INTEND & kBoundary;
  ActiveProfile.recordSize = static_cast<std::uint8_t>(entry.RAWDATASIZE & 0xff);
  ActiveProfile.PAGESIZE = entry.PAGESIZE;
}
