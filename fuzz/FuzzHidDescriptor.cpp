// Fuzz target: the input is a HID report descriptor as the kernel exposes it in
// sysfs. It is parsed directly and through the hidraw channel's sysfs read (a
// fake sysfs tree in the working directory), and an input report of the input's
// bytes is then copied the way the hidraw channel hands reports to the link,
// into a buffer of exactly the input report length, whenever that length is one
// the link accepts.
//
// Properties, beyond running clean under the sanitizers: the sysfs read gives the
// same layout as the direct parse (and refuses an empty descriptor); the copied
// report is the raw report behind report id 0 for a device without numbered
// reports, the raw report itself otherwise, zero-padded to the full length.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "link/HidDevice.h"
#include "link/os/HidReportDescriptor.h"
#include "link/os/linux/HidrawReports.h"

namespace {
std::string g_sysfs;  // a sysfs root with one hidraw node, hidraw0
constexpr char kNode[] = "/dev/hidraw0";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  g_sysfs = fuzz::MakePrivateDirectory("fuzz_hid_descriptor", argc, argv) + "/sys";
  std::filesystem::create_directories(g_sysfs + "/class/hidraw/hidraw0/device");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HidReportLayout layout;
  const bool parsed = ParseHidReportDescriptor(data, size, layout);

  fuzz::WriteWholeFile(g_sysfs + "/class/hidraw/hidraw0/device/report_descriptor", data, size);
  HidReportLayout viaSysfs;
  const bool read = ReadHidrawReportLayout(kNode, viaSysfs, g_sysfs);
  if (read != (parsed && size != 0) ||
      (read && (viaSysfs.inputReportLength != layout.inputReportLength ||
                viaSysfs.outputReportLength != layout.outputReportLength ||
                viaSysfs.numberedReports != layout.numberedReports)))
    fuzz::Violation("the sysfs read (%d: in %u out %u) differs from the parse (%d: in %u out %u)",
                    read, viaSysfs.inputReportLength, viaSysfs.outputReportLength, parsed,
                    layout.inputReportLength, layout.outputReportLength);
  if (!parsed) return 0;

  const int length = layout.inputReportLength;
  if (length < 2 || length > CHidDevice::kMaxInputReport) return 0;  // the link would pass over it
  // hidapi hands over at most the channel's 256-byte read buffer.
  const int got = static_cast<int>(std::min<std::size_t>(size, 256));
  const auto buffer = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(length));
  const int n = ToWindowsInputReport(data, got, layout.numberedReports, buffer.get(), length);
  const int skip = layout.numberedReports ? 0 : 1;
  const int take = std::min(got, length - skip);
  bool ok = n == length && (skip == 0 || buffer[0] == 0) &&
            std::memcmp(buffer.get() + skip, data, static_cast<std::size_t>(take)) == 0;
  for (int i = skip + take; ok && i < length; ++i) ok = buffer[static_cast<std::size_t>(i)] == 0;
  if (!ok)
    fuzz::Violation("input report of %d raw bytes, length %d, numbered %d copied wrong", got,
                    length, layout.numberedReports);
  return 0;
}
