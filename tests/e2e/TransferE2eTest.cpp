// Whole updates through the command line and the simulator: both links, both
// address widths, both record sizes. The simulator's record of what arrived must
// equal, frame for frame, what the prepared tmp.bin calls for, and its flash must
// hold exactly the firmware file's bytes.
#include <gtest/gtest.h>

#include "e2e/E2eSupport.h"

namespace e2e {
namespace {

struct TransferCase {
  Link link;
  bool address24;
  int recordSize;
};

std::string CaseName(const ::testing::TestParamInfo<TransferCase>& info) {
  return std::string(info.param.link == Link::kSerial ? "Serial" : "Hid") +
         (info.param.address24 ? "24bit" : "16bit") + "Record" +
         std::to_string(info.param.recordSize);
}

class TransferE2e : public ::testing::TestWithParam<TransferCase> {};

TEST_P(TransferE2e, DeviceReceivesExactlyTheRowsOutsideTheProtectedRanges) {
  const TransferCase c = GetParam();
  DeviceMap map = c.address24 ? Castrel(c.recordSize) : Solvane(c.recordSize);
  // The castrel device programs at 2400 baud: over USB no baud-rate command then.
  if (c.address24 && c.recordSize == 16) map.programBaud = 2400;
  CScratchDir dir;
  const UpdateRun run = RunUpdate(dir, map, c.link);
  ASSERT_EQ(run.flashStatus, 0) << Dump(run);
  EXPECT_EQ(run.simStatus, 0) << Dump(run);

  const std::size_t stride = static_cast<std::size_t>(c.recordSize) + 5;
  ASSERT_GT(run.image.size(), 50 * stride);
  const std::vector<std::string> expected = ExpectedFrames(run.image, map, c.link == Link::kHid);
  // The example maps put rows into both protected ranges, and a row at IAPEND.
  EXPECT_LT(expected.size() - 1, run.image.size() / stride - 8);
  EXPECT_EQ(run.frames, expected);
  // And the flash holds the firmware file's bytes: lines of 32 bytes, longer than
  // a record size of 16, with a header whose text is not firmware.
  const std::string check = CheckFlash(dir, map, c.link);
  EXPECT_EQ(check.substr(0, 17), "0 flash check OK:") << check;

  // The log: one "N Wr" per data frame, numbered from 1, and the success lines.
  const std::vector<int> numbers = WrittenFrameNumbers(run.log);
  ASSERT_EQ(numbers.size(), expected.size() - 1);
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<int>(i + 1));
  EXPECT_EQ(Count(run.log, "Send EOF Command OK"), 1);
  EXPECT_EQ(Count(run.log, "Update finished 100 %!"), 1);
  EXPECT_EQ(Count(run.log, "UPS firmware update successful!"), 1);
  EXPECT_EQ(Count(run.log, "Send Baud Rate Command OK"),
            c.link == Link::kHid && map.programBaud == 9600 ? 1 : 0);
  EXPECT_EQ(run.boxes,
            (std::vector<std::string>{std::string(map.variant) + ": Programming successfully !"}));
}

INSTANTIATE_TEST_SUITE_P(
    Transfer, TransferE2e,
    ::testing::Values(TransferCase{Link::kSerial, false, 16},
                      TransferCase{Link::kSerial, false, 32}, TransferCase{Link::kSerial, true, 16},
                      TransferCase{Link::kSerial, true, 32}, TransferCase{Link::kHid, false, 16},
                      TransferCase{Link::kHid, false, 32}, TransferCase{Link::kHid, true, 16},
                      TransferCase{Link::kHid, true, 32}),
    CaseName);

TEST(TransferE2eRoads, TheRowAtIapEndGoesOnlyOverSerial) {
  // The same image over both links: over USB the row at IAPEND is stepped over,
  // over serial it is sent; nothing else differs.
  const DeviceMap map = Solvane(32);
  CScratchDir serialDir, hidDir;
  const UpdateRun serial = RunUpdate(serialDir, map, Link::kSerial);
  const UpdateRun hid = RunUpdate(hidDir, map, Link::kHid);
  ASSERT_EQ(serial.flashStatus, 0) << Dump(serial);
  ASSERT_EQ(hid.flashStatus, 0) << Dump(hid);
  ASSERT_EQ(serial.frames.size(), hid.frames.size() + 1);
  std::size_t first = 0;
  while (first < hid.frames.size() && serial.frames[first] == hid.frames[first]) ++first;
  ASSERT_LT(first, serial.frames.size());
  EXPECT_EQ(serial.frames[first].substr(0, 8), "2520F400");  // length, count, address F400
  std::vector<std::string> withoutIt = serial.frames;
  withoutIt.erase(withoutIt.begin() + static_cast<std::ptrdiff_t>(first));
  EXPECT_EQ(withoutIt, hid.frames);
}

}  // namespace
}  // namespace e2e
