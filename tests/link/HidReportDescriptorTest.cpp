// Report lengths from report descriptors, as Windows would give them in its
// capabilities record, and (on Linux) the hidraw side: the descriptor read from
// sysfs and input reports put back into Windows' shape.

#include <gtest/gtest.h>

#include <vector>

#include "link/os/HidReportDescriptor.h"

namespace {

HidReportLayout Parse(const std::vector<std::uint8_t>& descriptor) {
  HidReportLayout layout;
  EXPECT_TRUE(ParseHidReportDescriptor(descriptor.data(), descriptor.size(), layout));
  return layout;
}

// A vendor-defined interface with one 64-byte input and one 64-byte output report,
// the shape of the devices this updater talks to.
const std::vector<std::uint8_t> kVendor64 = {
    0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection (application)
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  // input
    0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02,  // output
    0xC0};

TEST(HidReportDescriptor, UnnumberedReportsCountTheReportIdByteAnyway) {
  const HidReportLayout layout = Parse(kVendor64);
  EXPECT_EQ(layout.inputReportLength, 65);
  EXPECT_EQ(layout.outputReportLength, 65);
  EXPECT_FALSE(layout.numberedReports);
  // A direction without any report has length 0.
  EXPECT_EQ(Parse({0x75, 0x08, 0x95, 0x08, 0x81, 0x02}).outputReportLength, 0);
}

TEST(HidReportDescriptor, NumberedReportsGiveTheLongestPerDirection) {
  const HidReportLayout layout = Parse({
      0x85, 0x01, 0x75, 0x08, 0x95, 0x10, 0x81, 0x02,  // id 1: 16 bytes in
      0x85, 0x02, 0x75, 0x08, 0x95, 0x20, 0x81, 0x02,  // id 2: 32 bytes in
      0x85, 0x01, 0x95, 0x08, 0x91, 0x02,              // id 1: 8 bytes out
      0x85, 0x03, 0x95, 0x30, 0xB1, 0x02,              // id 3: a feature report, not counted
  });
  EXPECT_EQ(layout.inputReportLength, 33);
  EXPECT_EQ(layout.outputReportLength, 9);
  EXPECT_TRUE(layout.numberedReports);
}

TEST(HidReportDescriptor, BitFieldsAddUpWithinOneReportAndRoundUpToBytes) {
  EXPECT_EQ(Parse({0x75, 0x01, 0x95, 0x05, 0x81, 0x02,   // 5 one-bit fields
                   0x75, 0x03, 0x95, 0x01, 0x81, 0x03,   // 3 bits of padding
                   0x75, 0x08, 0x95, 0x02, 0x81, 0x02})  // 2 bytes
                .inputReportLength,
            4);
  EXPECT_EQ(Parse({0x75, 0x01, 0x95, 0x09, 0x81, 0x02}).inputReportLength, 3);  // 9 bits
}

TEST(HidReportDescriptor, PushPopLongItemsAndFourByteDataAreHandled) {
  // push saves a count of 4, the 32-byte field is read, pop brings 4 back.
  EXPECT_EQ(Parse({0x75, 0x08, 0x95, 0x04, 0xA4, 0x95, 0x20, 0x81, 0x02, 0xB4, 0x81, 0x02})
                .inputReportLength,
            37);
  // A long item is skipped whole; a four-byte report count is read whole.
  EXPECT_EQ(Parse({0xFE, 0x02, 0x10, 0x95, 0x7F, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x97, 0x02, 0x00,
                   0x00, 0x00, 0x75, 0x08, 0x81, 0x02})
                .inputReportLength,
            3);
}

TEST(HidReportDescriptor, ADescriptorCutOffInAnItemIsRejected) {
  HidReportLayout layout;
  const std::uint8_t cut[] = {0x75, 0x08, 0x96, 0x40};  // a two-byte count with one byte
  EXPECT_FALSE(ParseHidReportDescriptor(cut, sizeof cut, layout));
  const std::uint8_t cutLong[] = {0xFE, 0x05, 0x10, 0x00};
  EXPECT_FALSE(ParseHidReportDescriptor(cutLong, sizeof cutLong, layout));
}

}  // namespace

#ifdef __linux__
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "link/os/linux/HidrawReports.h"

namespace {

class HidrawSysfs : public ::testing::Test {
 protected:
  HidrawSysfs() {
    char name[] = "/tmp/iap-hidraw-XXXXXX";
    root = mkdtemp(name);
  }
  ~HidrawSysfs() override { std::filesystem::remove_all(root); }
  void Put(const std::string& node, const std::vector<std::uint8_t>& descriptor) {
    const auto dir = std::filesystem::path(root) / "class/hidraw" / node / "device";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / "report_descriptor", std::ios::binary);
    out.write(reinterpret_cast<const char*>(descriptor.data()),
              static_cast<std::streamsize>(descriptor.size()));
  }
  std::string root;
};

TEST_F(HidrawSysfs, TheLayoutComesFromTheNodesDescriptorFile) {
  Put("hidraw7", kVendor64);
  Put("hidraw8", {0x75, 0x08, 0x96, 0x40});  // a two-byte count with one byte
  HidReportLayout layout;
  ASSERT_TRUE(ReadHidrawReportLayout("/dev/hidraw7", layout, root));
  EXPECT_EQ(layout.inputReportLength, 65);
  EXPECT_EQ(layout.outputReportLength, 65);
  EXPECT_FALSE(ReadHidrawReportLayout("/dev/hidraw8", layout, root));  // cut off
  EXPECT_FALSE(ReadHidrawReportLayout("/dev/hidraw9", layout, root));  // absent
}

TEST(HidrawInputReport, TheReportIdOfAnUnnumberedDeviceIsPutBackInFront) {
  std::uint8_t raw[64];
  for (int i = 0; i < 64; ++i) raw[i] = static_cast<std::uint8_t>(0x80 + i);
  std::uint8_t buffer[65 + 8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ToWindowsInputReport(raw, 64, false, buffer, 65), 65);
  EXPECT_EQ(buffer[0], 0);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[1 + i], raw[i]);
  for (int i = 65; i < 73; ++i) EXPECT_EQ(buffer[i], 0xEE);

  // A short report is padded to the full length, and the count is the full length.
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ToWindowsInputReport(raw, 3, false, buffer, 65), 65);
  EXPECT_EQ(buffer[3], raw[2]);
  EXPECT_EQ(buffer[4], 0);
  EXPECT_EQ(buffer[64], 0);
  EXPECT_EQ(buffer[65], 0xEE);
}

TEST(HidrawInputReport, NumberedReportsKeepTheirIdAndLongOnesAreCut) {
  std::uint8_t raw[100];
  for (int i = 0; i < 100; ++i) raw[i] = static_cast<std::uint8_t>(i + 2);
  std::uint8_t buffer[65 + 8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ToWindowsInputReport(raw, 100, true, buffer, 65), 65);
  EXPECT_EQ(buffer[0], 2);
  EXPECT_EQ(buffer[64], raw[64]);
  EXPECT_EQ(buffer[65], 0xEE);
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  EXPECT_EQ(ToWindowsInputReport(raw, 100, false, buffer, 65), 65);
  EXPECT_EQ(buffer[64], raw[63]);
  EXPECT_EQ(buffer[65], 0xEE);
}

}  // namespace
#endif
